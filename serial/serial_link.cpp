// The RS232 channel: opens and configures one port through the platform layer, reads
// without waiting and writes whole blocks; every platform failure is shown at once.
#include "serial/serial_link.h"

#include <algorithm>
#include <chrono>

CSerialLink* g_serialLink = nullptr;

namespace {

const char* const ERROR_CAPTION = "Error";
const char* const WRITE_TIMEOUT_TEXT = "Serial port writing time-out !";

using Clock = std::chrono::steady_clock;

}  // namespace

CSerialLink::CSerialLink(const SerialSettings& requested, const platform::Platform& services)
    : port(services.serialPorts->CreatePort()),
      settings(CorrectSettings(requested)),
      platform(services) {}

CSerialLink::~CSerialLink() {
    Close();
}

int CSerialLink::Open() {
    if (port->Open(settings.portName) == 0) {
        ReportLastError();
        return 0;
    }
    if (port->SetQueueSizes(inputQueueSize, outputQueueSize) == 0) {
        ReportLastError();
        return 0;
    }
    if (ApplySettings() == 0) {
        return 0;
    }
    if (port->SetEventMask(0) == 0) {
        ReportLastError();
        return 0;
    }
    if (ApplyTimeouts() == 0) {
        return 0;
    }
    return 1;
}

int CSerialLink::Close() {
    if (!port->IsOpen()) {
        return 1;
    }
    if (port->Close() == 0) {
        ReportLastError();
        return 0;
    }
    return 1;
}

int CSerialLink::ApplySettings() {
    if (port->GetLineState(lineState) == 0) {
        ReportLastError();
        return 0;
    }
    lineState.baudRate = settings.baudRate;
    lineState.byteSize = settings.dataBits;
    lineState.parity = settings.parity;
    lineState.stopBits = settings.stopBits;

    lineState.fBinary = true;
    lineState.fParity = settings.parity != platform::NO_PARITY_BIT;
    lineState.fTXContinueOnXoff = true;
    lineState.fDsrSensitivity = false;
    lineState.fErrorChar = false;
    lineState.fNull = false;
    lineState.fAbortOnError = false;

    // Mode 0 (and any other value, which the correction already turned into 0) holds
    // both DTR and RTS off and lets no handshake stop the line.
    lineState.fOutxCtsFlow = false;
    lineState.fOutxDsrFlow = false;
    lineState.fDtrControl = platform::DTR_OFF;
    lineState.fRtsControl = platform::RTS_OFF;
    lineState.fOutX = false;
    lineState.fInX = false;
    switch (settings.flowControl) {
        case 1:  // RTS/CTS
            lineState.fOutxCtsFlow = true;
            lineState.fRtsControl = platform::RTS_HANDSHAKE;
            break;
        case 2:  // DTR/DSR
            lineState.fOutxDsrFlow = true;
            lineState.fDtrControl = platform::DTR_HANDSHAKE;
            break;
        case 3:  // XON/XOFF
            lineState.fOutX = true;
            lineState.fInX = true;
            break;
        default:
            break;
    }

    if (port->SetLineState(lineState) == 0) {
        ReportLastError();
        return 0;
    }
    return 1;
}

int CSerialLink::ApplyTimeouts() {
    if (port->GetTimeouts(timeouts) == 0) {
        ReportLastError();
        return 0;
    }
    timeouts.readInterval = readIntervalTimeout;
    timeouts.readTotalMultiplier = readTotalTimeoutMultiplier;
    timeouts.readTotalConstant = readTotalTimeoutConstant;
    timeouts.writeTotalMultiplier = writeTotalTimeoutMultiplier;
    timeouts.writeTotalConstant = writeTotalTimeoutConstant;
    if (port->SetTimeouts(timeouts) == 0) {
        ReportLastError();
        return 0;
    }
    return 1;
}

int CSerialLink::Read(uint32_t& count, uint8_t* buffer) {
    const uint32_t wanted = count;
    // A failed read hands back no bytes, so the caller never takes stale buffer contents.
    count = 0;
    uint32_t outputQueueBytes = 0;  // this call's own status, never shared with WriteBlock
    if (port->ClearError(outputQueueBytes) == 0) {
        ReportLastError();
        return 0;
    }
    uint32_t received = 0;
    if (port->Read(buffer, wanted, received) == 0) {
        ReportLastError();
        return 0;
    }
    count = received;
    return 1;
}

int CSerialLink::WaitForInput(uint32_t timeoutMs) {
    return port->WaitReadable(timeoutMs);
}

int CSerialLink::WriteBlock(uint32_t count, const uint8_t* bytes) {
    if (count == 0) {
        return 1;
    }
    const Clock::time_point start = Clock::now();
    uint32_t written = 0;
    if (port->Write(bytes, count, written) == 0) {
        ReportLastError();
        return 0;
    }
    if (written == 0) {
        platform.messageBoxes->Show(WRITE_TIMEOUT_TEXT, ERROR_CAPTION);
        return 0;
    }
    // Done only when the driver has sent everything; between checks the thread sleeps on
    // the platform instead of asking the driver again and again. A device that stops taking
    // data gets the write time-out the port was given, not for ever.
    const uint64_t limitMs =
        uint64_t{timeouts.writeTotalMultiplier} * count + timeouts.writeTotalConstant;
    const Clock::time_point deadline = start + std::chrono::milliseconds(limitMs);
    for (;;) {
        uint32_t outputQueueBytes = 0;
        if (port->ClearError(outputQueueBytes) == 0) {
            ReportLastError();
            return 0;
        }
        if (outputQueueBytes == 0) {
            return 1;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (limitMs > 0 && left <= 0) {
            platform.messageBoxes->Show(WRITE_TIMEOUT_TEXT, ERROR_CAPTION);
            return 0;
        }
        port->WaitOutputDrained(limitMs > 0
                                    ? static_cast<uint32_t>(std::min<int64_t>(left, DRAIN_CHECK_MS))
                                    : DRAIN_CHECK_MS);
    }
}

void CSerialLink::ReportLastError() {
    // The text first: any later call could replace the error it describes.
    // A port that has gone is its owner's to report, once and by name: the system's text
    // ("Input/output error") says neither which port nor what happened, and a box here would
    // hold up the thread that met it while the owner still thinks the port is there.
    if (port->Gone()) {
        return;
    }
    const std::string text = port->LastErrorText();
    platform.messageBoxes->Show(text, ERROR_CAPTION);
    uint32_t outputQueueBytes = 0;
    port->ClearError(outputQueueBytes);  // fails harmlessly when the port is not open
}
