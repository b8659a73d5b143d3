// The simulated Kit's owner controls: plugging, the board's own sends and what it recorded.
#include "sim/sim_kit.h"

#include <algorithm>
#include <chrono>

#include "sim/sim_devices.h"
#include "sim/sim_state.h"

using sim::CSimState;

CSimKit::CSimKit()
    : state(std::make_shared<CSimState>()),
      hid(std::make_unique<sim::CSimHidSystem>(state)),
      serialPorts(std::make_unique<sim::CSimSerialPorts>(state)) {}

CSimKit::~CSimKit() {
    state->SetObserver(nullptr);
    // Handles still open fail from now on, like devices that went away.
    std::lock_guard<std::mutex> hold(state->mutex);
    state->UnplugLocked();
    state->serialConnected = false;
    ++state->serialGeneration;
    state->serialOwner = nullptr;
    state->lineToHost.clear();
    state->lineChanged.notify_all();
}

platform::IHidSystem& CSimKit::Hid() {
    return *hid;
}

platform::ISerialPorts& CSimKit::SerialPorts() {
    return *serialPorts;
}

void CSimKit::PlugUsb(bool plugged) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (plugged == state->usbPlugged) {
            return;
        }
        if (plugged) {
            state->usbPlugged = true;
            ++state->plugGeneration;
        } else {
            state->UnplugLocked();
        }
    }
    state->NotifyObserver();
}

bool CSimKit::UsbPlugged() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->usbPlugged;
}

void CSimKit::ConnectSerial(bool connected) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (connected == state->serialConnected) {
            return;
        }
        state->serialConnected = connected;
        // Bytes on their way are lost with the line, and the open port with them.
        state->lineToHost.clear();
        if (!connected) {
            ++state->serialGeneration;
            state->serialOwner = nullptr;
        }
        state->lineChanged.notify_all();
    }
    state->NotifyObserver();
}

bool CSimKit::SerialConnected() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->serialConnected;
}

void CSimKit::SetUsbAccessDenied(bool denied) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->usbAccessDenied = denied;
    }
    state->NotifyObserver();
}

bool CSimKit::UsbAccessDenied() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->usbAccessDenied;
}

bool CSimKit::OutStalled() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->outStalled;
}

void CSimKit::SetOutStalled(bool stalled) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (stalled == state->outStalled) {
            return;
        }
        state->outStalled = stalled;
        // Reading again, the board first takes what waited, in order.
        while (!stalled && !state->stalledOut.empty()) {
            const std::vector<uint8_t> report = std::move(state->stalledOut.front());
            state->stalledOut.pop_front();
            state->BoardTakeReportLocked(report.data(), static_cast<uint32_t>(report.size()));
        }
        state->hidChanged.notify_all();
    }
    state->NotifyObserver();
}

void CSimKit::SetSilent(bool silent) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (silent == state->board.silent) {
            return;
        }
        state->board.silent = silent;
    }
    state->NotifyObserver();
}

bool CSimKit::Silent() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->board.silent;
}

void CSimKit::SetVersionReply(sim::VersionReply reply) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->board.versionReply = reply;
    }
    state->NotifyObserver();
}

sim::VersionReply CSimKit::GetVersionReply() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->board.versionReply;
}

void CSimKit::SetPortFault(const std::string& portName, sim::PortFault fault) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (fault == sim::PortFault::NONE) {
            state->portFaults.erase(portName);
        } else {
            state->portFaults[portName] = fault;
        }
    }
    state->NotifyObserver();
}

sim::PortFault CSimKit::GetPortFault(const std::string& portName) const {
    std::lock_guard<std::mutex> hold(state->mutex);
    const auto found = state->portFaults.find(portName);
    return found != state->portFaults.end() ? found->second : sim::PortFault::NONE;
}

void CSimKit::SendUsb(const std::vector<uint8_t>& bytes) {
    {
        std::unique_lock<std::mutex> hold(state->mutex);
        const uint64_t generation = state->plugGeneration;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(sim::PACING_LIMIT_MS);
        for (size_t offset = 0; offset < bytes.size(); offset += sim::KIT_MAX_PAYLOAD) {
            if (state->usbPaced) {
                state->hidChanged.wait_until(hold, deadline, [&] {
                    return !state->usbPaced || state->plugGeneration != generation ||
                           state->ReadersHaveRoomLocked();
                });
            }
            // An unplug (or a replug: a reset board) ends what was being sent.
            if (!state->usbPlugged || state->plugGeneration != generation) {
                break;
            }
            const size_t count = std::min<size_t>(sim::KIT_MAX_PAYLOAD, bytes.size() - offset);
            state->DeliverLocked(bytes.data() + offset, static_cast<uint32_t>(count));
        }
    }
    state->NotifyObserver();
}

void CSimKit::SendSerial(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->PutOnLineLocked(bytes.data(), bytes.size());
    }
    state->NotifyObserver();
}

void CSimKit::SetPacedUsb(bool paced) {
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->usbPaced = paced;
    }
    // A paced sender waiting now re-checks, and stops waiting once unpaced.
    state->hidChanged.notify_all();
}

bool CSimKit::LedFlashing() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->board.ledFlashing;
}

std::string CSimKit::Version() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->board.version;
}

void CSimKit::SetVersion(const std::string& version) {
    // The board always answers with exactly five characters.
    std::string fixed = version.substr(0, 5);
    fixed.resize(5, ' ');
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->board.version = fixed;
    }
    state->NotifyObserver();
}

std::vector<std::vector<uint8_t>> CSimKit::OutputReports() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return {state->outputReports.begin(), state->outputReports.end()};
}

std::vector<uint8_t> CSimKit::SerialReceived() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return {state->serialReceived.begin(), state->serialReceived.end()};
}

namespace {

std::vector<uint8_t> Tail(const std::deque<uint8_t>& bytes, size_t maxBytes) {
    const size_t count = std::min(maxBytes, bytes.size());
    return {bytes.end() - static_cast<std::ptrdiff_t>(count), bytes.end()};
}

}  // namespace

std::vector<uint8_t> CSimKit::UsbDataTail(size_t maxBytes) const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return Tail(state->usbDataReceived, maxBytes);
}

std::vector<uint8_t> CSimKit::SerialTail(size_t maxBytes) const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return Tail(state->serialReceived, maxBytes);
}

std::vector<sim::Taken> CSimKit::Commands() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return {state->commands.begin(), state->commands.end()};
}

int CSimKit::VersionRequests() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->board.versionRequests;
}

int CSimKit::CloseCommands() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->board.closeCommands;
}

int CSimKit::DroppedInputReports() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->droppedInputReports;
}

int CSimKit::DroppedSerialBytes() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->droppedSerialBytes;
}

int CSimKit::OpenHidHandles() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return static_cast<int>(state->openQueues.size());
}

platform::SerialLineState CSimKit::SerialLine() const {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->lineState;
}

void CSimKit::SetObserver(std::function<void()> observer) {
    state->SetObserver(std::move(observer));
}
