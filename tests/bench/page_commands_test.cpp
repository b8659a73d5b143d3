// The page's buttons: LED commands, Send per channel with its 64-character box, Clear; what
// the board sends after it reaches the view and receiveRing, byte for byte.
#include <QAbstractButton>

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
    EXPECT_EQ(kit.SerialReceived(), text("Welcome"));

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
