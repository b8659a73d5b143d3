// Shared pieces of the end-to-end drivers: a known byte stream, a probe that checks what a
// traffic view's document receives against it, paced senders, a pty pair as COM1, the page
// on the simulated Kit, and readings of time, CPU and memory.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "benchmarks/line_paced_ports.h"
#include "platform/linux/linux_serial_ports.h"
#include "platform/message_box.h"
#include "platform/platform.h"
#include "sim/sim_kit.h"

class CMainDialog;
class TrafficView;

namespace perf {

using Clock = std::chrono::steady_clock;

// The line rates the figures are compared with, in payload bytes per second.
inline constexpr double USB_LINE_RATE = 7000.0;
inline constexpr double RS232_LINE_RATE = 1920.0;

// Byte `index` of the test stream: printable and never repeating in a short run; with line
// ends every 61st byte is LF. Never 0 or CR, so each byte is one character in the view.
uint8_t StreamByte(uint64_t index, bool lineEnds);
void FillStream(uint64_t from, size_t count, bool lineEnds, std::vector<uint8_t>& out);

// When each chunk of the stream left the board model: (offset after its last byte, time).
class CSendLog {
  public:
    void Add(uint64_t end, Clock::time_point sent);
    // Removes the entries up to `reached` and hands back their send times.
    void TakeUpTo(uint64_t reached, std::vector<Clock::time_point>& sent);
    Clock::time_point FirstSend() const;
    Clock::time_point LastSend() const;

  private:
    mutable std::mutex mutex;
    std::deque<std::pair<uint64_t, Clock::time_point>> entries;
    Clock::time_point first{};
    Clock::time_point last{};
    bool any = false;
};

// Watches one traffic view's store and checks every byte it takes against the
// stream. A batch that starts past the expected offset and is at least the scroll-back long
// is text the view passed over by design (older than its scroll-back when its frame came);
// any other gap or wrong character is lost.
class CStreamProbe : public QObject {
  public:
    // With `arrivals` (stream offsets and the times the page took them in), the latency
    // within the page is measured too.
    CStreamProbe(TrafficView& view, bool lineEnds, CSendLog* log, CSendLog* arrivals = nullptr);

    uint64_t Reached() const { return next; }  // stream offset shown up to
    uint64_t Shown() const { return shown; }
    uint64_t PassedOver() const { return passedOver; }
    uint64_t Lost() const { return lost; }
    Clock::time_point LastInsert() const { return lastInsert; }
    std::vector<double>& LatenciesMs() { return latenciesMs; }
    std::vector<double>& WithinPageMs() { return withinPageMs; }

  private:
    void Check();
    // Offset at or after `from` where the bytes at `at` match the stream, or UINT64_MAX.
    uint64_t Resync(const QByteArray& bytes, int at, uint64_t from) const;

    TrafficView& view;
    const bool lineEnds;
    CSendLog* log;
    CSendLog* arrivals;
    qint64 checkedTo = 0;  // store position up to which bytes were checked
    uint64_t next = 0;
    uint64_t shown = 0;
    uint64_t passedOver = 0;
    uint64_t lost = 0;
    Clock::time_point lastInsert{};
    std::vector<double> latenciesMs;
    std::vector<double> withinPageMs;
    std::vector<Clock::time_point> taken;
};

// Sends `total` stream bytes through `send` on its own thread: at `rate` bytes/s on a 1 ms
// tick, or, with rate 0, in chunks of `chunk` as fast as `send` returns.
class CFeeder {
  public:
    using Send = std::function<bool(const uint8_t* bytes, size_t count)>;
    CFeeder(Send send, uint64_t total, double rate, size_t chunk, bool lineEnds, CSendLog* log);
    ~CFeeder();  // stops and joins
    void Stop();
    bool Done() const { return done.load(); }
    uint64_t Sent() const { return sent.load(); }
    // CPU seconds the sending thread used, once Done.
    double ThreadCpu() const { return threadCpu.load(); }

  private:
    void Run();

    Send send;
    const uint64_t total;
    const double rate;
    const size_t chunk;
    const bool lineEnds;
    CSendLog* log;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> sent{0};
    std::atomic<double> threadCpu{0};
    std::thread thread;
};

// A pseudo-terminal pair: the slave stands in for COM1, the master is the board's end.
class CPty {
  public:
    CPty();
    ~CPty();
    const std::string& SlavePath() const { return slavePath; }
    // Writes everything, waiting while the pty is full; false once the write fails or the
    // reader has taken nothing for 10 s.
    bool Write(const uint8_t* bytes, size_t count);
    // Bytes written and not yet read by the program on the slave side.
    int Waiting() const;
    // Reads what the program has written to the line so far, so the pty never fills; returns
    // how many bytes that was.
    size_t TakeWritten();

  private:
    int master = -1;
    int slave = -1;  // held open so the line stays up between the link's opens
    std::string slavePath;
};

// Counts the boxes the program would have shown, and returns at once.
class CCountingSink : public platform::IMessageBoxSink {
  public:
    void Show(const std::string& text, const std::string& caption) override;
    int Count() const { return count.load(); }

  private:
    std::atomic<int> count{0};
};

// The main window with the "Demo and Test" tab selected, on the simulated Kit's USB side and
// a pty as COM1 whose output queue drains at the set baud rate, shown on the offscreen
// platform as the user would see it.
class CPageUnderTest {
  public:
    CPageUnderTest();
    ~CPageUnderTest();  // closes the window: the page's close sequence runs
    // False when the page did not connect both channels within a few seconds.
    bool Start();
    void Close();

    CSimKit& Kit() { return kit; }
    CPty& Pty() { return pty; }
    TrafficView& UsbView();
    TrafficView& Rs232View();
    int Boxes() const { return sink.Count(); }

  private:
    CSimKit kit;
    CPty pty;
    platform::CLinuxSerialPorts ports;
    CLinePacedPorts pacedPorts{ports};  // the page's view of them: a drain that takes line time
    CCountingSink sink;
    platform::Platform platform;
    CMainDialog* dialog = nullptr;
};

// Runs the GUI thread's event loop until cond holds or timeoutMs passed; true when it holds.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs, int sliceMs = 2);
// Sets the offscreen platform unless the caller chose one.
void UseOffscreenByDefault();
// A fresh directory holding the shipped Readme.rtf, where the program expects it.
std::string MakeRunDirectory();

double ProcessCpuSeconds();
// CPU seconds (user + system) of another process, from /proc/<pid>/stat; -1 when gone.
double ProcCpuSeconds(int pid);
double ThreadCpuSeconds();
// Resident set size now and its peak, in kB (/proc/self/status).
long RssKb();
long PeakRssKb();
double Percentile(std::vector<double> values, double fraction);
double SecondsSince(Clock::time_point start);

// One figure line: name, value, unit, the line limit or goal it is compared with, verdict.
void PrintFigure(const std::string& name, double value, const std::string& unit,
                 const std::string& comparedWith, bool pass);

}  // namespace perf
