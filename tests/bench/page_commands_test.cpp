// The page's buttons: LED commands, Send per channel with its 64-character box, Clear.
#include <QAbstractButton>

#include "bench_fixture.h"

namespace {

// The payload of one output report: byte 1 is its length.
std::vector<uint8_t> Payload(const std::vector<uint8_t>& report) {
    if (report.size() < 2 || report[1] > report.size() - 2) {
        return {};
    }
    return {report.begin() + 2, report.begin() + 2 + report[1]};
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

}  // namespace

TEST_F(CPageTest, CommandsSendTheirBytes) {
    StartPage(true, true);
    ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
    auto button = [&](int id) { return qobject_cast<QAbstractButton*>(page->Control(id)); };

    // "Flashing" twice sends the command twice, also while already selected; then "Stop".
    size_t before = kit.OutputReports().size();
    button(1002)->click();
    button(1002)->click();
    button(1003)->click();
    auto reports = ReportsSince(before);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(Payload(reports[0]), (std::vector<uint8_t>{0x1B, 0x4C, 0x01}));
    EXPECT_EQ(Payload(reports[1]), (std::vector<uint8_t>{0x1B, 0x4C, 0x01}));
    EXPECT_EQ(Payload(reports[2]), (std::vector<uint8_t>{0x1B, 0x4C, 0x00}));
    EXPECT_TRUE(button(1003)->isChecked());
    EXPECT_FALSE(kit.LedFlashing());

    // The initial texts: "USB" over USB, "Welcome" on the serial line.
    before = kit.OutputReports().size();
    button(1006)->click();
    reports = ReportsSince(before);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Payload(reports[0]), Bytes("USB"));
    button(1009)->click();
    EXPECT_EQ(kit.SerialReceived(), Bytes("Welcome"));

    // An empty box sends one report of length 0; ten characters go as 7 + 3.
    Edit(1005)->clear();
    before = kit.OutputReports().size();
    button(1006)->click();
    reports = ReportsSince(before);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0][1], 0);
    Edit(1005)->setText("0123456789");
    before = kit.OutputReports().size();
    button(1006)->click();
    reports = ReportsSince(before);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(Payload(reports[0]), Bytes("0123456"));
    EXPECT_EQ(Payload(reports[1]), Bytes("789"));

    // The boxes hold 64 characters, and what they show is what is sent, byte for byte.
    Edit(1005)->setText(QString(70, 'u'));
    Edit(1011)->setText(QString(70, 'r'));
    EXPECT_EQ(Edit(1005)->text().size(), 64);
    EXPECT_EQ(Edit(1011)->text().size(), 64);
    before = kit.OutputReports().size();
    button(1006)->click();
    reports = ReportsSince(before);
    ASSERT_EQ(reports.size(), 10u);  // 9 x 7 + 1
    std::vector<uint8_t> sent;
    for (const auto& report : reports) {
        const auto payload = Payload(report);
        sent.insert(sent.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(sent, std::vector<uint8_t>(64, 'u'));
    const size_t serialBefore = kit.SerialReceived().size();
    button(1009)->click();
    const auto serial = kit.SerialReceived();
    EXPECT_EQ(std::vector<uint8_t>(serial.begin() + static_cast<std::ptrdiff_t>(serialBefore),
                                   serial.end()),
              std::vector<uint8_t>(64, 'r'));

    // Text goes out as single-byte ANSI.
    Edit(1011)->setText(QString::fromUtf8("\xC3\xA9\xE2\x82\xAC"));  // e-acute, euro sign
    const size_t ansiBefore = kit.SerialReceived().size();
    button(1009)->click();
    EXPECT_EQ(kit.SerialReceived().size(), ansiBefore + 2);
    EXPECT_EQ(kit.SerialReceived()[ansiBefore], 0xE9);
    EXPECT_EQ(kit.SerialReceived()[ansiBefore + 1], 0x80);
    EXPECT_TRUE(shown.Entries().empty());

    // Clear empties the view at once; later bytes append to the empty view.
    // The board echoes what it got; once the last echo is shown, it falls silent.
    EXPECT_SOON(page->UsbView().Text().endsWith(QString(64, 'u')), 3000);
    EXPECT_SOON(page->Rs232View().Text().endsWith(QString::fromUtf8("\xC3\xA9\xE2\x82\xAC")), 3000);
    kit.SetSilent(true);
    button(1007)->click();
    EXPECT_TRUE(page->UsbView().toPlainText().isEmpty());
    kit.SendUsb(Bytes("after"));
    ASSERT_EQ_SOON(page->UsbView().Text(), QString("after"), 3000);
    button(1010)->click();
    EXPECT_TRUE(page->Rs232View().toPlainText().isEmpty());
    kit.SendSerial(Bytes("later"));
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("later"), 3000);
}
