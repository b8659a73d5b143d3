// One serial port on Windows through the Win32 comm API, opened overlapped so that the
// reader and the writer never wait for each other.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/serial_port.h"

namespace platform::windows {

class COverlapped;

// Thread safety as the interface asks: Read, WaitReadable, Write, ClearError and
// WaitOutputDrained may run on two threads at once, each operation with its own overlapped
// record and event; Open, the settings, the timeouts and Close belong to one thread and run
// while no other thread uses the port. Errors are kept per thread.
class CWinSerialPort : public ISerialPort {
  public:
    CWinSerialPort() = default;
    ~CWinSerialPort() override;  // Close
    CWinSerialPort(const CWinSerialPort&) = delete;
    CWinSerialPort& operator=(const CWinSerialPort&) = delete;

    // "COM5" and "\\.\COM5" both name the port; the short form is made the long one, which
    // every port number needs past COM9.
    int Open(const std::string& portName) override;
    bool IsOpen() const override { return handle != nullptr; }
    int SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) override;
    int GetLineState(SerialLineState& state) override;
    int SetLineState(const SerialLineState& state) override;
    int SetEventMask(uint32_t mask) override;
    int GetTimeouts(SerialTimeouts& result) override;
    int SetTimeouts(const SerialTimeouts& requested) override;
    int ClearError(uint32_t& outputQueueBytes) override;
    int WaitOutputDrained(uint32_t timeoutMs) override;
    int WaitReadable(uint32_t timeoutMs) override;
    int Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) override;
    int Write(const uint8_t* bytes, uint32_t count, uint32_t& written) override;
    int Close() override;
    bool Gone() const override { return gone.load(); }
    std::string LastErrorText() const override;

  private:
    // Fails with error; the codes a vanished device answers with also mark the port gone.
    int FailOnPort(unsigned long error);
    // Bytes waiting in the input queue, or -1 after a failure (already recorded).
    long long InputQueued();
    // Waits for EV_RXCHAR up to timeoutMs: 1 when it came, 0 when it did not, -1 when the
    // driver cannot wait for line events (then the caller checks the queue instead).
    int WaitForCharacter(uint32_t timeoutMs);
    // Ends a transfer that ReadFile or WriteFile has just started (`started` is what it
    // returned): 1 with the bytes moved, also when the comm timeouts ended it early.
    int FinishTransfer(int started, COverlapped& operation, uint32_t& moved);

    void* handle = nullptr;  // the port's HANDLE; null while closed
    std::atomic<bool> gone{false};
    std::atomic<uint32_t> eventMask{0};       // what the comm mask holds now
    std::atomic<bool> commEventsFail{false};  // the driver refused WaitCommEvent once
    uint32_t baudRate = 0;    // last rate set, to pace the checks of the output queue
    SerialTimeouts timeouts;  // as last set, read by Read on the reader thread
};

}  // namespace platform::windows
