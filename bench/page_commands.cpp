// The six buttons of the "Demo and Test" page: LED commands, Send and Clear per channel.
#include <QLineEdit>
#include <algorithm>

#include "bench/ansi_text.h"
#include "bench/board_commands.h"
#include "bench/test_page.h"
#include "bench/traffic_view.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"

void CTestPage::UpdateSendTexts() {
    usbSendText = AnsiFromText(usbSendBox->text());
    rs232SendText = AnsiFromText(rs232SendBox->text());
}

void CTestPage::OnLedFlashing() {
    if (g_hidLink != nullptr) {
        g_hidLink->SendBytes(sizeof LED_FLASHING_COMMAND, LED_FLASHING_COMMAND);
    }
}

void CTestPage::OnLedStop() {
    if (g_hidLink != nullptr) {
        g_hidLink->SendBytes(sizeof LED_STOP_COMMAND, LED_STOP_COMMAND);
    }
}

void CTestPage::OnUsbSend() {
    UpdateSendTexts();
    if (g_hidLink != nullptr && g_hidLink->EnsureOpen() != 0) {
        uint8_t buffer[SEND_BUFFER_SIZE];
        const size_t count = std::min(usbSendText.size(), sizeof buffer);
        std::copy_n(usbSendText.begin(), count, buffer);
        g_hidLink->SendBytes(static_cast<uint32_t>(count), buffer);
    } else {
        ShowBox("Please plug your board in !", "Warning");
    }
}

void CTestPage::OnRs232Send() {
    if (g_serialLink == nullptr) {
        return;  // no COM port was opened
    }
    UpdateSendTexts();
    uint8_t buffer[SEND_BUFFER_SIZE];
    const size_t count = std::min(rs232SendText.size(), sizeof buffer);
    std::copy_n(rs232SendText.begin(), count, buffer);
    // A box shown meanwhile runs the event loop, and with it the supervisor, which must not
    // close the link under this call.
    rs232Sending = 1;
    g_serialLink->WriteBlock(static_cast<uint32_t>(count), buffer);
    rs232Sending = 0;
}

void CTestPage::OnUsbClear() {
    usbView->Clear();
}

void CTestPage::OnRs232Clear() {
    rs232View->Clear();
}
