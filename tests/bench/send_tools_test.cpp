// The send boxes' history, hex mode and line end, and the byte counters of both channels.
#include <QAbstractButton>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QMenu>
#include <QtTest/QTest>

#include "bench/send_box.h"
#include "bench/traffic_counter.h"
#include "bench_fixture.h"

namespace {

QAction* MenuAction(QMenu& menu, const QString& text) {
    for (QAction* action : menu.findChildren<QAction*>()) {
        if (action->text().section(QLatin1Char('\t'), 0, 0) == text) {
            return action;
        }
    }
    return nullptr;
}

}  // namespace

TEST(SendBox, HexLineEndsAndLimit) {
    struct Case {
        const char* text;
        bool hex;
        LineEnd end;
        std::string bytes;    // sent, when valid
        const char* problem;  // part of the message, when not
    };
    const std::string full(64, 'a');
    const Case cases[] = {
        {"1B 56 76", true, LineEnd::NONE, "\x1B\x56\x76", nullptr},
        {" 1b5676\t00 ", true, LineEnd::NONE, std::string("\x1B\x56\x76\x00", 4), nullptr},
        {"", true, LineEnd::NONE, "", nullptr},
        {"41 1G 42", true, LineEnd::NONE, "", "\"1G\" is not hex"},
        {"0x1B", true, LineEnd::NONE, "", "\"0x1B\" is not hex"},
        {"1B 567", true, LineEnd::NONE, "", "\"567\" has an odd number"},
        {"Hi", false, LineEnd::CR, "Hi\r", nullptr},
        {"Hi", false, LineEnd::LF, "Hi\n", nullptr},
        {"Hi", false, LineEnd::CR_LF, "Hi\r\n", nullptr},
        {"41", true, LineEnd::CR_LF, "A\r\n", nullptr},
        // The line end and the hex bytes count toward the 64 bytes of one send.
        {nullptr, false, LineEnd::CR_LF, "", "66 bytes with its line end"},
        {nullptr, true, LineEnd::NONE, full, nullptr},
        {nullptr, true, LineEnd::LF, "", "65 bytes with its line end"},
    };
    for (const Case& c : cases) {
        CSendBox box;
        box.SetLimit(64);
        QString problem;
        ASSERT_TRUE(box.SetHexMode(c.hex, problem));
        box.SetLineEnd(c.end);
        // Without a text: a full box, as many bytes as one send holds.
        const QString text = c.text != nullptr ? QString(c.text)
                             : c.hex           ? HexFromBytes(full)
                                               : QString(64, 'a');
        box.setText(text);
        ASSERT_EQ(box.text(), text) << "the box holds a full send";
        std::string bytes;
        const bool ok = box.Payload(bytes, problem);
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(ok, c.problem == nullptr) << problem.toStdString();
        if (ok) {
            EXPECT_EQ(bytes, c.bytes);
        } else {
            EXPECT_TRUE(problem.contains(c.problem)) << problem.toStdString();
        }
    }

    // Switching modes keeps the bytes; hex that cannot be text keeps the hex mode.
    CSendBox box;
    box.SetLimit(4);
    QString problem;
    box.setText(QString::fromUtf8("A\xE2\x82\xAC"));  // the euro sign is 80h
    ASSERT_TRUE(box.SetHexMode(true, problem));
    EXPECT_EQ(box.text(), QString("41 80"));
    box.setText("4142434445");
    EXPECT_FALSE(box.SetHexMode(false, problem));
    EXPECT_TRUE(problem.contains("5 bytes"));
    box.setText("4");
    EXPECT_FALSE(box.SetHexMode(false, problem));
    EXPECT_TRUE(box.HexMode());
    box.setText("61 62");
    ASSERT_TRUE(box.SetHexMode(false, problem));
    EXPECT_EQ(box.text(), QString("ab"));
}

TEST(SendBox, HistoryBrowsesLikeAShell) {
    CSendBox box;
    const auto key = [&](Qt::Key k) {
        QTest::keyClick(&box, k);
        return box.text();
    };
    EXPECT_EQ(key(Qt::Key_Up), QString()) << "nothing sent yet";
    for (const char* sent : {"one", "two", "two", "three"}) {
        box.setText(sent);
        box.Remember(sent);
    }
    EXPECT_EQ(box.History().size(), 3u) << "no repeats in a row";
    // The box still shows what was sent last: Up goes to the one before.
    EXPECT_EQ(key(Qt::Key_Up), QString("two"));
    EXPECT_EQ(key(Qt::Key_Up), QString("one"));
    EXPECT_EQ(key(Qt::Key_Up), QString("one"));
    EXPECT_EQ(key(Qt::Key_Down), QString("two"));
    EXPECT_EQ(key(Qt::Key_Down), QString("three"));
    EXPECT_EQ(key(Qt::Key_Down), QString("three")) << "back to what the box held";
    // What was being typed comes back past the newest; entries show in the box's mode.
    box.setText("typing");
    EXPECT_EQ(key(Qt::Key_Up), QString("three"));
    QString problem;
    ASSERT_TRUE(box.SetHexMode(true, problem));
    box.setText("74");
    EXPECT_EQ(key(Qt::Key_Up), QString("74 68 72 65 65"));
    EXPECT_EQ(key(Qt::Key_Down), QString("74"));
    for (int i = 0; i < CSendBox::HISTORY_SIZE + 50; ++i) {
        box.Remember(std::to_string(i));
    }
    EXPECT_EQ(box.History().size(), size_t(CSendBox::HISTORY_SIZE));
    EXPECT_EQ(box.History().front(), "50");
}

// The choices come from the boxes' context menus; the counters count every byte each way,
// show it soon, sit where they cover nothing, and Clear starts them again.
TEST_F(CPageTest, SendOptionsAndCountersOnBothChannels) {
    StartPage(true, true);
    ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
    auto* rs232Box = qobject_cast<CSendBox*>(page->Control(1011));
    auto* usbBox = qobject_cast<CSendBox*>(page->Control(1005));
    ASSERT_TRUE(rs232Box != nullptr && usbBox != nullptr);
    for (CTrafficCounter* counter : {&page->UsbCounter(), &page->Rs232Counter()}) {
        // Inside its group box, clear of every other control.
        int groups = 0;
        for (QWidget* control : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<QGroupBox*>(control) != nullptr &&
                control->contentsRect().translated(control->pos()).contains(counter->geometry())) {
                ++groups;
            } else {
                EXPECT_TRUE(control == counter ||
                            !control->geometry().intersects(counter->geometry()))
                    << control->metaObject()->className();
            }
        }
        EXPECT_EQ(groups, 1);
        EXPECT_TRUE(page->rect().contains(counter->geometry()));
    }
    {
        std::unique_ptr<QMenu> menu(rs232Box->CreateContextMenu());
        ASSERT_NE(MenuAction(*menu, "&Copy"), nullptr) << "Qt's own entries stay";
        MenuAction(*menu, "CR LF")->trigger();
        std::unique_ptr<QMenu> usbMenu(usbBox->CreateContextMenu());
        EXPECT_EQ(MenuAction(*usbMenu, "CR LF"), nullptr) << "USB sends have no line end";
        MenuAction(*usbMenu, "Hex bytes (1B 56 76)")->trigger();
    }
    EXPECT_EQ(usbBox->text(), QString("55 53 42"));
    const uint64_t usbBefore = page->UsbCounter().Received();  // the version reply
    const auto click = [&](int id) { qobject_cast<QAbstractButton*>(page->Control(id))->click(); };

    click(1009);
    usbBox->setText("00 41");
    click(1006);
    ASSERT_EQ_SOON(page->Rs232Counter().Sent(), 9u, 3000);
    const std::vector<uint8_t> serial = kit.SerialReceived();
    EXPECT_EQ(std::string(serial.begin(), serial.end()), "Welcome\r\n");
    EXPECT_EQ(page->UsbCounter().Sent(), 2u);
    // The board echoes; a zero byte counts though the view shows nothing for it.
    ASSERT_EQ_SOON(page->Rs232Counter().Received(), 9u, 3000);
    ASSERT_EQ_SOON(page->UsbCounter().Received(), usbBefore + 2, 3000);
    EXPECT_SOON(page->Rs232Counter().text() == "Rx 9  Tx 9", 1000);

    // Bad hex: a box that names the token, nothing sent, nothing counted.
    usbBox->setText("41 4");
    click(1006);
    EXPECT_EQ(shown.Count("Warning:\"4\" has an odd number of hex digits"), 1);
    EXPECT_EQ(page->UsbCounter().Sent(), 2u);

    // Both channels at once, from the workers' threads: every byte counted.
    kit.SetSilent(true);
    click(1007);
    click(1010);
    EXPECT_EQ(page->UsbCounter().text(), QString("Rx 0  Tx 0"));
    // The labels refresh a few times a second, not once per batch.
    std::atomic<int> posts{0};
    std::vector<QMetaObject::Connection> counting;
    for (CTrafficCounter* counter : {&page->UsbCounter(), &page->Rs232Counter()}) {
        counting.push_back(QObject::connect(
            counter, &CTrafficCounter::Changed, counter, [&] { ++posts; }, Qt::DirectConnection));
    }
    QElapsedTimer took;
    took.start();
    const Bytes stream = Stream(0, 3000);
    std::thread usb([&] { kit.SendUsb(stream); });
    kit.SendSerial(stream);
    usb.join();
    EXPECT_SOON(page->UsbCounter().text() == "Rx 3000  Tx 0", 5000);
    EXPECT_SOON(page->Rs232Counter().text() == "Rx 3000  Tx 0", 5000);
    for (const auto& connection : counting) {
        QObject::disconnect(connection);
    }
    EXPECT_LE(posts.load(), 2 * (took.elapsed() / CTrafficCounter::REFRESH_MS + 2));
}
