// A wrapper port that adds the line's drain time to the wrapped port's output queue.
#include "benchmarks/line_paced_ports.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sim/line_drain.h"

namespace perf {

namespace {

class CLinePacedPort : public platform::ISerialPort {
  public:
    explicit CLinePacedPort(std::unique_ptr<platform::ISerialPort> port) : port(std::move(port)) {}

    int Open(const std::string& name) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            closed = false;
        }
        return port->Open(name);
    }
    bool IsOpen() const override { return port->IsOpen(); }
    int SetQueueSizes(uint32_t in, uint32_t out) override { return port->SetQueueSizes(in, out); }
    int GetLineState(platform::SerialLineState& s) override { return port->GetLineState(s); }
    int SetLineState(const platform::SerialLineState& s) override {
        const int ok = port->SetLineState(s);
        if (ok != 0) {
            std::lock_guard<std::mutex> hold(mutex);
            baudRate = s.baudRate;
        }
        return ok;
    }
    int SetEventMask(uint32_t mask) override { return port->SetEventMask(mask); }
    int GetTimeouts(platform::SerialTimeouts& t) override { return port->GetTimeouts(t); }
    int SetTimeouts(const platform::SerialTimeouts& t) override { return port->SetTimeouts(t); }
    int ClearError(uint32_t& queued) override {
        if (port->ClearError(queued) == 0) {
            return 0;
        }
        std::lock_guard<std::mutex> hold(mutex);
        queued = std::max(queued, line.Queued(sim::CLineDrain::Clock::now()));
        return 1;
    }
    int WaitOutputDrained(uint32_t timeoutMs) override {
        const auto deadline = sim::CLineDrain::Clock::now() + std::chrono::milliseconds(timeoutMs);
        {
            std::unique_lock<std::mutex> hold(mutex);
            // Ended early by a close; a write meanwhile moves the end later.
            while (!closed && line.DrainedAt() > sim::CLineDrain::Clock::now() &&
                   sim::CLineDrain::Clock::now() < deadline) {
                drained.wait_until(hold, std::min(line.DrainedAt(), deadline));
            }
            if (line.Queued(sim::CLineDrain::Clock::now()) != 0) {
                return 0;
            }
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - sim::CLineDrain::Clock::now());
        return port->WaitOutputDrained(static_cast<uint32_t>(std::max<int64_t>(left.count(), 0)));
    }
    int WaitReadable(uint32_t ms) override { return port->WaitReadable(ms); }
    int Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) override {
        return port->Read(buffer, maxBytes, count);
    }
    int Write(const uint8_t* bytes, uint32_t count, uint32_t& written) override {
        const int ok = port->Write(bytes, count, written);
        if (ok != 0) {
            std::lock_guard<std::mutex> hold(mutex);
            line.Add(written, baudRate, sim::CLineDrain::Clock::now());
        }
        return ok;
    }
    int Close() override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            closed = true;
            line.Clear();
        }
        drained.notify_all();
        return port->Close();
    }
    bool Gone() const override { return port->Gone(); }
    std::string LastErrorText() const override { return port->LastErrorText(); }

  private:
    std::unique_ptr<platform::ISerialPort> port;
    std::mutex mutex;
    std::condition_variable drained;
    sim::CLineDrain line;   // guarded by mutex
    uint32_t baudRate = 0;  // guarded by mutex
    bool closed = false;    // guarded by mutex
};

}  // namespace

std::unique_ptr<platform::ISerialPort> CLinePacedPorts::CreatePort() {
    return std::make_unique<CLinePacedPort>(inner.CreatePort());
}

}  // namespace perf
