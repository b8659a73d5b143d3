// Web Serial behind the serial port interface. The browser takes the line settings when it
// opens a port, so Open opens it with the Kit's and a change reopens it. The pump reads the
// port into the port's queue and holds back while the queue is full, so nothing is dropped.
#include "platform/web/web_serial.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "channel/board_commands.h"
#include "platform/web/web_pump.h"
#include "platform/web/web_queue.h"

namespace platform::web {
namespace {

constexpr uint32_t QUEUE_BYTES = 64 * 1024;
constexpr int32_t OPEN_TIMEOUT_MS = 10000;
constexpr int32_t CLOSE_TIMEOUT_MS = 2000;
const char* const GONE_TEXT = "The device is no longer there.";

thread_local std::string lastError;

struct ListedPort {
    int id = 0;
    unsigned vendorId = 0;
    unsigned productId = 0;
};

std::vector<ListedPort> ListPorts() {
    std::string text(512, '\0');
    int needed = palvex_pump_serial_list(text.data(), static_cast<int>(text.size()));
    if (needed > static_cast<int>(text.size())) {
        text.resize(needed);
        needed = palvex_pump_serial_list(text.data(), static_cast<int>(text.size()));
    }
    text.resize(needed < static_cast<int>(text.size()) ? needed : text.size());
    std::vector<ListedPort> ports;
    std::istringstream lines(text);
    ListedPort port;
    while (lines >> port.id >> port.vendorId >> port.productId) {
        ports.push_back(port);
    }
    return ports;
}

// "COM3" is the third port listed; 0 for another name.
size_t PortNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) {
        return 0;
    }
    size_t number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || number > 1000) {
            return 0;
        }
        number = number * 10 + static_cast<size_t>(name[i] - '0');
    }
    return number;
}

class CWebSerialPort : public ISerialPort {
  public:
    ~CWebSerialPort() override { Close(); }

    int Open(const std::string& portName) override {
        if (IsOpen()) {
            return Fail("The port is already open.");
        }
        const std::vector<ListedPort> ports = ListPorts();
        const size_t number = PortNumber(portName);
        if (number == 0 || number > ports.size()) {
            return Fail("No such port: the browser has not been given it.");
        }
        portId = ports[number - 1].id;
        owned = std::make_unique<CPumpQueue>(QUEUE_BYTES);
        queue.store(owned.get());
        if (Reopen() == 0) {
            owned.reset();
            queue.store(nullptr);
            return 0;
        }
        return 1;
    }

    bool IsOpen() const override { return Q() != nullptr; }
    int SetQueueSizes(uint32_t, uint32_t) override { return Check(); }

    int GetLineState(SerialLineState& state) override {
        state = line;
        return Check();
    }

    int SetLineState(const SerialLineState& state) override {
        if (Check() == 0) {
            return 0;
        }
        const bool changed = state.baudRate != line.baudRate || state.byteSize != line.byteSize ||
                             state.parity != line.parity || state.stopBits != line.stopBits;
        line = state;
        if (!changed) {
            return 1;
        }
        return ClosePort() != 0 ? Reopen() : 0;
    }

    int SetEventMask(uint32_t) override { return Check(); }

    int GetTimeouts(SerialTimeouts& value) override {
        value = timeouts;
        return Check();
    }

    int SetTimeouts(const SerialTimeouts& value) override {
        timeouts = value;
        return Check();
    }

    int ClearError(uint32_t& outputQueueBytes) override {
        // A write is done when the browser has taken its bytes: nothing waits behind it.
        outputQueueBytes = 0;
        return Check();
    }

    int WaitOutputDrained(uint32_t) override { return Check(); }

    int WaitReadable(uint32_t timeoutMs) override {
        if (Q() == nullptr) {
            return 1;  // a read fails at once
        }
        return Q()->WaitBytes(timeoutMs) || Q()->State() != QUEUE_OPEN ? 1 : 0;
    }

    int Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) override {
        count = 0;
        if (Q() == nullptr) {
            return Fail("The port is not open.");
        }
        const bool atOnce = timeouts.readInterval == TIMEOUT_MAX &&
                            timeouts.readTotalMultiplier == 0 && timeouts.readTotalConstant == 0;
        if (!atOnce && maxBytes > 0) {
            Q()->WaitBytes(static_cast<double>(timeouts.readTotalMultiplier) * maxBytes +
                           timeouts.readTotalConstant);
        }
        count = Q()->Take(buffer, maxBytes);
        if (count == 0 && Q()->State() == QUEUE_GONE) {
            return Fail(GONE_TEXT);
        }
        return 1;
    }

    int Write(const uint8_t* bytes, uint32_t count, uint32_t& written) override {
        written = 0;
        if (Check() == 0) {
            return 0;
        }
        PumpOp* op = NewOp(count);
        std::memcpy(OpBytes(op), bytes, count);
        palvex_pump_serial_write(portId, op, static_cast<int>(count));
        const uint64_t limit =
            uint64_t{timeouts.writeTotalMultiplier} * count + timeouts.writeTotalConstant;
        std::string failure;
        const int32_t result = FinishOp(
            op, limit == 0 ? -1 : static_cast<int32_t>(std::min<uint64_t>(limit, INT32_MAX)),
            nullptr, &failure);
        if (result < 0) {
            return 1;  // not taken in time: nothing counts as written
        }
        if (result != 0) {
            return Fail(Q()->State() == QUEUE_GONE ? GONE_TEXT : failure);
        }
        written = count;
        return 1;
    }

    int Close() override {
        if (Q() == nullptr) {
            return 1;
        }
        const int closed = ClosePort();
        if (closed != 0) {
            owned.reset();
        } else {
            (void)owned.release();  // the pump may still write into it
        }
        queue.store(nullptr);
        return 1;
    }

    bool Gone() const override {
        const CPumpQueue* current = queue.load();
        return current != nullptr && current->State() == QUEUE_GONE;
    }

    std::string LastErrorText() const override { return lastError; }

  private:
    CPumpQueue* Q() const { return queue.load(); }

    static int Fail(const std::string& text) {
        lastError = text;
        return 0;
    }

    int Check() const {
        if (Q() == nullptr) {
            return Fail("The port is not open.");
        }
        return Q()->State() == QUEUE_GONE ? Fail(GONE_TEXT) : 1;
    }

    int Reopen() {
        PumpOp* op = NewOp();
        const int parity = line.parity == ODD_PARITY_BIT    ? 1
                           : line.parity == EVEN_PARITY_BIT ? 2
                                                            : 0;
        palvex_pump_serial_open(portId, Q()->Shared(), op, static_cast<int>(line.baudRate),
                                line.byteSize, parity, line.stopBits == STOP_BITS_TWO ? 2 : 1);
        std::string failure;
        const int32_t result = FinishOp(op, OPEN_TIMEOUT_MS, nullptr, &failure);
        if (result != 0) {
            return Fail(result < 0 ? "The browser did not open the port in time." : failure);
        }
        return 1;
    }

    int ClosePort() {
        PumpOp* op = NewOp();
        palvex_pump_serial_close(portId, op);
        return FinishOp(op, CLOSE_TIMEOUT_MS) == 0 ? 1 : 0;
    }

    int portId = 0;
    std::unique_ptr<CPumpQueue> owned;
    // Read by Gone on any thread; set only by Open and Close, on the port's own thread.
    std::atomic<CPumpQueue*> queue{nullptr};
    SerialLineState line{KIT_BAUD_RATE, KIT_DATA_BITS, KIT_PARITY, KIT_STOP_BITS};
    SerialTimeouts timeouts;
};

}  // namespace

std::unique_ptr<ISerialPort> CWebSerialPorts::CreatePort() {
    return std::make_unique<CWebSerialPort>();
}

std::string CWebSerialPorts::DevicePath(const std::string& portName) {
    const std::vector<ListedPort> ports = ListPorts();
    const size_t number = PortNumber(portName);
    if (number == 0 || number > ports.size()) {
        return "";
    }
    const ListedPort& port = ports[number - 1];
    char text[64];
    if (port.vendorId == 0) {
        return "Web Serial port";
    }
    std::snprintf(text, sizeof text, "Web Serial port, USB %04x:%04x", port.vendorId,
                  port.productId);
    return text;
}

std::vector<std::string> CWebSerialPorts::ListedPorts() {
    std::vector<std::string> names;
    for (size_t i = 1; i <= ListPorts().size(); ++i) {
        names.push_back("COM" + std::to_string(i));
    }
    return names;
}

}  // namespace platform::web
