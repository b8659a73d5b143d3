// Shared pieces of the end-to-end drivers: stream, probe, senders, pty, page, readings.
#include "benchmarks/perf_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "app/main_dialog.h"
#include "app/status_bar.h"
#include "bench/test_page.h"
#include "bench/traffic_view.h"

namespace perf {

namespace {

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

constexpr int LINE_LENGTH = 61;
constexpr int RESYNC_MATCH = 24;
constexpr int WRITE_STALL_MS = 10000;  // a reader that takes nothing for this long has gone  //
                                       // characters that must match to place a batch in the stream

long StatusKb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, keyLength, key) == 0) {
            return std::atol(line.c_str() + keyLength);
        }
    }
    return -1;
}

}  // namespace

uint8_t StreamByte(uint64_t index, bool lineEnds) {
    if (lineEnds && index % LINE_LENGTH == LINE_LENGTH - 1) {
        return '\n';
    }
    return static_cast<uint8_t>(0x21 + Mix(index) % 94);
}

void FillStream(uint64_t from, size_t count, bool lineEnds, std::vector<uint8_t>& out) {
    out.resize(count);
    for (size_t i = 0; i < count; ++i) {
        out[i] = StreamByte(from + i, lineEnds);
    }
}

void CSendLog::Add(uint64_t end, Clock::time_point sent) {
    std::lock_guard<std::mutex> hold(mutex);
    if (!any) {
        first = sent;
        any = true;
    }
    last = sent;
    entries.emplace_back(end, sent);
}

void CSendLog::TakeUpTo(uint64_t reached, std::vector<Clock::time_point>& sent) {
    sent.clear();
    std::lock_guard<std::mutex> hold(mutex);
    while (!entries.empty() && entries.front().first <= reached) {
        sent.push_back(entries.front().second);
        entries.pop_front();
    }
}

Clock::time_point CSendLog::FirstSend() const {
    std::lock_guard<std::mutex> hold(mutex);
    return first;
}

Clock::time_point CSendLog::LastSend() const {
    std::lock_guard<std::mutex> hold(mutex);
    return last;
}

CStreamProbe::CStreamProbe(TrafficView& trafficView, bool withLineEnds, CSendLog* sendLog,
                           CSendLog* arrivalLog)
    : view(trafficView), lineEnds(withLineEnds), log(sendLog), arrivals(arrivalLog) {
    // Bytes already shown belong to an earlier run.
    view.Flush();
    checkedTo = view.StoreEnd();
    connect(&view, &TrafficView::Updated, this, &CStreamProbe::Check);
}

uint64_t CStreamProbe::Resync(const QByteArray& bytes, int at, uint64_t from) const {
    const int length = std::min<int>(RESYNC_MATCH, bytes.size() - at);
    // Far enough for any gap a run can make; the stream does not repeat within it.
    const uint64_t limit = from + (4ull << 20);
    for (uint64_t offset = from; offset < limit; ++offset) {
        int i = 0;
        while (i < length &&
               static_cast<uint8_t>(bytes[at + i]) == StreamByte(offset + i, lineEnds)) {
            ++i;
        }
        if (i == length) {
            return offset;
        }
    }
    return UINT64_MAX;
}

void CStreamProbe::Check() {
    // The view only appends to its store and drops from its front; each update's new bytes
    // are checked as they come, before the next can drop them.
    qint64 start = 0;
    const QByteArray text = view.StoreBytesFrom(checkedTo, &start);
    checkedTo = view.StoreEnd();
    if (text.isEmpty()) {
        return;
    }
    bool continues = true;
    for (int i = 0; i < std::min<int>(RESYNC_MATCH, text.size()) && continues; ++i) {
        continues = static_cast<uint8_t>(text[i]) == StreamByte(next + i, lineEnds);
    }
    for (int i = 0; i < text.size();) {
        if ((i > 0 || continues) && static_cast<uint8_t>(text[i]) == StreamByte(next, lineEnds)) {
            ++next;
            ++shown;
            ++i;
            continue;
        }
        const uint64_t found = Resync(text, i, i == 0 ? next : next + 1);
        if (found == UINT64_MAX) {
            // Nothing like the stream: count the rest as wrong and stop looking.
            lost += static_cast<uint64_t>(text.size() - i);
            break;
        }
        if (i == 0 && text.size() >= TrafficView::SCROLL_BACK) {
            passedOver += found - next;
        } else {
            lost += found - next;
        }
        next = found;
        continues = true;
    }
    lastInsert = Clock::now();
    const auto measure = [&](CSendLog* from, std::vector<double>& into) {
        if (from == nullptr) {
            return;
        }
        from->TakeUpTo(next, taken);
        for (const Clock::time_point at : taken) {
            into.push_back(std::chrono::duration<double, std::milli>(lastInsert - at).count());
        }
    };
    measure(log, latenciesMs);
    measure(arrivals, withinPageMs);
}

CFeeder::CFeeder(Send sender, uint64_t totalBytes, double bytesPerSecond, size_t chunkBytes,
                 bool withLineEnds, CSendLog* sendLog)
    : send(std::move(sender)),
      total(totalBytes),
      rate(bytesPerSecond),
      chunk(chunkBytes),
      lineEnds(withLineEnds),
      log(sendLog),
      thread(&CFeeder::Run, this) {}

CFeeder::~CFeeder() {
    Stop();
    if (thread.joinable()) {
        thread.join();
    }
}

void CFeeder::Stop() {
    stop.store(true);
}

void CFeeder::Run() {
    std::vector<uint8_t> bytes;
    uint64_t offset = 0;
    const Clock::time_point start = Clock::now();
    uint64_t tick = 0;
    while (offset < total && !stop.load()) {
        size_t count = chunk;
        if (rate > 0) {
            ++tick;
            std::this_thread::sleep_until(start + std::chrono::milliseconds(tick));
            const auto due = static_cast<uint64_t>(rate * tick / 1000.0);
            if (due <= offset) {
                continue;
            }
            count = static_cast<size_t>(due - offset);
        }
        count = static_cast<size_t>(std::min<uint64_t>(count, total - offset));
        FillStream(offset, count, lineEnds, bytes);
        const Clock::time_point sentAt = Clock::now();
        if (!send(bytes.data(), count)) {
            break;
        }
        offset += count;
        sent.store(offset);
        if (log != nullptr) {
            log->Add(offset, sentAt);
        }
    }
    threadCpu.store(ThreadCpuSeconds());
    done.store(true);
}

CPty::CPty() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    slavePath = name;
    // Raw from the start: no echo back to the master before the link sets the line up.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

CPty::~CPty() {
    close(master);
    close(slave);
}

bool CPty::Write(const uint8_t* bytes, size_t count) {
    size_t done = 0;
    int stalledMs = 0;
    while (done < count) {
        const ssize_t wrote = ::write(master, bytes + done, count - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            stalledMs = 0;
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        // Full: wait for the reader, but not for ever if it has gone.
        if (stalledMs >= WRITE_STALL_MS) {
            return false;
        }
        pollfd entry{master, POLLOUT, 0};
        ::poll(&entry, 1, 100);
        stalledMs += 100;
    }
    return true;
}

size_t CPty::TakeWritten() {
    size_t taken = 0;
    uint8_t buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(master, buffer, sizeof buffer)) > 0) {
        taken += static_cast<size_t>(got);
    }
    return taken;
}

int CPty::Waiting() const {
    int waiting = 0;
    return ioctl(slave, FIONREAD, &waiting) == 0 ? waiting : -1;
}

void CCountingSink::Show(const std::string& text, const std::string& caption) {
    count.fetch_add(1);
    std::fprintf(stderr, "box: %s: %s\n", caption.c_str(), text.c_str());
}

CPageUnderTest::CPageUnderTest()
    : ports([this] { return std::vector<std::string>{pty.SlavePath()}; }) {
    kit.PlugUsb(true);
    platform.serialPorts = &pacedPorts;
    platform.hid = &kit.Hid();
    platform.messageBoxes = &sink;
    // Moved in, not assigned from the literal: g++ 12 at -O3 sees a false overlap in the
    // assignment (-Wrestrict inside libstdc++).
    platform.driversDirectory = std::string(".");
}

CPageUnderTest::~CPageUnderTest() {
    Close();
}

bool CPageUnderTest::Start() {
    dialog = new CMainDialog(platform);
    dialog->show();
    dialog->TabControl()->setCurrentIndex(1);
    return WaitFor(
        [] {
            return StatusPaneText(2).rfind("Firmware Version: K", 0) == 0 &&
                   StatusPaneText(0) == "Connected";
        },
        5000);
}

void CPageUnderTest::Close() {
    delete dialog;
    dialog = nullptr;
}

TrafficView& CPageUnderTest::UsbView() {
    return g_testPage->UsbView();
}

TrafficView& CPageUnderTest::Rs232View() {
    return g_testPage->Rs232View();
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs, int sliceMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        // Serves the event loop for a moment; the thread sleeps while nothing happens.
        QEventLoop loop;
        QTimer::singleShot(sliceMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void UseOffscreenByDefault() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

std::string MakeRunDirectory() {
    char pattern[] = "/tmp/palvex-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    const std::filesystem::path readme =
        std::filesystem::path(PALVEX_SOURCE_DIR) / "res/Readme.rtf";
    std::error_code ignored;
    std::filesystem::copy_file(readme, std::filesystem::path(made) / "Readme.rtf", ignored);
    return made;
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double ProcCpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    // After the name: the state is field 3; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::atof(field.c_str());
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

long RssKb() {
    return StatusKb("VmRSS:");
}

long PeakRssKb() {
    return StatusKb("VmHWM:");
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(std::ceil(fraction * values.size())) - 1;
    return values[std::min(at, values.size() - 1)];
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void PrintFigure(const std::string& name, double value, const std::string& unit,
                 const std::string& comparedWith, bool pass) {
    std::printf("%-44s %12.3f %-8s %-34s %s\n", name.c_str(), value, unit.c_str(),
                comparedWith.c_str(), pass ? "PASS" : "FAIL");
    std::fflush(stdout);
}

}  // namespace perf
