// The RS232 channel to the board: one object per opened port, written against the
// platform's serial-port interface. Every failure is shown in an "Error" box at once, except
// the port's going away (PortGone), which the owner reports.
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
    // Returns once the output queue is empty, or shows the time-out box and returns 0 when
    // it is not empty by the write time-out (writeTotalTimeoutMultiplier ms a byte);
    // count 0 returns 1 with no platform call.
    int WriteBlock(uint32_t count, const uint8_t* bytes);
    void ReportLastError();
    // True once the port has gone (adapter unplugged): only Close is left to do. Any thread.
    bool PortGone() const { return port->Gone(); }

    const SerialSettings& Settings() const { return settings; }

  private:
    // How long one wait for the output queue lasts before the queue is checked again.
    static constexpr uint32_t DRAIN_CHECK_MS = 50;

    std::unique_ptr<platform::ISerialPort> port;  // open between a successful Open and Close
    platform::SerialLineState lineState;          // as last read and written by ApplySettings
    platform::SerialTimeouts timeouts;            // as last read and written by ApplyTimeouts
    SerialSettings settings;                      // port name and the corrected settings
    const uint32_t readIntervalTimeout = platform::TIMEOUT_MAX;
    const uint32_t readTotalTimeoutMultiplier = 0;
    const uint32_t readTotalTimeoutConstant = 0;
    const uint32_t writeTotalTimeoutMultiplier = 2000;
    const uint32_t writeTotalTimeoutConstant = 0;
    const uint32_t inputQueueSize = 1024;
    const uint32_t outputQueueSize = 1024;
    const platform::Platform& platform;
};

// The program's one serial link while a COM port is open on the page; null otherwise.
extern CSerialLink* g_serialLink;
