// What the core and the page's JavaScript pump share. The pump runs on the browser's main
// thread, which owns the HIDDevice and SerialPort objects and must never block; the core's
// threads may block. So bytes cross through queues in the core's shared memory, each a ring
// one side fills and the other empties, and an operation the browser completes later (open,
// write, close) is a small block the core allocates and the pump settles.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::web {

// A ring of bytes the pump fills and one core thread empties. The pump reads and writes
// these fields with Atomics at the offsets below, so their layout is fixed.
struct PumpQueue {
    std::atomic<uint32_t> head{0};   // bytes the pump has put in, ever (wraps)
    std::atomic<uint32_t> tail{0};   // bytes the core has taken, ever (wraps)
    std::atomic<int32_t> signal{0};  // bumped by either side on a change; waited on
    std::atomic<int32_t> state{0};   // QUEUE_OPEN, QUEUE_GONE or QUEUE_CANCELLED
    uint32_t capacity = 0;           // a power of two
    uint8_t* data = nullptr;
};
inline constexpr int32_t QUEUE_OPEN = 0;
inline constexpr int32_t QUEUE_GONE = 1;       // the device left, or its stream failed
inline constexpr int32_t QUEUE_CANCELLED = 2;  // the core stopped reading

// An operation the browser completes later. Whoever comes second of the pump's settling and
// the core's giving up frees it, so neither side ever touches freed memory.
struct PumpOp {
    std::atomic<int32_t> state{0};  // OP_PENDING, OP_DONE or OP_ABANDONED
    int32_t result = 0;             // 0 on success, else an OP_ error
    char text[200] = {};            // the browser's message for a failure, UTF-8
    // The bytes of a write follow.
};
inline constexpr int32_t OP_PENDING = 0;
inline constexpr int32_t OP_DONE = 1;
inline constexpr int32_t OP_ABANDONED = 2;
inline constexpr int32_t OP_FAILED = 1;   // the browser refused (busy, no access, gone)
inline constexpr int32_t OP_MISSING = 2;  // no such device or port
inline constexpr size_t OP_BYTES_OFFSET = sizeof(PumpOp);

// Allocates an op with room for `bytes` bytes after it.
PumpOp* NewOp(size_t bytes = 0);
inline uint8_t* OpBytes(PumpOp* op) {
    return reinterpret_cast<uint8_t*>(op) + OP_BYTES_OFFSET;
}
// Waits until the pump settles op, at most timeoutMs (negative: no limit), also ending when
// `stop` turns nonzero. Returns the op's result, or -1 when it gave up (op then belongs to the
// pump). Either way op must not be used again.
int32_t FinishOp(PumpOp* op, int32_t timeoutMs, const std::atomic<int32_t>* stop = nullptr,
                 std::string* failure = nullptr);

// Waits until `word` differs from `seen`, at most timeoutMs; on the platform, not spinning.
void WaitChange(std::atomic<int32_t>& word, int32_t seen, double timeoutMs);
// Bumps `word` and wakes its waiters.
void Signal(std::atomic<int32_t>& word);

}  // namespace platform::web

// The pump's side, in web_pump.js: each runs on the browser's main thread; the list calls
// return at once with what the pump knows, the others settle their op later.
extern "C" {
// One line per device: "id vendorId productId inputLength outputLength" (lengths with the
// report id byte). Returns the bytes the list needs; writes it when it fits.
int palvex_pump_hid_list(char* buffer, int capacity);
void palvex_pump_hid_open(int device, platform::web::PumpQueue* queue, platform::web::PumpOp* op);
void palvex_pump_hid_write(int device, platform::web::PumpOp* op, int length);
void palvex_pump_hid_close(int device, platform::web::PumpQueue* queue, platform::web::PumpOp* op);
// One line per port: "id usbVendorId usbProductId" (0 where the browser does not say).
int palvex_pump_serial_list(char* buffer, int capacity);
void palvex_pump_serial_open(int port, platform::web::PumpQueue* queue, platform::web::PumpOp* op,
                             int baudRate, int dataBits, int parity, int stopBits);
void palvex_pump_serial_write(int port, platform::web::PumpOp* op, int length);
void palvex_pump_serial_close(int port, platform::web::PumpOp* op);
}
