// The RS232 channel to the board: one object per opened port, written against the
// platform's serial-port interface. Every failure is shown in an "Error" box at once.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "serial/serial_settings.h"

class CSerialLink {
public:
    // Stores the corrected settings; does not touch the port.
    CSerialLink(const SerialSettings& settings, const platform::Platform& platform);
    virtual ~CSerialLink();  // Close
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    int Open();
    int Close();
    int ApplySettings();
    int ApplyTimeouts();
    // count: in, the most bytes to read; out, the number read. Returns at once.
    int Read(uint32_t& count, uint8_t* buffer);
    // Waits up to timeoutMs for input without spinning; shows nothing. 1 when input waits.
    int WaitForInput(uint32_t timeoutMs);
    // Returns once the output queue is empty; count 0 returns 1 with no platform call.
    int WriteBlock(uint32_t count, const uint8_t* bytes);
    void ReportLastError();

    const SerialSettings& Settings() const { return settings; }

private:
    // ... implementation-defined members
    SerialSettings settings;
    const platform::Platform& platform;
    std::unique_ptr<platform::ISerialPort> port;
};
