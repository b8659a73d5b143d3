// The simulated Kit's virtual serial ports: "COM1" is the board's line, opened exclusively;
// every other name is missing unless the owner makes it busy or locked. A disconnect hangs up the
// open port for good. Errors carry the texts the OS gives for the same conditions. What the
// program writes stays in the output queue for its line time, as a real driver holds it; the
// board model takes it at once, so the echo does not wait for the queue.
#include <algorithm>
#include <chrono>

#include "sim/line_drain.h"
#include "sim/sim_devices.h"

namespace sim {

namespace {

constexpr const char* TEXT_NO_SUCH_FILE = "No such file or directory";
constexpr const char* TEXT_BUSY = "Device or resource busy";
constexpr const char* TEXT_IO_ERROR = "Input/output error";
constexpr const char* TEXT_BAD_DESCRIPTOR = "Bad file descriptor";
constexpr const char* TEXT_INVALID = "Invalid argument";
constexpr const char* TEXT_DENIED = "Permission denied";

// Like errno: the calling thread's last failure.
thread_local std::string t_lastError;

int Fail(const char* text) {
    t_lastError = text;
    return 0;
}

class CSimSerialPort : public platform::ISerialPort {
  public:
    explicit CSimSerialPort(std::shared_ptr<CSimState> state) : state(std::move(state)) {}
    ~CSimSerialPort() override { Close(); }

    int Open(const std::string& portName) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        // A fault stands for a port that exists: one that fails whatever is behind it.
        const auto fault = state->portFaults.find(portName);
        if (fault != state->portFaults.end() && fault->second == PortFault::BUSY) {
            return Fail(TEXT_BUSY);
        }
        if (fault != state->portFaults.end() && fault->second == PortFault::DENIED) {
            return Fail(TEXT_DENIED);
        }
        if (portName != KIT_PORT_NAME || !state->serialConnected) {
            return Fail(TEXT_NO_SUCH_FILE);
        }
        if (state->serialOwner != nullptr || opened) {
            return Fail(TEXT_BUSY);
        }
        state->serialOwner = this;
        opened = true;
        generation = state->serialGeneration;
        state->lineToHost.clear();
        state->lineState = platform::SerialLineState{};
        state->lineState.baudRate = 9600;
        timeouts = platform::SerialTimeouts{};
        outputQueue.Clear();
        return 1;
    }

    bool IsOpen() const override {
        std::lock_guard<std::mutex> hold(state->mutex);
        return opened;
    }

    bool Gone() const override {
        std::lock_guard<std::mutex> hold(state->mutex);
        return GoneLocked();
    }

    int SetQueueSizes(uint32_t, uint32_t) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        return CheckLocked();
    }

    int GetLineState(platform::SerialLineState& lineState) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!CheckLocked()) {
            return 0;
        }
        lineState = state->lineState;
        return 1;
    }

    int SetLineState(const platform::SerialLineState& lineState) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!CheckLocked()) {
            return 0;
        }
        // What termios could not express is refused, as tcsetattr would.
        if (lineState.baudRate == 0 || lineState.byteSize < 5 || lineState.byteSize > 8 ||
            lineState.parity > platform::SPACE_PARITY_BIT ||
            lineState.stopBits > platform::STOP_BITS_TWO) {
            return Fail(TEXT_INVALID);
        }
        state->lineState = lineState;
        return 1;
    }

    int SetEventMask(uint32_t) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        return CheckLocked();
    }

    int GetTimeouts(platform::SerialTimeouts& out) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!CheckLocked()) {
            return 0;
        }
        out = timeouts;
        return 1;
    }

    int SetTimeouts(const platform::SerialTimeouts& in) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!CheckLocked()) {
            return 0;
        }
        timeouts = in;
        return 1;
    }

    int ClearError(uint32_t& outputQueueBytes) override {
        outputQueueBytes = 0;
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!CheckLocked()) {
            return 0;
        }
        outputQueueBytes = outputQueue.Queued(CLineDrain::Clock::now());
        return 1;
    }

    int WaitOutputDrained(uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> hold(state->mutex);
        const auto deadline = CLineDrain::Clock::now() + std::chrono::milliseconds(timeoutMs);
        // Woken early only by a disconnect or a close; a write meanwhile moves the end later.
        for (;;) {
            if (!CheckLocked()) {
                return 0;
            }
            const auto now = CLineDrain::Clock::now();
            if (outputQueue.Queued(now) == 0) {
                return 1;
            }
            if (now >= deadline) {
                return 0;
            }
            state->lineChanged.wait_until(hold, std::min(outputQueue.DrainedAt(), deadline));
        }
    }

    int WaitReadable(uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> hold(state->mutex);
        // 1 also for a failed port: the following Read reports the failure.
        return state->lineChanged.wait_for(
                   hold, std::chrono::milliseconds(timeoutMs),
                   [&] { return !UsableLocked() || !state->lineToHost.empty(); })
                   ? 1
                   : 0;
    }

    int Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) override {
        count = 0;
        std::unique_lock<std::mutex> hold(state->mutex);
        if (!CheckLocked()) {
            return 0;
        }
        const platform::SerialTimeouts t = timeouts;
        const bool returnAtOnce = t.readInterval == platform::TIMEOUT_MAX &&
                                  t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
        if (!returnAtOnce) {
            // Wait for the whole count or the total timeout (none when it is 0). The interval
            // timeout is not modelled.
            const auto enough = [&] {
                return !UsableLocked() || state->lineToHost.size() >= maxBytes;
            };
            const uint64_t totalMs =
                static_cast<uint64_t>(t.readTotalMultiplier) * maxBytes + t.readTotalConstant;
            if (totalMs == 0) {
                state->lineChanged.wait(hold, enough);
            } else {
                state->lineChanged.wait_for(hold, std::chrono::milliseconds(totalMs), enough);
            }
            if (!CheckLocked()) {
                return 0;
            }
        }
        auto& line = state->lineToHost;
        count = static_cast<uint32_t>(std::min<size_t>(maxBytes, line.size()));
        std::copy_n(line.begin(), count, buffer);
        line.erase(line.begin(), line.begin() + count);
        return 1;
    }

    int Write(const uint8_t* bytes, uint32_t count, uint32_t& written) override {
        written = 0;
        {
            std::lock_guard<std::mutex> hold(state->mutex);
            if (!CheckLocked()) {
                return 0;
            }
            outputQueue.Add(count, state->lineState.baudRate, CLineDrain::Clock::now());
            state->RecordSerialLocked(bytes, count);
            const std::vector<uint8_t> echo = state->board.TakeSerial(bytes, count);
            state->PutOnLineLocked(echo.data(), echo.size());
            written = count;
        }
        if (count > 0) {
            state->NotifyObserver();
        }
        return 1;
    }

    int Close() override {
        {
            std::lock_guard<std::mutex> hold(state->mutex);
            if (!opened) {
                return 1;
            }
            opened = false;
            outputQueue.Clear();
            if (!OwnsLocked()) {
                return 1;  // the line was lost under it and may have a new owner by now
            }
            state->serialOwner = nullptr;
            state->lineToHost.clear();
        }
        state->lineChanged.notify_all();
        return 1;
    }

    std::string LastErrorText() const override { return t_lastError; }

  private:
    bool OwnsLocked() const { return state->serialOwner == this; }
    // A disconnect takes the line from the open port for good, as an unplug hangs up a tty:
    // only Close is left, and the returning line needs a new open.
    bool GoneLocked() const { return opened && generation != state->serialGeneration; }
    bool UsableLocked() const { return opened && !GoneLocked(); }

    // 1 when the port is open and its line still the one it opened; otherwise 0 with the
    // OS's text (a hung-up tty answers EIO).
    int CheckLocked() const {
        if (!opened) {
            return Fail(TEXT_BAD_DESCRIPTOR);
        }
        if (GoneLocked()) {
            return Fail(TEXT_IO_ERROR);
        }
        return 1;
    }

    const std::shared_ptr<CSimState> state;
    // Guarded by the state's mutex.
    bool opened = false;
    uint64_t generation = 0;  // the line's generation when this port opened it
    // Guarded by the state's mutex: Read on the worker thread looks at them.
    platform::SerialTimeouts timeouts;
    CLineDrain outputQueue;  // guarded by the state's mutex
};

}  // namespace

std::unique_ptr<platform::ISerialPort> CSimSerialPorts::CreatePort() {
    return std::make_unique<CSimSerialPort>(state);
}

std::string CSimSerialPorts::DevicePath(const std::string& portName) {
    return portName == KIT_PORT_NAME ? "sim:COM1" : std::string();
}

}  // namespace sim
