// One serial port as the serial link sees it: the operations it calls, shaped like the
// Win32 comm API (device control block, comm timeouts), so the link's logic is the same on
// every backend.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Parity and stop-bit codes as the serial settings carry them. The values are Win32's; the
// names are not, since <windows.h> defines those as macros and meets this header there.
enum : uint8_t {
    NO_PARITY_BIT = 0,
    ODD_PARITY_BIT = 1,
    EVEN_PARITY_BIT = 2,
    MARK_PARITY_BIT = 3,
    SPACE_PARITY_BIT = 4
};
enum : uint8_t { STOP_BITS_ONE = 0, STOP_BITS_ONE5 = 1, STOP_BITS_TWO = 2 };
enum : uint8_t { DTR_OFF = 0, DTR_ON = 1, DTR_HANDSHAKE = 2 };
enum : uint8_t { RTS_OFF = 0, RTS_ON = 1, RTS_HANDSHAKE = 2, RTS_TOGGLE = 3 };

// The line state of a port: the device control block the link reads, changes and writes back.
// Fields the link does not set keep what the port reported.
struct SerialLineState {
    uint32_t baudRate = 0;
    uint8_t byteSize = 8;
    uint8_t parity = NO_PARITY_BIT;
    uint8_t stopBits = STOP_BITS_ONE;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = DTR_OFF;
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = true;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    uint8_t fRtsControl = RTS_OFF;
    bool fAbortOnError = false;
    char xonChar = 0x11;
    char xoffChar = 0x13;
};

// Timeouts in milliseconds. readInterval = TIMEOUT_MAX with both read totals 0 means
// "a read returns at once with what has arrived".
struct SerialTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};
inline constexpr uint32_t TIMEOUT_MAX = 0xFFFFFFFFu;

// One port object: closed at construction, opened by Open, closed by Close or destruction.
// Every operation returns 1 on success and 0 on failure; after a failure LastErrorText()
// gives the operating system's own text for it, until the next operation on the same
// thread. Read and Write may run at the same time on two threads (the worker reads while
// the GUI thread writes); every other operation belongs to the thread that opened the port.
class ISerialPort {
  public:
    virtual ~ISerialPort() = default;

    // Opens the port by name for exclusive read and write access.
    virtual int Open(const std::string& portName) = 0;
    virtual bool IsOpen() const = 0;
    // Driver input and output queue sizes in bytes (a hint where the OS has fixed queues).
    virtual int SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) = 0;
    virtual int GetLineState(SerialLineState& state) = 0;
    virtual int SetLineState(const SerialLineState& state) = 0;
    // Line events to watch; 0 watches none.
    virtual int SetEventMask(uint32_t mask) = 0;
    virtual int GetTimeouts(SerialTimeouts& timeouts) = 0;
    virtual int SetTimeouts(const SerialTimeouts& timeouts) = 0;
    // Clears the port's error state and reports the bytes still in the output queue.
    virtual int ClearError(uint32_t& outputQueueBytes) = 0;
    // Waits, on the platform and not by spinning, until the output queue is empty or
    // timeoutMs has passed; returns 1 when it is empty.
    virtual int WaitOutputDrained(uint32_t timeoutMs) = 0;
    // Waits, on the platform, until bytes are waiting to be read, the port fails, or
    // timeoutMs has passed; 1 when a Read would now find something (or fail), 0 otherwise.
    // Lets an idle reader sleep instead of spinning.
    virtual int WaitReadable(uint32_t timeoutMs) = 0;
    // Reads at most maxBytes into buffer, honouring the timeouts; count gets the bytes read.
    virtual int Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) = 0;
    // Writes count bytes, honouring the write timeouts; written gets the bytes moved.
    virtual int Write(const uint8_t* bytes, uint32_t count, uint32_t& written) = 0;
    virtual int Close() = 0;
    // True once the device has gone from under this open port (hang-up, unplugged adapter):
    // no operation will succeed again, only Close. A returning device needs a new Open, and
    // may come back under another name. Any thread may ask.
    virtual bool Gone() const = 0;
    // The OS's own text for the calling thread's last failed operation on this port.
    virtual std::string LastErrorText() const = 0;
};

// Makes port objects; one per backend (Linux termios, the simulated Kit, test fakes).
class ISerialPorts {
  public:
    virtual ~ISerialPorts() = default;
    virtual std::unique_ptr<ISerialPort> CreatePort() = 0;
    // The device path behind a port name ("COM1" -> "/dev/ttyUSB0"), empty when unknown.
    virtual std::string DevicePath(const std::string& portName) { return portName; }
    // Names of the ports the system has, each one Open takes: "COM1".."COM4" first.
    virtual std::vector<std::string> ListedPorts() { return {"COM1", "COM2", "COM3", "COM4"}; }
};

}  // namespace platform
