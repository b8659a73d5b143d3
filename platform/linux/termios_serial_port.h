// One serial port on a Linux tty device through termios: exclusive open, line settings,
// comm-style timeouts with poll, and the output queue from the driver.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/serial_port.h"

namespace platform {

// The framing bits of c_cflag (CSIZE, PARENB, PARODD, CMSPAR, CSTOPB) for a character size,
// parity code and stop-bit code; 0 with the error EINVAL for what termios cannot express
// (one and a half stop bits among them).
int FramingToCflag(uint8_t byteSize, uint8_t parity, uint8_t stopBits, uint32_t& cflag);
// The other way: size, parity and stop bits of state from c_cflag.
void CflagToFraming(uint32_t cflag, SerialLineState& state);

// Thread safety: Read, Write, ClearError, WaitReadable and WaitOutputDrained may run on two
// threads at once (the worker reads while the GUI thread writes); Open, the settings, the
// timeouts and Close belong to one thread and run while no other thread uses the port.
// Errors are kept per thread, so a failed read never hides the text of a failed write.
class CTermiosSerialPort : public ISerialPort {
  public:
    // Turns a port name into a device path; an empty path means "no such device".
    using PathResolver = std::function<std::string(const std::string& portName)>;

    // Without a resolver the port name is taken as the device path.
    explicit CTermiosSerialPort(PathResolver resolver = {});
    ~CTermiosSerialPort() override;  // Close
    CTermiosSerialPort(const CTermiosSerialPort&) = delete;
    CTermiosSerialPort& operator=(const CTermiosSerialPort&) = delete;

    int Open(const std::string& portName) override;
    bool IsOpen() const override { return fd >= 0; }
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
    std::string LastErrorText() const override;
    bool Gone() const override { return gone.load(); }

  protected:
    // Every ioctl on the device goes through here, so a test can stand in for a device that
    // refuses one; -1 with errno on failure, as ioctl.
    virtual int Control(int handle, unsigned long request, void* argument);

  private:
    // Fails with error; EIO or ENODEV also mark the port gone.
    int FailOnPort(int error);
    // True when the other end has gone (hang-up, unplugged adapter, closed pty master).
    bool HungUp() const;

    PathResolver resolver;
    int fd = -1;
    std::atomic<bool> gone{false};  // set on whichever thread met the hang-up
    uint32_t baudRate = 0;          // last rate set, to pace the checks of the output queue
    // Bytes written since the output queue was last seen empty (Write and the queue checks
    // may run on different threads).
    std::atomic<uint64_t> writtenSinceEmpty{0};
    SerialTimeouts timeouts;
};

}  // namespace platform
