// The browser page's supervisor and commands. It follows the window's page step for step:
// the same ticks, notices, version request, COM scan and close sequence; only its timers are
// a loop on its own thread instead of an event loop.
#include "web/web_page.h"

#include <algorithm>

#include "bench/kit_search.h"
#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "channel/data_signal.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"

namespace {

constexpr auto SUPERVISOR_FIRST = std::chrono::milliseconds(500);
constexpr auto SUPERVISOR_PERIOD = std::chrono::milliseconds(1000);
constexpr auto VERSION_POLL = std::chrono::milliseconds(30);
constexpr uint32_t SEND_LIMIT = 64;  // a send buffer holds 64 bytes
// A browser's write goes through its main thread, which may be busy drawing, and then through
// the browser's own processes: in the rig's emulated guest a healthy Kit's report took up to
// half a second. The desktop's deadline would drop the rest of a Send there. Nothing waits on
// this thread when the page goes, so only a stalled board's first write waits this long.
constexpr auto BROWSER_WRITE_DEADLINE = std::chrono::milliseconds(2000);
const char* const LINE_SETTINGS = " : 19200,8,N,1,fN";

// The version reply is single-byte ANSI (Windows-1252) text; the page gets UTF-8.
std::string Utf8FromAnsi(const std::string& bytes) {
    static const char16_t HIGH[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string text;
    for (const unsigned char byte : bytes) {
        const char32_t code = byte >= 0x80 && byte < 0xA0 ? HIGH[byte - 0x80] : byte;
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

}  // namespace

struct CWebPage::Command {
    enum Kind { LED, SEND, NOTICE_CLOSED, GRANTED, TASK } kind;
    bool flag = false;
    WebChannel channel = WebChannel::USB;
    std::vector<uint8_t> bytes;
    std::function<void()> task;
};

// A channel's received bytes until the page takes them. The first byte after a take tells
// the page once, so a busy channel costs one event per page's turn, not one per batch.
class CWebPage::CTraffic : public ITrafficSink {
  public:
    CTraffic(IWebPageEvents& events, WebChannel channel) : events(events), channel(channel) {}

    void Received(const uint8_t* bytes, uint32_t count) override {
        bool first;
        uint32_t taken;
        {
            std::lock_guard<std::mutex> hold(mutex);
            first = waiting.empty() && !told;
            waiting.insert(waiting.end(), bytes, bytes + count);
            told = told || first;
            taken = takes;
        }
        if (first) {
            events.Traffic(channel, taken);
        }
    }

    std::vector<uint8_t> Take() {
        std::lock_guard<std::mutex> hold(mutex);
        told = false;
        ++takes;
        return std::exchange(waiting, {});
    }

    uint32_t Takes() {
        std::lock_guard<std::mutex> hold(mutex);
        return takes;
    }

  private:
    IWebPageEvents& events;
    const WebChannel channel;
    std::mutex mutex;
    std::vector<uint8_t> waiting;
    bool told = false;  // an event is on its way and the page has not taken since
    uint32_t takes = 0;
};

CWebPage::CWebPage(const platform::Platform& services, IWebPageEvents& events)
    : platform(services), events(events) {
    rs232Boxes = std::make_unique<CWorkerBoxFilter>(platform.messageBoxes);
    serialPlatform = platform;
    serialPlatform.messageBoxes = rs232Boxes.get();
    usbTraffic = std::make_unique<CTraffic>(events, WebChannel::USB);
    rs232Traffic = std::make_unique<CTraffic>(events, WebChannel::RS232);
    thread = std::thread([this] { Run(); });
}

CWebPage::~CWebPage() {
    Stop();
}

void CWebPage::Stop() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void CWebPage::Led(bool flashing) {
    auto command = std::make_unique<Command>();
    command->kind = Command::LED;
    command->flag = flashing;
    std::lock_guard<std::mutex> hold(mutex);
    commands.push_back(std::move(command));
    changed.notify_all();
}

void CWebPage::Send(WebChannel channel, const uint8_t* bytes, uint32_t count) {
    auto command = std::make_unique<Command>();
    command->kind = Command::SEND;
    command->channel = channel;
    command->bytes.assign(bytes, bytes + std::min(count, SEND_LIMIT));
    std::lock_guard<std::mutex> hold(mutex);
    commands.push_back(std::move(command));
    changed.notify_all();
}

void CWebPage::NoticeClosed() {
    auto command = std::make_unique<Command>();
    command->kind = Command::NOTICE_CLOSED;
    std::lock_guard<std::mutex> hold(mutex);
    commands.push_back(std::move(command));
    changed.notify_all();
}

void CWebPage::DevicesGranted() {
    auto command = std::make_unique<Command>();
    command->kind = Command::GRANTED;
    std::lock_guard<std::mutex> hold(mutex);
    commands.push_back(std::move(command));
    changed.notify_all();
}

void CWebPage::Post(std::function<void()> task) {
    auto command = std::make_unique<Command>();
    command->kind = Command::TASK;
    command->task = std::move(task);
    std::lock_guard<std::mutex> hold(mutex);
    commands.push_back(std::move(command));
    changed.notify_all();
}

std::vector<uint8_t> CWebPage::TakeTraffic(WebChannel channel) {
    return (channel == WebChannel::USB ? usbTraffic : rs232Traffic)->Take();
}

uint32_t CWebPage::Takes(WebChannel channel) {
    return (channel == WebChannel::USB ? usbTraffic : rs232Traffic)->Takes();
}

std::vector<uint8_t> CWebPage::CloseReport() {
    std::lock_guard<std::mutex> hold(mutex);
    return closeReport;
}

void CWebPage::Run() {
    if (platform.hid != nullptr) {
        g_hidLink = new CHidLink(*platform.hid, BROWSER_WRITE_DEADLINE);
    }
    usbControl.stopRequested.store(0);
    usbControl.running.store(1);
    usbControl.sink.store(usbTraffic.get());
    usbControl.dataSignal = &usbRxSignal;
    usbThread = std::make_unique<std::thread>(UsbWorker, std::ref(usbControl));

    nextTick = Clock::now() + SUPERVISOR_FIRST;
    Pump([] { return false; }, true);

    StopRs232Worker();
    delete g_serialLink;
    g_serialLink = nullptr;
    if (g_hidLink != nullptr) {
        // The close command, answered or not, before the reader goes.
        g_hidLink->Close();
    }
    usbControl.RequestStop();
    usbThread->join();
    delete g_hidLink;
    g_hidLink = nullptr;
}

void CWebPage::Pump(const std::function<bool()>& until, bool ticks) {
    std::unique_lock<std::mutex> hold(mutex);
    while (!stopping && !until()) {
        const Clock::time_point wake =
            std::min(ticks ? nextTick : Clock::time_point::max(), versionPollAt);
        changed.wait_until(hold, wake, [this] { return stopping || !commands.empty(); });
        if (stopping) {
            break;
        }
        if (!commands.empty()) {
            std::unique_ptr<Command> command = std::move(commands.front());
            commands.pop_front();
            hold.unlock();
            Execute(*command);
            hold.lock();
            continue;
        }
        hold.unlock();
        if (Clock::now() >= versionPollAt) {
            PollVersion();
        }
        if (ticks && Clock::now() >= nextTick) {
            Tick();
        }
        hold.lock();
    }
}

void CWebPage::Execute(Command& command) {
    switch (command.kind) {
        case Command::LED:
            if (g_hidLink != nullptr) {
                g_hidLink->SendBytes(3, command.flag ? LED_FLASHING_COMMAND : LED_STOP_COMMAND);
            }
            break;
        case Command::SEND:
            if (command.channel == WebChannel::USB) {
                SendOnUsb(command.bytes);
            } else {
                SendOnRs232(command.bytes);
            }
            break;
        case Command::NOTICE_CLOSED:
            noticeOpen = false;
            break;
        case Command::GRANTED:
            if (g_serialLink == nullptr) {
                comPortLost = 1;  // the next tick looks again
            }
            break;
        case Command::TASK:
            command.task();
            break;
    }
}

void CWebPage::Tick() {
    const bool found = g_hidLink != nullptr && g_hidLink->EnsureOpen() != 0;
    // The Kit is there but cannot be used: that gets its own message.
    const std::string refused = found || g_hidLink == nullptr ? "" : g_hidLink->LastRefusal().path;
    if (found) {
        kitSeen = 1;
        if (kitPresent == 0) {
            RequestFirmwareVersion();
            std::lock_guard<std::mutex> hold(mutex);
            closeReport = g_hidLink->CloseReport();
        }
        kitPresent = 1;
    } else if (kitSeen != 0 && kitPresent != 0) {
        ShowNotice("The KIT is unpluged or reset!");
        events.Status(2, "Firmware Version: N/A", "");
        kitPresent = 0;
    } else if (kitSeen == 0 && firstTickDone == 0) {
        if (refused.empty()) {
            ShowNotice("The KIT is not detected !");
        }
        events.Status(2, "Firmware Version: N/A", "");
    }
    if (refused != refusalShown) {
        refusalShown = refused;  // once per episode
        if (!refused.empty()) {
            ShowBox(RefusalText(g_hidLink->LastRefusal()), "Error");
        }
    }

    if (firstTickDone == 0) {
        ScanComPorts(false);
    } else if (rs232Control.portGone.load() != 0) {
        CloseGonePort();
    } else if (comPortLost != 0) {
        ScanComPorts(true);  // the loss was this episode's one box
    }
    firstTickDone = 1;
    nextTick = Clock::now() + SUPERVISOR_PERIOD;
}

void CWebPage::ShowNotice(const std::string& text) {
    // As the window's notice: the supervisor waits for it, the page's commands do not.
    noticeOpen = true;
    events.Notice(text);
    Pump([this] { return !noticeOpen; }, false);
}

void CWebPage::ShowBox(const std::string& text, const std::string& caption) {
    if (platform.messageBoxes != nullptr) {
        platform.messageBoxes->Show(text, caption);
    }
}

void CWebPage::ScanComPorts(bool quiet) {
    // The browser's ports are those granted so far: the list grows as the user grants more.
    ComScanResult scan =
        ::ScanComPorts(platform.serialPorts != nullptr ? platform.serialPorts->ListedPorts()
                                                       : std::vector<std::string>(),
                       serialPlatform);
    if (!quiet) {
        for (const auto& [text, caption] : scan.boxes) {
            rs232Boxes->Show(text, caption);
        }
    }
    if (scan.link != nullptr) {
        g_serialLink = scan.link.release();
        rs232Control.link.store(g_serialLink);
        StartRs232Worker();
        comPortLost = 0;
        ShowComPort(scan.port);
    } else if (!quiet) {
        ShowBox("No free COM port is available !", "Warning");
        ShowComPort("");
    }
}

void CWebPage::ShowComPort(const std::string& port) {
    if (!port.empty()) {
        comPortPath = platform.serialPorts->DevicePath(port);
        events.Status(0, "Connected", "");
        events.Status(1, port + LINE_SETTINGS, comPortPath);
    } else {
        events.Status(0, "Disconnected", "");
        events.Status(1, "COM port is not available !", "");
    }
}

void CWebPage::CloseGonePort() {
    if (rs232Control.portGone.load() == 0 || g_serialLink == nullptr) {
        return;
    }
    StopRs232Worker();
    rs232Control.link.store(nullptr);
    rs232Control.portGone.store(0);
    const std::string port = g_serialLink->Settings().portName;
    delete g_serialLink;
    g_serialLink = nullptr;
    comPortLost = 1;
    ShowComPort("");
    ShowBox(PortLostText(port, comPortPath), "Error");
}

void CWebPage::RequestFirmwareVersion() {
    // The reply is the first bytes that arrive after the request.
    receiveRing.Reset();
    if (g_hidLink != nullptr) {
        g_hidLink->SendBytes(sizeof VERSION_REQUEST, VERSION_REQUEST);
    }
    versionPollAt = Clock::now() + VERSION_POLL;
}

void CWebPage::PollVersion() {
    if (receiveRing.Count() < VERSION_LENGTH) {
        versionPollAt = Clock::now() + VERSION_POLL;
        return;
    }
    versionPollAt = Clock::time_point::max();
    std::string reply;
    while (reply.size() < static_cast<size_t>(VERSION_LENGTH)) {
        uint8_t byte = 0;
        // Count said the bytes are there; a refusal only means a worker is in the ring.
        if (receiveRing.Get(byte) != 0) {
            reply += static_cast<char>(byte);
        } else {
            std::this_thread::yield();
        }
    }
    // Read as zero-terminated text, as the window does.
    reply.resize(std::min(reply.find('\0'), reply.size()));
    events.Status(2, "Firmware Version: " + Utf8FromAnsi(reply), "");
}

void CWebPage::SendOnUsb(const std::vector<uint8_t>& bytes) {
    if (g_hidLink != nullptr && g_hidLink->EnsureOpen() != 0) {
        if (g_hidLink->SendBytes(static_cast<uint32_t>(bytes.size()), bytes.data()) != 0) {
            events.Sent(WebChannel::USB, static_cast<uint32_t>(bytes.size()));
        }
    } else {
        ShowBox("Please plug your board in !", "Warning");
    }
}

void CWebPage::SendOnRs232(const std::vector<uint8_t>& bytes) {
    if (g_serialLink == nullptr) {
        return;  // no COM port was opened
    }
    if (g_serialLink->WriteBlock(static_cast<uint32_t>(bytes.size()), bytes.data()) != 0) {
        events.Sent(WebChannel::RS232, static_cast<uint32_t>(bytes.size()));
    }
    CloseGonePort();  // the worker may have met the port gone meanwhile
}

void CWebPage::StartRs232Worker() {
    rs232Control.stopRequested.store(0);
    rs232Control.running.store(1);
    rs232Control.sink.store(rs232Traffic.get());
    rs232Control.onPortGone = [this] { Post([this] { CloseGonePort(); }); };
    rs232Thread = std::make_unique<std::thread>(Rs232Worker, std::ref(rs232Control));
}

void CWebPage::StopRs232Worker() {
    if (rs232Thread == nullptr) {
        return;
    }
    rs232Control.RequestStop();
    rs232Thread->join();
    rs232Thread.reset();
    rs232Control.running.store(0);
}
