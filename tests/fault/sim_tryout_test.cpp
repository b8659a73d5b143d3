// palvex-sim as a try-out: each start state chosen in the Simulated Kit window leads the page
// to its box or notice, the board's odd version replies show as the page shows them, the page
// starts again cleanly, and the window cannot be lost.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/board_app.h"
#include "app/main_dialog.h"
#include "app/sim_window.h"
#include "sim/sim_platform.h"
#include "tests/bench/bench_fixture.h"

namespace {

using sim::PortFault;

const std::string NOT_DETECTED = "notice:The KIT is not detected !";
const std::string NO_FREE_PORT = "Warning:No free COM port is available !";

struct StartCase {
    bool usb;
    bool serial;
    PortFault com1;
    PortFault com2;
    std::vector<std::string> shown;  // boxes and notices, in order
    const char* pane0;
};

int ThreadCount() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task"))
                                .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                                .size());
}

// Counts the WindowBlocked events a window gets.
class CBlockCounter : public QObject {
  public:
    int blocked = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        blocked += event->type() == QEvent::WindowBlocked ? 1 : 0;
        return false;
    }
};

}  // namespace

TEST_F(CPageTest, EachStartStateOfTheSimWindowLeadsToItsBoxOrNotice) {
    using enum PortFault;
    const char* const UP = "Connected";
    const char* const DOWN = "Disconnected";
    // Both off is the first two rows together, the notice first, as the page tests show.
    const std::vector<StartCase> cases = {
        {false, true, NONE, NONE, {NOT_DETECTED}, UP},
        {true, false, NONE, NONE, {"E", "E", "E", "E", NO_FREE_PORT}, DOWN},
        {true, true, BUSY, DENIED, {"B", "D", "E", "E", NO_FREE_PORT}, DOWN},
        {true, true, NONE, BUSY, {}, UP},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "usb " << c.usb << " serial " << c.serial << " COM1 "
                     << static_cast<int>(c.com1) << " COM2 " << static_cast<int>(c.com2));
        {
            CSimWindow window(kit);
            window.StartUsbBox()->setChecked(c.usb);
            window.StartSerialBox()->setChecked(c.serial);
            window.PortFaultBox(0)->setCurrentIndex(static_cast<int>(c.com1));
            window.PortFaultBox(1)->setCurrentIndex(static_cast<int>(c.com2));
            window.ApplyStartStates();
        }
        shown.Clear();
        StartPage(kit.UsbPlugged(), kit.SerialConnected());
        ASSERT_SOON(page->FirstTickDone(), 5000);
        EXPECT_EQ(StatusPaneText(0), c.pane0);
        // The serial link's box gives the OS's text: E missing, B busy, D no access.
        std::vector<std::string> expected;
        for (const std::string& entry : c.shown) {
            expected.push_back(entry == "E"   ? "Error:No such file or directory"
                               : entry == "B" ? "Error:Device or resource busy"
                               : entry == "D" ? "Error:Permission denied"
                                              : entry);
        }
        EXPECT_EQ(shown.Entries(), expected);
        ClosePage();
    }
}

TEST_F(CPageTest, OddVersionRepliesShowAsThePageShowsThem) {
    struct Reply {
        sim::VersionReply reply;
        QString usbView;
        std::string pane2;  // empty: as the bar started
    };
    // The full reply is every page test's.
    const std::vector<Reply> replies = {
        {sim::VersionReply::LONG, "K1.07-rc2", "Firmware Version: K1.07"},
        {sim::VersionReply::SHORT, "K1.", ""},
        {sim::VersionReply::NONE, "", ""},
    };
    for (const Reply& r : replies) {
        SCOPED_TRACE(static_cast<int>(r.reply));
        kit.SetVersionReply(r.reply);
        const int requests = kit.VersionRequests();
        StartPage(true, true);
        const std::string firstPane2 = StatusPaneText(2);
        ASSERT_SOON(page->FirstTickDone() && kit.VersionRequests() == requests + 1, 5000);
        ASSERT_EQ_SOON(page->UsbView().Text(), r.usbView, 3000);
        ASSERT_EQ_SOON(StatusPaneText(2), r.pane2.empty() ? firstPane2 : r.pane2, 1000);
        if (r.reply == sim::VersionReply::SHORT) {
            // The page waits for five bytes: whatever comes next completes the reply.
            kit.SendUsb({'x', 'y'});
            ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: K1.xy", 3000);
        }
        ClosePage();
    }
}

TEST(SimTryOut, PageStartsAgainCleanlyAndTheWindowCannotBeLost) {
    CSimKit kit;
    kit.PlugUsb(true);
    kit.ConnectSerial(true);
    CRecordingBoxes shown;
    CNoticeWatcher watcher(shown);
    const platform::Platform platform = SimPlatform(kit, shown);
    CSimWindow window(kit);
    CBlockCounter simBlocks;
    window.installEventFilter(&simBlocks);
    {
        CBoardApp app(platform, nullptr);
        app.InitInstance(&window);
        window.SetRestarter([&](std::function<void()> whileStopped) {
            return app.RestartTestPage(std::move(whileStopped));
        });
        CBlockCounter mainBlocks;
        g_mainDialog->installEventFilter(&mainBlocks);
        shown.Clear();  // the ReadMe page's box: no Readme.rtf here
        ASSERT_SOON(g_testPage->FirstTickDone() && StatusPaneText(2) == "Firmware Version: K1.07",
                    5000);
        const int threads = ThreadCount();

        // What the board got: the page's commands and its data, as text and as hex.
        EXPECT_SOON(window.CommandsLabel()->text().contains("version request"), 3000);
        g_testPage->OnLedStop();
        g_testPage->OnUsbSend();
        EXPECT_SOON(window.UsbReceivedView()->toPlainText() == "USB", 3000);
        EXPECT_SOON(window.CommandsLabel()->text().endsWith("LED stop"), 3000);
        window.HexBox()->setChecked(true);
        EXPECT_TRUE(window.UsbReceivedView()->toPlainText().startsWith("0000  55 53 42 "));

        // The same start states again, several times: the old page's workers end, the new
        // page's start, and no thread is left over.
        for (int i = 0; i < 3; ++i) {
            QPointer<CTestPage> old(g_testPage);
            window.RestartButton()->click();
            ASSERT_TRUE(old == nullptr && g_testPage != nullptr);
            ASSERT_SOON(
                g_testPage->FirstTickDone() && StatusPaneText(2) == "Firmware Version: K1.07",
                5000);
            EXPECT_EQ(ThreadCount(), threads);
        }
        EXPECT_TRUE(shown.Entries().empty());

        // Unplugged at the start: the notice, over the main window only. While a modal
        // window is open the restart waits for it.
        window.StartUsbBox()->setChecked(false);
        QPointer<CTestPage> old(g_testPage);
        {
            QDialog modal(g_mainDialog);
            modal.setModal(true);
            modal.show();
            window.RestartButton()->click();
            EXPECT_NE(old, nullptr);
            EXPECT_TRUE(window.RestartNote()->text().startsWith("Starts again once"));
        }
        ASSERT_SOON(old == nullptr && g_testPage != nullptr, 3000);
        EXPECT_TRUE(window.RestartNote()->text().startsWith("Started again"));
        mainBlocks.blocked = 0;
        simBlocks.blocked = 0;
        ASSERT_SOON(shown.Count("notice:") == 1, 5000);
        EXPECT_EQ(shown.Entries(), std::vector<std::string>{NOT_DETECTED});
        EXPECT_GE(mainBlocks.blocked, 1);
        EXPECT_EQ(simBlocks.blocked, 0);
        ASSERT_EQ_SOON(StatusPaneText(0), std::string("Connected"), 3000);  // the scan follows

        // Closing the window hides it; the main window's menu brings it back.
        window.close();
        EXPECT_FALSE(window.isVisible());
        QAction* showSim = nullptr;
        for (QAction* action : g_mainDialog->actions()) {
            showSim = action->text() == QString::fromUtf8("Simulated Kit\u2026") ? action : showSim;
        }
        ASSERT_NE(showSim, nullptr);
        showSim->trigger();
        EXPECT_TRUE(window.isVisible());

        // After the restarts, shutdown is still bounded: no old page's worker holds it.
        QElapsedTimer closing;
        closing.start();
        app.ShutDown();
        EXPECT_LE(closing.elapsed(), 2000 * TIME_SCALE);
    }
    EXPECT_EQ(g_mainDialog, nullptr);
}
