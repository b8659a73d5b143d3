// The board's USB side: finds the Kit among the HID interfaces, holds a write handle and a
// read handle on it, and runs one reader thread per connection that feeds usbRxRing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/deadline_writer.h"
#include "platform/hid_device.h"

class CHidLink {
  public:
    // The Kit's interface that the last pass found but could not use.
    struct Refusal {
        std::string path;  // empty when the last pass met no such interface
        std::string reason;
        std::string remedy;  // what the user can do, where known
    };

    // How the close sequence ended: the board answered the close command or left the bus,
    // it did neither within the wait, or the command could not be sent.
    enum class CloseOutcome { ANSWERED, UNANSWERED, NOT_SENT };

    // Touches no device.
    explicit CHidLink(platform::IHidSystem& hid);
    // Runs the close sequence unless Close already has.
    virtual ~CHidLink();
    CHidLink(const CHidLink&) = delete;
    CHidLink& operator=(const CHidLink&) = delete;

    // The close sequence: alive 0, close command, 1000 ms pause, bounded wait for the
    // reader, close handles. The link is spent afterwards.
    CloseOutcome Close();
    // 1 when the Kit was found and opened in this pass. First ends what an earlier
    // connection left (its reader included). On success it records the connection in
    // isOpen just before the reader starts, so the reader never sees a stale 0. Interfaces
    // whose listed ids are another device's are never opened. A Kit's interface that cannot
    // be opened, or whose report lengths do not fit the framing, is passed over and kept in
    // LastRefusal.
    uint8_t FindAndOpen();
    // Fills caps from the write handle; false when the device gives no lengths or lengths
    // too small for the report framing.
    bool ReadCaps();
    // 1 at once while open (no platform call); otherwise a fresh pass.
    uint8_t EnsureOpen();
    // Sends count bytes as output reports of at most 7 payload bytes, connecting first
    // when closed. 1 when every report was written.
    uint8_t SendBytes(uint32_t count, const uint8_t* bytes);

    // The one output report the close command takes, as SendBytes writes it to the Kit that
    // is open (empty before one was): for a caller that can only hand it over as it goes
    // away, such as a page being closed. GUI thread only.
    std::vector<uint8_t> CloseReport() const;

    bool IsOpen() const { return isOpen.load(); }
    // The interface the last successful pass opened, and its report lengths. GUI thread only.
    const std::string& OpenedPath() const { return openedPath; }
    const platform::HidCaps& Caps() const { return caps; }
    // GUI thread only.
    const Refusal& LastRefusal() const { return refusal; }

  private:
    // Fills the framed bytes of `report` (a full output report) with `count` (at most 7)
    // payload bytes: report id 0, the length, the payload, the rest of the frame as filler.
    static void FrameReport(std::vector<uint8_t>& report, const uint8_t* bytes, uint32_t count);
    // Thread function of the reader: -1 without a link, else 0 when its loop ends.
    static uint32_t ReaderThread(CHidLink* link);
    void ReadLoop();
    // Puts one report's payload into usbRxRing; false when it gave up because alive is 0.
    bool Deliver(uint32_t received);
    // Keeps the first refusal of a pass for LastRefusal.
    void Refuse(const std::string& path, const platform::HidOpenError& error);
    // Wakes and joins the reader of an earlier connection and closes its handles.
    void EndConnection();

    const int32_t vendorId;
    const int32_t productId;
    platform::IHidSystem& hid;
    // 0 once destruction has begun; the reader ends after its current read.
    std::atomic<uint8_t> alive{1};
    bool closed = false;  // the close sequence has run
    // Written by the reader only (one reader at a time).
    uint32_t bytesRead = 0;
    // Filled by ReadCaps on the GUI thread before the reader starts.
    platform::HidCaps caps;
    std::atomic<uint8_t> isOpen{0};
    // Filled by FindAndOpen on the GUI thread.
    Refusal refusal;
    std::string openedPath;
    // Write handle; the GUI thread alone touches it.
    std::unique_ptr<CDeadlineWriter> deviceHandle;
    // Report buffers, sized from caps: inReport is the reader's, outReport the GUI thread's.
    std::vector<uint8_t> inReport;
    std::vector<uint8_t> outReport;
    // Read handle. The reader may Close it (thread-safe); only the GUI thread replaces or
    // destroys it, and only once the reader has been joined.
    std::unique_ptr<platform::IHidDevice> readHandle;
    std::thread threadHandle;
    // Lets the close sequence wait for the reader's end with a time limit.
    std::mutex readerMutex;
    std::condition_variable readerEndedSignal;
    bool readerEnded = true;
};

// Moves at most capacity waiting bytes from usbRxRing into out, oldest first; it ends early
// only when the ring is empty, not when the reader holds it for a moment.
uint32_t DrainInput(uint8_t* out, uint32_t capacity);

// The program's one HID link while the "Demo and Test" page exists; null otherwise.
extern CHidLink* g_hidLink;
