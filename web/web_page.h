// The "Demo and Test" page of the browser edition, below its HTML: the same supervision as the
// window's page (find the Kit, ask its version, look for its line on the COM ports, notice
// when either goes) and the same channel workers, on a thread of its own. The page's script
// sends commands, which never block it; what the user should see comes back as events.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/channel_workers.h"
#include "channel/traffic_sink.h"
#include "platform/platform.h"

enum class WebChannel { USB = 0, RS232 = 1 };

// What the page shows. Called on the page's thread, except Traffic (a worker's).
class IWebPageEvents {
  public:
    virtual ~IWebPageEvents() = default;
    // Pane 0 the line's state, 1 its port and settings, 2 the firmware version; text in
    // UTF-8, tip the port's device.
    virtual void Status(int pane, const std::string& text, const std::string& tip) = 0;
    // The self-closing notice; the page answers NoticeClosed() once it has gone.
    virtual void Notice(const std::string& text) = 0;
    // Bytes wait in TakeTraffic(channel); said once until they have been taken. `takes`
    // counts the takes before them: a page that has taken more since was late to hear it.
    virtual void Traffic(WebChannel channel, uint32_t takes) = 0;
    // A Send put `count` bytes on the channel.
    virtual void Sent(WebChannel channel, uint32_t count) = 0;
};

class CWebPage {
  public:
    // Message boxes go to platform.messageBoxes, which must not block.
    CWebPage(const platform::Platform& platform, IWebPageEvents& events);
    // Stops the page, as Stop does.
    ~CWebPage();
    CWebPage(const CWebPage&) = delete;
    CWebPage& operator=(const CWebPage&) = delete;

    // Ends the page's thread and its workers, after the close sequence. Not on the thread
    // that must settle the browser's operations.
    void Stop();

    // Commands, from any thread; each is queued and returns at once.
    void Led(bool flashing);
    void Send(WebChannel channel, const uint8_t* bytes, uint32_t count);
    void NoticeClosed();
    // The user granted devices: look for the line again, quietly, if none is open.
    void DevicesGranted();
    // Runs `task` on the page's thread between commands (the simulated Kit's controls, which
    // may wait).
    void Post(std::function<void()> task);

    // The bytes received on a channel since the last call, every one, in order.
    std::vector<uint8_t> TakeTraffic(WebChannel channel);
    // How many times TakeTraffic(channel) has been called.
    uint32_t Takes(WebChannel channel);
    // The output report that carries the close command to the Kit last opened (empty before
    // one was), for a page that goes away and cannot wait for this thread. Any thread.
    std::vector<uint8_t> CloseReport();

  private:
    struct Command;
    class CTraffic;

    void Run();
    // Waits for and runs commands until `until` holds or the page stops; ticks the
    // supervisor only when `ticks` is set (not while a notice is open).
    void Pump(const std::function<bool()>& until, bool ticks);
    void Execute(Command& command);
    void Tick();
    void ShowNotice(const std::string& text);
    void ShowBox(const std::string& text, const std::string& caption);
    void ScanComPorts(bool quiet);
    void ShowComPort(const std::string& port);
    void CloseGonePort();
    void RequestFirmwareVersion();
    void PollVersion();
    void SendOnUsb(const std::vector<uint8_t>& bytes);
    void SendOnRs232(const std::vector<uint8_t>& bytes);
    void StartRs232Worker();
    void StopRs232Worker();

    using Clock = std::chrono::steady_clock;

    platform::Platform platform;
    platform::Platform serialPlatform;  // its boxes through rs232Boxes
    std::unique_ptr<CWorkerBoxFilter> rs232Boxes;
    IWebPageEvents& events;

    std::mutex mutex;  // guards commands and stopping
    std::condition_variable changed;
    std::deque<std::unique_ptr<Command>> commands;
    bool stopping = false;
    std::vector<uint8_t> closeReport;

    // The page thread's own state.
    int32_t kitSeen = 0;
    int32_t kitPresent = 0;
    int32_t firstTickDone = 0;
    int32_t comPortLost = 0;
    bool noticeOpen = false;
    std::string refusalShown;
    std::string comPortPath;
    Clock::time_point nextTick;
    Clock::time_point versionPollAt = Clock::time_point::max();

    std::unique_ptr<CTraffic> usbTraffic;
    std::unique_ptr<CTraffic> rs232Traffic;
    WorkerControl usbControl;
    WorkerControl rs232Control;
    std::unique_ptr<std::thread> usbThread;
    std::unique_ptr<std::thread> rs232Thread;
    std::thread thread;  // last: starts once everything above is there
};
