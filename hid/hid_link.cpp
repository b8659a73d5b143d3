// The board's USB side: discovery, connection, report framing and the reader thread.
#include "hid/hid_link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "channel/data_signal.h"
#include "hid/deadline_writer.h"

CHidLink* g_hidLink = nullptr;

namespace {

constexpr uint32_t MAX_CHUNK = 7;      // payload bytes per output report
constexpr uint32_t FRAMED_BYTES = 10;  // bytes 0 to 9 of an output report are always set
constexpr uint32_t LENGTH_AT = 1;      // index of the length byte in both report kinds
constexpr uint32_t PAYLOAD_AT = 2;     // index of the first payload byte
constexpr auto EMPTY_WRITE_PAUSE = std::chrono::milliseconds(10);
constexpr auto FULL_RING_PAUSE = std::chrono::milliseconds(1);
constexpr auto CLOSE_PAUSE = std::chrono::milliseconds(1000);
// How long the close sequence waits for an answer to the close command before it wakes the
// reader itself, so a silent board cannot hold the end of the program. Short enough that the
// whole close stays well inside 1.6 s on a busy machine.
constexpr auto READER_END_WAIT = std::chrono::milliseconds(300);
// Longest a write may take before it counts as failed. A healthy board takes a report within
// a few milliseconds; a stalled one holds the write about 5 s in the kernel. Short enough
// that a close command to a stalled board, the pause and the exit fit in 1.6 s.
constexpr auto WRITE_DEADLINE = std::chrono::milliseconds(300);
// The smallest reports the framing works with, id byte included.
constexpr uint16_t MIN_INPUT_BYTES = PAYLOAD_AT;
constexpr uint16_t MIN_OUTPUT_BYTES = PAYLOAD_AT + MAX_CHUNK;

}  // namespace

CHidLink::CHidLink(platform::IHidSystem& hid)
    : vendorId(KIT_VENDOR_ID), productId(KIT_PRODUCT_ID), hid(hid) {}

CHidLink::~CHidLink() {
    if (!closed) {
        Close();
    }
}

CHidLink::CloseOutcome CHidLink::Close() {
    if (closed) {
        return CloseOutcome::NOT_SENT;
    }
    alive.store(0);
    const uint8_t sent = SendBytes(sizeof CLOSE_COMMAND, CLOSE_COMMAND);
    CloseOutcome outcome = sent ? CloseOutcome::ANSWERED : CloseOutcome::NOT_SENT;
    std::this_thread::sleep_for(CLOSE_PAUSE);
    if (threadHandle.joinable()) {
        // A close command that did not get through has no answer to wait for.
        const auto answerWait = sent ? READER_END_WAIT : std::chrono::milliseconds(0);
        std::unique_lock<std::mutex> hold(readerMutex);
        const bool ended =
            readerEndedSignal.wait_for(hold, answerWait, [this] { return readerEnded; });
        hold.unlock();
        if (!ended && readHandle) {
            // The board neither answered nor left: end the pending read ourselves.
            readHandle->CancelRead();
            if (sent) {
                outcome = CloseOutcome::UNANSWERED;
            }
        }
        threadHandle.join();
    }
    readHandle.reset();
    deviceHandle.reset();
    isOpen.store(0);
    closed = true;  // a spent link opens nothing again
    return outcome;
}

void CHidLink::EndConnection() {
    isOpen.store(0);
    if (threadHandle.joinable()) {
        // The earlier reader may still wait for a report (after a failed write, say); wake
        // it so it cannot read alongside the new one.
        bool ended;
        {
            std::lock_guard<std::mutex> hold(readerMutex);
            ended = readerEnded;
        }
        if (!ended && readHandle) {
            readHandle->CancelRead();
        }
        threadHandle.join();
    }
    readHandle.reset();
    deviceHandle.reset();
}

uint8_t CHidLink::FindAndOpen() {
    EndConnection();
    if (closed) {
        return 0;
    }
    refusal = {};
    const std::vector<std::string> paths = hid.EnumerateInterfaces();
    for (const std::string& path : paths) {
        uint16_t vendor = 0;
        uint16_t product = 0;
        // Opening a keyboard, mouse or security key wakes it: what the system lists about an
        // interface decides first whether it is worth opening at all.
        const bool listed = hid.ListedIds(path, vendor, product);
        if (listed && (vendor != vendorId || product != productId)) {
            continue;
        }
        std::unique_ptr<platform::IHidDevice> device = hid.Open(path);
        if (!device) {
            if (listed) {
                Refuse(path, hid.LastOpenError());
            }
            continue;  // held by the system or gone: passed over
        }
        vendor = 0;
        product = 0;
        // Both ids must match; a failed query matches nothing.
        if (!device->GetAttributes(vendor, product) || vendor != vendorId || product != productId) {
            continue;  // leaving the scope closes it
        }
        deviceHandle = std::make_unique<CDeadlineWriter>(std::move(device), WRITE_DEADLINE);
        if (!ReadCaps()) {
            // Reads would fail at once and the pass would find the same node again: the
            // link would flap every tick instead of saying what is wrong.
            platform::HidOpenError unusable;
            unusable.text = "its report descriptor gives no usable report lengths (input " +
                            std::to_string(caps.inputReportByteLength) + ", output " +
                            std::to_string(caps.outputReportByteLength) + " bytes)";
            Refuse(path, unusable);
            deviceHandle.reset();
            continue;
        }
        readHandle = hid.Open(path);
        if (!readHandle) {
            Refuse(path, hid.LastOpenError());
            deviceHandle.reset();
            return 0;
        }
        refusal = {};
        openedPath = path;
        // Room for the whole report however long the device says it is; the framing of an
        // output report always sets bytes 0 to 9, and bytes past them stay 0.
        inReport.assign(std::max<size_t>(caps.inputReportByteLength, PAYLOAD_AT), 0);
        outReport.assign(std::max<size_t>(caps.outputReportByteLength, FRAMED_BYTES), 0);
        {
            std::lock_guard<std::mutex> hold(readerMutex);
            readerEnded = false;
        }
        isOpen.store(1);
        try {
            threadHandle = std::thread(&CHidLink::ReaderThread, this);
        } catch (const std::system_error&) {
            isOpen.store(0);
            {
                std::lock_guard<std::mutex> hold(readerMutex);
                readerEnded = true;
            }
            readHandle.reset();
            deviceHandle.reset();
            return 0;
        }
        return 1;
    }
    return 0;
}

void CHidLink::Refuse(const std::string& path, const platform::HidOpenError& error) {
    // The first refusal of a pass is the one the user hears about.
    if (refusal.path.empty()) {
        refusal = {path, error.text.empty() ? "it cannot be opened" : error.text, error.remedy};
    }
}

bool CHidLink::ReadCaps() {
    platform::HidCaps read;
    const bool known = deviceHandle && deviceHandle->GetCaps(read);
    caps = read;
    // An input report needs its length byte; an output report must carry a full chunk.
    return known && caps.inputReportByteLength >= MIN_INPUT_BYTES &&
           caps.outputReportByteLength >= MIN_OUTPUT_BYTES;
}

uint8_t CHidLink::EnsureOpen() {
    if (isOpen.load()) {
        return 1;
    }
    // FindAndOpen records a success itself; storing its 1 here again could undo a reader
    // that has already failed and cleared isOpen.
    return FindAndOpen();
}

void CHidLink::FrameReport(std::vector<uint8_t>& report, const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < FRAMED_BYTES; ++i) {
        report[i] = static_cast<uint8_t>(i);
    }
    report[0] = 0;  // report id
    report[LENGTH_AT] = static_cast<uint8_t>(count);
    if (count > 0) {
        std::memcpy(&report[PAYLOAD_AT], bytes, count);
    }
}

std::vector<uint8_t> CHidLink::CloseReport() const {
    std::vector<uint8_t> report(outReport.size(), 0);
    if (report.size() < FRAMED_BYTES) {
        return {};
    }
    FrameReport(report, CLOSE_COMMAND, sizeof CLOSE_COMMAND);
    report.resize(caps.outputReportByteLength);  // the bytes SendBytes writes
    return report;
}

uint8_t CHidLink::SendBytes(uint32_t count, const uint8_t* bytes) {
    if (!isOpen.load() && !FindAndOpen()) {
        return 0;
    }
    if (!deviceHandle) {
        isOpen.store(0);
        return 0;
    }
    uint32_t remaining = count;
    const uint8_t* next = bytes;
    do {
        const uint32_t chunk = std::min(remaining, MAX_CHUNK);
        remaining -= chunk;
        FrameReport(outReport, next, chunk);
        next += chunk;
        uint32_t written = 0;
        if (!deviceHandle->WriteReport(outReport.data(), caps.outputReportByteLength, written)) {
            // Reports already written stay sent; the rest is dropped. A board that stopped
            // reading its OUT endpoint is still there, and while the kernel holds the write
            // an open of the node would wait for it: keep the connection, whose writes fail
            // at once until the held one ends.
            if (deviceHandle->Held()) {
                return 0;
            }
            deviceHandle.reset();
            isOpen.store(0);
            return 0;
        }
        if (written == 0) {
            std::this_thread::sleep_for(EMPTY_WRITE_PAUSE);
        }
    } while (remaining > 0);
    return 1;
}

uint32_t CHidLink::ReaderThread(CHidLink* link) {
    if (!link) {
        return static_cast<uint32_t>(-1);
    }
    link->ReadLoop();
    {
        std::lock_guard<std::mutex> hold(link->readerMutex);
        link->readerEnded = true;
    }
    link->readerEndedSignal.notify_all();
    return 0;
}

void CHidLink::ReadLoop() {
    platform::IHidDevice* device = readHandle.get();
    const uint32_t length = caps.inputReportByteLength;
    do {
        uint32_t count = 0;
        if (!device->ReadReport(inReport.data(), length, count)) {
            // The board is gone, or the read was cancelled: this connection is over.
            bytesRead = 0;
            device->Close();
            isOpen.store(0);
            return;
        }
        bytesRead = std::min(count, length);
        if (!Deliver(bytesRead)) {
            return;
        }
    } while (isOpen.load() == 1 && alive.load() == 1);
}

bool CHidLink::Deliver(uint32_t received) {
    if (received <= LENGTH_AT) {
        return true;
    }
    // The length byte is signed: 0 and 0x80..0xFF carry no payload.
    const int8_t stated = static_cast<int8_t>(inReport[LENGTH_AT]);
    if (stated <= 0) {
        return true;
    }
    // A length beyond what arrived delivers what arrived.
    const uint32_t payload = std::min<uint32_t>(stated, received - PAYLOAD_AT);
    for (uint32_t i = 0; i < payload; ++i) {
        const uint8_t value = inReport[PAYLOAD_AT + i];
        if (usbRxRing.Put(value) != -1) {
            continue;
        }
        // Refused: the worker is inside the ring this instant, or the ring is full until
        // the worker has nearly emptied it. Make sure it knows, then retry with pauses.
        usbRxSignal.Notify();
        std::this_thread::yield();
        while (usbRxRing.Put(value) == -1) {
            if (alive.load() == 0) {
                return false;  // shutting down: nobody will make room any more
            }
            std::this_thread::sleep_for(FULL_RING_PAUSE);
        }
    }
    if (payload > 0) {
        usbRxSignal.Notify();
    }
    return true;
}

uint32_t DrainInput(uint8_t* out, uint32_t capacity) {
    uint32_t count = 0;
    uint8_t value = 0;
    while (count < capacity) {
        if (usbRxRing.Get(value) != 0) {
            out[count++] = value;
        } else if (usbRxRing.Count() == 0) {
            break;
        } else {
            // Bytes wait, but the reader is inside the ring this instant: it leaves at once.
            std::this_thread::yield();
        }
    }
    return count;
}
