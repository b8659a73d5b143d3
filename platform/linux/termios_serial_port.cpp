// The termios backend of the serial port. It speaks termios2 (asm/termbits.h) rather than the
// C library's termios so that rates without a B constant (14400) can be set as well.
#include "platform/linux/termios_serial_port.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/serial_pacing.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

const char* const DTR_DSR_TEXT = "DTR/DSR flow control is not supported on this system.";
const char* const RTS_TOGGLE_TEXT = "RTS toggle control is not supported on this system.";

// Input flags under which the tty changes or drops received bytes.
constexpr unsigned int TRANSLATING_INPUT = ICRNL | INLCR | IGNCR | ISTRIP | IUCLC | IXON | PARMRK;

// The calling thread's last failure: an errno value, or a text of our own for a request the
// system has no error code for.
struct LastError {
    int code = 0;
    const char* text = nullptr;
};
thread_local LastError t_lastError;

int Fail(int code) {
    t_lastError = {code, nullptr};
    return 0;
}

int FailWithText(int code, const char* text) {
    t_lastError = {code, text};
    return 0;
}

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills the buffer).
[[maybe_unused]] const char* ErrorTextOf(const char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* ErrorTextOf(int, const char* buffer) {
    return buffer;
}

struct BaudCode {
    uint32_t rate;
    unsigned int code;
};
constexpr BaudCode BAUD_CODES[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// A pseudo-terminal or a bare USB CDC port has no modem lines (a CDC device without line
// control stalls the request: EPIPE, or EOPNOTSUPP): not an error here.
bool NoModemLines(int error) {
    return error == ENOTTY || error == EINVAL || error == EPIPE || error == EOPNOTSUPP;
}

int ClampToPollTimeout(int64_t milliseconds) {
    return static_cast<int>(std::clamp<int64_t>(milliseconds, 0, INT_MAX));
}

}  // namespace

int FramingToCflag(uint8_t byteSize, uint8_t parity, uint8_t stopBits, uint32_t& cflag) {
    cflag = 0;
    switch (byteSize) {
        case 5:
            cflag |= CS5;
            break;
        case 6:
            cflag |= CS6;
            break;
        case 7:
            cflag |= CS7;
            break;
        case 8:
            cflag |= CS8;
            break;
        default:
            return Fail(EINVAL);
    }
    switch (parity) {
        case NO_PARITY_BIT:
            break;
        case ODD_PARITY_BIT:
            cflag |= PARENB | PARODD;
            break;
        case EVEN_PARITY_BIT:
            cflag |= PARENB;
            break;
        case MARK_PARITY_BIT:  // stick parity: PARODD picks a parity bit of 1
            cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACE_PARITY_BIT:
            cflag |= PARENB | CMSPAR;
            break;
        default:
            return Fail(EINVAL);
    }
    switch (stopBits) {
        case STOP_BITS_ONE:
            break;
        case STOP_BITS_TWO:
            cflag |= CSTOPB;
            break;
        default:
            return Fail(EINVAL);  // termios knows one and two stop bits only
    }
    return 1;
}

void CflagToFraming(uint32_t cflag, SerialLineState& state) {
    switch (cflag & CSIZE) {
        case CS5:
            state.byteSize = 5;
            break;
        case CS6:
            state.byteSize = 6;
            break;
        case CS7:
            state.byteSize = 7;
            break;
        default:
            state.byteSize = 8;
            break;
    }
    const bool odd = (cflag & PARODD) != 0;
    if ((cflag & PARENB) == 0) {
        state.parity = NO_PARITY_BIT;
    } else if ((cflag & CMSPAR) != 0) {
        state.parity = odd ? MARK_PARITY_BIT : SPACE_PARITY_BIT;
    } else {
        state.parity = odd ? ODD_PARITY_BIT : EVEN_PARITY_BIT;
    }
    state.stopBits = (cflag & CSTOPB) != 0 ? STOP_BITS_TWO : STOP_BITS_ONE;
}

CTermiosSerialPort::CTermiosSerialPort(PathResolver pathResolver)
    : resolver(std::move(pathResolver)) {}

CTermiosSerialPort::~CTermiosSerialPort() {
    Close();
}

int CTermiosSerialPort::Control(int handle, unsigned long request, void* argument) {
    return ::ioctl(handle, request, argument);
}

int CTermiosSerialPort::FailOnPort(int error) {
    // After a hang-up or an unplug the tty answers EIO (ENODEV on some drivers) for good.
    if (error == EIO || error == ENODEV) {
        gone.store(true);
    }
    return Fail(error);
}

int CTermiosSerialPort::Open(const std::string& portName) {
    if (fd >= 0) {
        return Fail(EBUSY);
    }
    const std::string path = resolver ? resolver(portName) : portName;
    if (path.empty()) {
        // A name that stands for no device fails as opening a missing device would.
        return Fail(ENOENT);
    }
    // Non-blocking so that neither a missing carrier nor a full queue can hang a call; the
    // timeouts are kept with poll instead.
    const int handle = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        return Fail(errno);
    }
    // A new tty echoes and edits what it receives until it is made raw, so bytes a talking
    // board sends meanwhile would go back to it (and come round again, out of order, from a
    // board that echoes). The driver starts reading as the open returns: the echo and the
    // input translations go first, before anything else, to keep that window as short as it
    // can be. Best effort; the line settings follow and report a port that refuses them.
    struct termios2 found {};
    const bool quieted = Control(handle, TCGETS2, &found) == 0;
    if (quieted) {
        const unsigned int editing = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;
        struct termios2 quiet = found;
        quiet.c_lflag &= ~editing;
        quiet.c_iflag &= ~TRANSLATING_INPUT;
        Control(handle, TCSETS2, &quiet);
    }
    // What came in before that was edited and perhaps echoed: not what the board sent. A USB
    // port plugged in again starts cooked (the kernel resets a device number's settings when
    // it is registered anew). A tty that was raw already changed nothing, and keeps it.
    // Flushed only once the port is ours (after the lock).
    const bool edited = quieted && ((found.c_lflag & (ECHO | ICANON)) != 0 ||
                                    (found.c_iflag & TRANSLATING_INPUT) != 0);
    // The advisory lock: while another program holds the port, this open must leave its
    // state as it was (its line discipline restored, no exclusive mode that would outlive us).
    if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
        // Held by someone else: say "busy", as the failed open of a non-root user would.
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        if (quieted) {
            Control(handle, TCSETS2, &found);
        }
        ::close(handle);
        return Fail(error);
    }
    if (edited) {
        Control(handle, TCFLSH, reinterpret_cast<void*>(static_cast<uintptr_t>(TCIFLUSH)));
    }
    // TIOCEXCL turns away every later open except root's; the lock, which every opener
    // through this backend takes, turns away root as well.
    if (Control(handle, TIOCEXCL, nullptr) != 0) {
        const int error = errno;
        ::close(handle);
        return Fail(error);
    }
    // The kernel raised DTR and RTS on open, and a board reset by DTR is already waking up:
    // lower them at once, before the settings. Best effort, as in SetLineState.
    int lines = TIOCM_DTR | TIOCM_RTS;
    Control(handle, TIOCMBIC, &lines);
    gone.store(false);
    fd = handle;
    return 1;
}

int CTermiosSerialPort::SetQueueSizes(uint32_t, uint32_t) {
    // The kernel's tty queues have a fixed size; the request is only a hint.
    return fd >= 0 ? 1 : Fail(EBADF);
}

int CTermiosSerialPort::GetLineState(SerialLineState& state) {
    if (fd < 0) {
        return Fail(EBADF);
    }
    struct termios2 tio {};
    if (Control(fd, TCGETS2, &tio) != 0) {
        return FailOnPort(errno);
    }
    const unsigned int code = tio.c_cflag & CBAUD;
    state.baudRate = code == BOTHER ? tio.c_ospeed : 0;
    for (const BaudCode& entry : BAUD_CODES) {
        if (entry.code == code) {
            state.baudRate = entry.rate;
        }
    }
    CflagToFraming(tio.c_cflag, state);

    int lines = 0;
    if (Control(fd, TIOCMGET, &lines) != 0) {
        if (!NoModemLines(errno)) {
            return FailOnPort(errno);
        }
        lines = 0;
    }
    const bool hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
    state.fBinary = true;
    state.fParity = (tio.c_iflag & INPCK) != 0;
    state.fOutxCtsFlow = hardwareFlow;
    state.fOutxDsrFlow = false;
    state.fDtrControl = (lines & TIOCM_DTR) != 0 ? DTR_ON : DTR_OFF;
    state.fDsrSensitivity = false;
    state.fTXContinueOnXoff = true;
    state.fOutX = (tio.c_iflag & IXON) != 0;
    state.fInX = (tio.c_iflag & IXOFF) != 0;
    state.fErrorChar = false;
    state.fNull = false;
    state.fRtsControl = hardwareFlow ? RTS_HANDSHAKE : (lines & TIOCM_RTS) != 0 ? RTS_ON : RTS_OFF;
    state.fAbortOnError = false;
    state.xonChar = static_cast<char>(tio.c_cc[VSTART]);
    state.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return 1;
}

int CTermiosSerialPort::SetLineState(const SerialLineState& state) {
    if (fd < 0) {
        return Fail(EBADF);
    }
    // Everything is checked before anything is changed, so a refused state leaves the port
    // as it was.
    if (state.baudRate == 0) {
        return Fail(EINVAL);  // rate 0 would hang the line up
    }
    unsigned int speed = BOTHER;
    for (const BaudCode& entry : BAUD_CODES) {
        if (entry.rate == state.baudRate) {
            speed = entry.code;
        }
    }
    uint32_t framing = 0;
    if (FramingToCflag(state.byteSize, state.parity, state.stopBits, framing) == 0) {
        return 0;
    }
    if (state.fOutxDsrFlow || state.fDtrControl == DTR_HANDSHAKE) {
        return FailWithText(EINVAL, DTR_DSR_TEXT);
    }
    if (state.fRtsControl == RTS_TOGGLE) {
        return FailWithText(EINVAL, RTS_TOGGLE_TEXT);
    }
    const bool hardwareFlow = state.fOutxCtsFlow || state.fRtsControl == RTS_HANDSHAKE;

    struct termios2 tio {};
    if (Control(fd, TCGETS2, &tio) != 0) {
        return FailOnPort(errno);
    }
    // Raw: bytes pass unchanged both ways, nothing is echoed, no character is special.
    tio.c_iflag &= ~static_cast<unsigned int>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                              ICRNL | IUCLC | IXON | IXANY | IXOFF | INPCK);
    tio.c_oflag &= ~static_cast<unsigned int>(OPOST);
    tio.c_lflag &= ~static_cast<unsigned int>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<unsigned int>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR |
                                              CSTOPB | CRTSCTS);
    tio.c_cflag |= CREAD | CLOCAL | speed | framing;
    if (hardwareFlow) {
        tio.c_cflag |= CRTSCTS;
    }
    if (state.fParity && (framing & PARENB) != 0) {
        tio.c_iflag |= INPCK;
    }
    if (state.fOutX) {
        tio.c_iflag |= IXON;
    }
    if (state.fInX) {
        tio.c_iflag |= IXOFF;
    }
    tio.c_cc[VSTART] = static_cast<cc_t>(state.xonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(state.xoffChar);
    // Reads never wait in the driver; the timeouts are kept with poll.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_ispeed = state.baudRate;  // used only with BOTHER
    tio.c_ospeed = state.baudRate;
    if (Control(fd, TCSETS2, &tio) != 0) {
        return FailOnPort(errno);
    }
    baudRate = state.baudRate;

    // With hardware flow the driver owns RTS and lowers it only to hold the board back, so
    // it starts raised (Open lowered it); otherwise the lines follow the request.
    int lower = 0;
    int raise = 0;
    (state.fDtrControl == DTR_ON ? raise : lower) |= TIOCM_DTR;
    (hardwareFlow || state.fRtsControl == RTS_ON ? raise : lower) |= TIOCM_RTS;
    // Lowering is best effort: USB CDC devices without line control answer EPIPE or
    // EOPNOTSUPP, and lines that stay up must not cost the port.
    if (lower != 0) {
        Control(fd, TIOCMBIC, &lower);
    }
    if (raise != 0 && Control(fd, TIOCMBIS, &raise) != 0 && !NoModemLines(errno)) {
        return FailOnPort(errno);
    }
    return 1;
}

int CTermiosSerialPort::SetEventMask(uint32_t mask) {
    if (fd < 0) {
        return Fail(EBADF);
    }
    // Line events are not watched on this system; only "none" can be granted.
    return mask == 0 ? 1 : Fail(EINVAL);
}

int CTermiosSerialPort::GetTimeouts(SerialTimeouts& result) {
    if (fd < 0) {
        return Fail(EBADF);
    }
    result = timeouts;
    return 1;
}

int CTermiosSerialPort::SetTimeouts(const SerialTimeouts& requested) {
    if (fd < 0) {
        return Fail(EBADF);
    }
    timeouts = requested;
    return 1;
}

int CTermiosSerialPort::ClearError(uint32_t& outputQueueBytes) {
    outputQueueBytes = 0;
    if (fd < 0) {
        return Fail(EBADF);
    }
    // The tty layer keeps no sticky error state to clear; only the queue count is news.
    int queued = 0;
    if (Control(fd, TIOCOUTQ, &queued) != 0) {
        return FailOnPort(errno);
    }
    outputQueueBytes = static_cast<uint32_t>(std::max(queued, 0));
    if (queued <= 0) {
        writtenSinceEmpty.store(0);
    }
    return 1;
}

int CTermiosSerialPort::WaitOutputDrained(uint32_t timeoutMs) {
    if (fd < 0) {
        return Fail(EBADF);
    }
    // tcdrain cannot be bounded, so the queue is checked with pauses paced by the line.
    const Clock::time_point deadline = Clock::now() + Milliseconds(timeoutMs);
    for (;;) {
        int queued = 0;
        if (Control(fd, TIOCOUTQ, &queued) != 0) {
            return FailOnPort(errno);
        }
        if (queued <= 0) {
            writtenSinceEmpty.store(0);
            return 1;
        }
        const int64_t left = MillisecondsUntil(deadline);
        if (left <= 0) {
            return 0;
        }
        const int64_t paced = PacedQueue(queued, writtenSinceEmpty.load());
        std::this_thread::sleep_for(Milliseconds(DrainPauseMs(paced, baudRate, left)));
    }
}

int CTermiosSerialPort::WaitReadable(uint32_t timeoutMs) {
    // A closed port (fd -1) is ignored by poll, which then just sleeps: the caller still
    // waits instead of spinning.
    const Clock::time_point deadline = Clock::now() + Milliseconds(timeoutMs);
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, ClampToPollTimeout(MillisecondsUntil(deadline)));
        if (ready > 0) {
            return 1;  // data, or an error the next Read reports
        }
        if (ready == 0) {
            return 0;
        }
        if (errno != EINTR) {
            Fail(errno);
            return 1;
        }
    }
}

bool CTermiosSerialPort::HungUp() const {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int CTermiosSerialPort::Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) {
    count = 0;
    if (fd < 0) {
        return Fail(EBADF);
    }
    if (maxBytes == 0) {
        return 1;
    }
    const SerialTimeouts limits = timeouts;
    // readInterval TIMEOUT_MAX with both totals 0: hand back what has arrived, at once.
    const bool atOnce = limits.readInterval == TIMEOUT_MAX && limits.readTotalMultiplier == 0 &&
                        limits.readTotalConstant == 0;
    // readInterval and multiplier TIMEOUT_MAX: wait up to the constant for the first byte only.
    const bool firstByteOnly =
        limits.readInterval == TIMEOUT_MAX && limits.readTotalMultiplier == TIMEOUT_MAX &&
        limits.readTotalConstant > 0 && limits.readTotalConstant < TIMEOUT_MAX;
    const uint64_t totalMs =
        firstByteOnly ? limits.readTotalConstant
                      : uint64_t{limits.readTotalMultiplier} * maxBytes + limits.readTotalConstant;
    const bool hasTotal = totalMs > 0;
    const bool hasInterval = limits.readInterval != 0 && limits.readInterval != TIMEOUT_MAX;
    const Clock::time_point start = Clock::now();
    const Clock::time_point totalDeadline =
        start + Milliseconds(std::min<uint64_t>(totalMs, uint64_t{INT_MAX} * 1000));
    Clock::time_point lastByte = start;

    for (;;) {
        const ssize_t got = ::read(fd, buffer + count, maxBytes - count);
        if (got > 0) {
            count += static_cast<uint32_t>(got);
            // A raw tty hands over all it holds: a short read leaves nothing to ask for at once.
            if (count == maxBytes || firstByteOnly || atOnce) {
                return 1;
            }
            lastByte = Clock::now();
            continue;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            return FailOnPort(errno);
        }
        if (got == 0 && HungUp()) {
            // A hung-up tty reads as end of file; without this a vanished device would read
            // as "nothing yet" for ever.
            return FailOnPort(EIO);
        }
        if (atOnce) {
            return 1;
        }
        int64_t waitMs = -1;
        if (hasTotal) {
            waitMs = MillisecondsUntil(totalDeadline);
        }
        if (hasInterval && count > 0) {
            const int64_t gap = MillisecondsUntil(lastByte + Milliseconds(limits.readInterval));
            waitMs = waitMs < 0 ? gap : std::min(waitMs, gap);
        }
        if ((hasTotal || (hasInterval && count > 0)) && waitMs <= 0) {
            return 1;  // timed out with what has arrived
        }
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, waitMs < 0 ? -1 : ClampToPollTimeout(waitMs)) < 0 && errno != EINTR) {
            return FailOnPort(errno);
        }
    }
}

int CTermiosSerialPort::Write(const uint8_t* bytes, uint32_t count, uint32_t& written) {
    written = 0;
    if (fd < 0) {
        return Fail(EBADF);
    }
    // Total write time-out: multiplier per byte plus the constant; both 0 means none.
    const uint64_t totalMs =
        uint64_t{timeouts.writeTotalMultiplier} * count + timeouts.writeTotalConstant;
    const Clock::time_point deadline =
        Clock::now() + Milliseconds(std::min<uint64_t>(totalMs, uint64_t{INT_MAX} * 1000));
    while (written < count) {
        const ssize_t moved = ::write(fd, bytes + written, count - written);
        if (moved > 0) {
            written += static_cast<uint32_t>(moved);
            writtenSinceEmpty.fetch_add(static_cast<uint64_t>(moved));
            continue;
        }
        if (moved < 0 && errno != EAGAIN && errno != EINTR) {
            return FailOnPort(errno);
        }
        int64_t waitMs = -1;
        if (totalMs > 0) {
            waitMs = MillisecondsUntil(deadline);
            if (waitMs <= 0) {
                return 1;  // timed out: written tells how much went (0 for none)
            }
        }
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, waitMs < 0 ? -1 : ClampToPollTimeout(waitMs)) < 0 && errno != EINTR) {
            return FailOnPort(errno);
        }
    }
    return 1;
}

int CTermiosSerialPort::Close() {
    if (fd < 0) {
        return 1;
    }
    const int handle = fd;
    fd = -1;
    writtenSinceEmpty.store(0);
    // Lift the exclusive mode: on a pty it would otherwise outlive this handle.
    Control(handle, TIOCNXCL, nullptr);
    ::flock(handle, LOCK_UN);
    if (::close(handle) != 0 && errno != EINTR) {  // after EINTR the handle is gone anyway
        return FailOnPort(errno);
    }
    return 1;
}

std::string CTermiosSerialPort::LastErrorText() const {
    const LastError error = t_lastError;
    if (error.text != nullptr) {
        return error.text;
    }
    char buffer[256] = {};
    return ErrorTextOf(strerror_r(error.code, buffer, sizeof buffer), buffer);
}

}  // namespace platform
