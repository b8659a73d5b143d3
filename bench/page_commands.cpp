// The six buttons of the "Demo and Test" page: LED commands, Send and Clear per channel.
#include <algorithm>
#include <utility>
#include <vector>

#include "bench/ansi_text.h"
#include "bench/send_box.h"
#include "bench/test_page.h"
#include "bench/traffic_counter.h"
#include "bench/traffic_view.h"
#include "channel/board_commands.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"

bool CTestPage::TakeSendText(const CSendBox& box, std::string& text, std::string& entry) {
    QString problem;
    std::string bytes;
    if (!box.Payload(bytes, problem, &entry)) {
        ShowBox(problem.toStdString(), "Warning");
        return false;
    }
    text = std::move(bytes);
    return true;
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
    std::string entry;
    if (!TakeSendText(*usbSendBox, usbSendText, entry)) {
        return;
    }
    if (g_hidLink != nullptr && g_hidLink->EnsureOpen() != 0) {
        uint8_t buffer[SEND_BUFFER_SIZE];
        const size_t count = std::min(usbSendText.size(), sizeof buffer);
        std::copy_n(usbSendText.begin(), count, buffer);
        usbSendBox->Remember(entry);
        if (g_hidLink->SendBytes(static_cast<uint32_t>(count), buffer) != 0) {
            usbCounter->AddSent(count);
        }
    } else {
        ShowBox("Please plug your board in !", "Warning");
    }
}

void CTestPage::OnRs232Send() {
    if (g_serialLink == nullptr) {
        return;  // no COM port was opened
    }
    std::string entry;
    if (!TakeSendText(*rs232SendBox, rs232SendText, entry)) {
        return;
    }
    const size_t count = std::min(rs232SendText.size(), size_t{SEND_BUFFER_SIZE});
    rs232SendBox->Remember(entry);
    // Written on the sender's thread behind any Send still going out; the page counts it
    // and looks at the port again when the sender hands it back (OnRs232Sent).
    rs232Sender->Post(g_serialLink,
                      std::vector<uint8_t>(rs232SendText.begin(), rs232SendText.begin() + count));
}

void CTestPage::OnRs232Sent(size_t count, bool sent) {
    if (sent) {
        rs232Counter->AddSent(count);
    }
    CloseGonePort();  // the worker may have met the port gone while the sender held the link
}

void CTestPage::OnUsbClear() {
    usbView->Clear();
    usbCounter->Reset();
}

void CTestPage::OnRs232Clear() {
    rs232View->Clear();
    rs232Counter->Reset();
}
