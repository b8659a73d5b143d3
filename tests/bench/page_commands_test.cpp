// The page's buttons: LED commands, Send per channel with its 64-character box, Clear; what
// the board sends after it reaches the view and receiveRing, byte for byte.
#include <QAbstractButton>

#include "bench/traffic_counter.h"

#include "bench_fixture.h"

TEST_F(CPageTest, CommandsSendTheirBytes) {
    StartPage(true, true);
    ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
    // Clicks the button and gives the payloads of the reports it sent.
    const auto click = [&](int id) {
        const size_t before = kit.OutputReports().size();
        qobject_cast<QAbstractButton*>(page->Control(id))->click();
        const auto reports = kit.OutputReports();
        std::vector<Bytes> payloads;
        for (size_t r = before; r < reports.size(); ++r) {
            payloads.emplace_back(reports[r].begin() + 2, reports[r].begin() + 2 + reports[r][1]);
        }
        return payloads;
    };
    const auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
    const Bytes flashing{0x1B, 0x4C, 0x01}, stop{0x1B, 0x4C, 0x00};

    // "Flashing" twice sends the command twice, also while already selected; then "Stop".
    EXPECT_EQ(click(1002), std::vector<Bytes>{flashing});
    EXPECT_EQ(click(1002), std::vector<Bytes>{flashing});
    EXPECT_EQ(click(1003), std::vector<Bytes>{stop});
    EXPECT_FALSE(kit.LedFlashing());

    // The initial texts: "USB" over USB, "Welcome" on the serial line.
    EXPECT_EQ(click(1006), std::vector<Bytes>{text("USB")});
    EXPECT_EQ(click(1009), std::vector<Bytes>{});
    ASSERT_EQ_SOON(kit.SerialReceived(), text("Welcome"), 3000);

    // An empty box sends one report of length 0; ten characters go as 7 + 3.
    Edit(1005)->clear();
    EXPECT_EQ(click(1006), std::vector<Bytes>(1));
    Edit(1005)->setText("0123456789");
    EXPECT_EQ(click(1006), (std::vector<Bytes>{text("0123456"), text("789")}));

    // The boxes hold 64 characters, and what they show is what is sent.
    Edit(1005)->setText(QString(70, 'u'));
    Edit(1011)->setText(QString(70, 'r'));
    EXPECT_EQ(click(1006).size(), 10u);  // 9 x 7 + 1
    click(1009);
    ASSERT_EQ_SOON(kit.SerialReceived().size(), 7u + 64u, 3000);
    const Bytes serial = kit.SerialReceived();
    EXPECT_EQ(Bytes(serial.end() - 65, serial.end()), text("e" + std::string(64, 'r')));
    EXPECT_TRUE(shown.Entries().empty());

    // Clear empties the view at once; later bytes append to the empty view, every one of them
    // in order, and each also goes into receiveRing. A zero byte adds nothing to the view but
    // still goes into the ring; line ends and other control bytes are appended as they are.
    // The board echoes what it got; once the last echo is shown, it falls silent.
    EXPECT_SOON(page->UsbView().Text().endsWith(QString(64, 'u')), 3000);
    EXPECT_SOON(page->Rs232View().Text().endsWith(QString(64, 'r')), 3000);
    kit.SetSilent(true);
    receiveRing.Reset();
    click(1007);
    EXPECT_TRUE(page->UsbView().Text().isEmpty());
    const Bytes usb = Stream(0, 300);
    kit.SendUsb(usb);
    ASSERT_EQ_SOON(page->UsbView().Text(), Latin1(usb), 3000);
    ASSERT_EQ_SOON(receiveRing.Count(), 300, 3000);
    click(1010);
    EXPECT_TRUE(page->Rs232View().Text().isEmpty());
    kit.SendSerial({'a', 0, 'b', '\r', 'c', '\n', 'd', 0x1B});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("ab\nc\nd\x1B"), 3000);
    ASSERT_EQ_SOON(receiveRing.Count(), 308, 3000);
}

// RS232 Send on a slow line: the write and its drain happen off the page's thread, so the board's
// bytes are shown while a block is still going out; Sends meanwhile follow it in order and are
// counted once sent. The port that goes during a write is closed only after the write, and a
// close during a Send waits for that one block, not for those queued behind it.
TEST_F(CPageTest, Rs232SendHoldsUpNeitherTheViewNorTheClose) {
    StartPage(true, true);
    ports->baudRate = 600;  // 60 bytes a second: a full box takes over a second to go out
    ASSERT_EQ_SOON(StatusPaneText(0), "Connected", 5000);
    kit.SetSilent(true);
    const auto send = [&](char c, int count) {
        Edit(1011)->setText(QString(count, QLatin1Char(c)));
        qobject_cast<QAbstractButton*>(page->Control(1009))->click();
    };
    const auto sentText = [&] {
        const Bytes bytes = kit.SerialReceived();
        return std::string(bytes.begin(), bytes.end());
    };
    QElapsedTimer sending;
    sending.start();
    send('a', 64);                      // on the line until 1067 ms
    ASSERT_LT(sending.elapsed(), 300);  // back before the drain ends
    kit.SendSerial({'b', 'o', 'a', 'r', 'd'});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("board"), 3000);
    EXPECT_LT(sending.elapsed(), 900);
    EXPECT_EQ(page->Rs232Counter().Sent(), 0u);
    send('b', 8);
    send('c', 8);
    ASSERT_EQ_SOON(page->Rs232Counter().Sent(), 80u, 5000);
    EXPECT_EQ(sentText(), std::string(64, 'a') + std::string(8, 'b') + std::string(8, 'c'));
    EXPECT_TRUE(shown.Entries().empty());

    // The line goes while a write waits for its drain: ticks pass with the port still open.
    ports->HoldDrains();
    send('d', 8);
    ASSERT_SOON(ports->drainsWaiting.load() == 1, 3000);
    kit.ConnectSerial(false);
    EXPECT_TRUE(TicksPass(2));
    EXPECT_EQ(StatusPaneText(0), "Connected");
    EXPECT_TRUE(shown.Entries().empty());
    ports->ReleaseDrains();
    ASSERT_EQ_SOON(StatusPaneText(0), "Disconnected", 3000);
    ASSERT_EQ_SOON(shown.Boxes(), 1, 3000);
    EXPECT_EQ(shown.Entries().back(),
              "Error:The serial port COM1 (/dev/sim/COM1) was disconnected.");
    EXPECT_EQ(page->Rs232Counter().Sent(), 80u);

    // Closed with a block going out and three behind it: only that block's line time.
    kit.ConnectSerial(true);
    ASSERT_EQ_SOON(StatusPaneText(0), "Connected", 5000);
    const size_t before = kit.SerialReceived().size();
    send('e', 64);
    for (const char c : {'f', 'g', 'h'}) {
        send(c, 64);
    }
    const qint64 closeMs = ClosePage();
    EXPECT_LT(closeMs, 2500);
    EXPECT_EQ(sentText().substr(before), std::string(64, 'e'));
}
