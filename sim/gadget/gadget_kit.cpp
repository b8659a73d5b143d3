// The Kit as a USB gadget through configfs, answering with the board model.
#include "sim/gadget/gadget_kit.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace sim::gadget {

namespace fs = std::filesystem;

namespace {

constexpr char GADGET_NAME[] = "palvex-kit";
constexpr char HID_FUNCTION[] = "hid.kit";
constexpr char ACM_FUNCTION[] = "acm.kit";
// One report each way, 8 bytes, no report ids: the host sees 9-byte reports once the id
// byte is counted, as on the real board.
constexpr size_t REPORT_BYTES = 8;
constexpr uint8_t REPORT_DESCRIPTOR[] = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x01,        //   Usage (1)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};
// What the board holds toward the host before it drops new bytes.
constexpr size_t QUEUE_LIMIT_BYTES = 1 << 20;
// Longest a board thread sleeps before it looks at its switches again.
constexpr int IDLE_WAIT_MS = 20;

bool WriteText(const fs::path& file, const std::string& text, std::string& error) {
    std::ofstream out(file);
    out << text;
    out.flush();
    if (!out) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The /dev node whose sysfs "dev" number is `number` in /sys/class/<className>.
std::string NodeByNumber(const std::string& className, const std::string& number) {
    std::error_code error;
    for (fs::directory_iterator entry("/sys/class/" + className, error), end;
         !error && entry != end; entry.increment(error)) {
        if (ReadLine(entry->path() / "dev") == number) {
            return "/dev/" + entry->path().filename().string();
        }
    }
    return {};
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

CGadgetKit::CGadgetKit(std::string configfsRoot)
    : gadgetDir((fs::path(configfsRoot) / GADGET_NAME).string()) {}

CGadgetKit::~CGadgetKit() {
    stopping = true;
    changed.notify_all();
    if (hidThread.joinable()) {
        hidThread.join();
    }
    if (serialThread.joinable()) {
        serialThread.join();
    }
    Remove();
}

bool CGadgetKit::Start(std::string& error) {
    if (!Configure(error)) {
        Remove();
        return false;
    }
    if (!Plug(true)) {
        error = "cannot bind the gadget to " + udcName;
        Remove();
        return false;
    }
    // The function's device nodes appear once the gadget is bound.
    const fs::path hid = fs::path(gadgetDir) / "functions" / HID_FUNCTION;
    for (int i = 0; i < 200 && (hidNode.empty() || !fs::exists(hidNode)); ++i) {
        hidNode = NodeByNumber("hidg", ReadLine(hid / "dev"));
        if (hidNode.empty() || !fs::exists(hidNode)) {
            ::poll(nullptr, 0, 10);
        }
    }
    if (hidNode.empty() || !fs::exists(hidNode)) {
        error = "the HID function has no /dev/hidgN node";
        Remove();
        return false;
    }
    hidThread = std::thread([this] { HidLoop(); });
    serialThread = std::thread([this] { SerialLoop(); });
    return true;
}

bool CGadgetKit::Configure(std::string& error) {
    std::error_code fsError;
    for (const auto& entry : fs::directory_iterator("/sys/class/udc", fsError)) {
        udcName = entry.path().filename().string();
        break;
    }
    if (udcName.empty()) {
        error = "no USB device controller (is dummy_hcd loaded?)";
        return false;
    }
    const fs::path gadget = gadgetDir;
    if (fs::exists(gadget)) {
        error = gadget.string() + " exists already";
        return false;
    }
    configured = true;
    const fs::path hid = gadget / "functions" / HID_FUNCTION;
    const fs::path acm = gadget / "functions" / ACM_FUNCTION;
    const fs::path config = gadget / "configs" / "c.1";
    if (!fs::create_directory(gadget, fsError)) {
        error = "cannot create " + gadget.string() + ": " + fsError.message();
        return false;
    }
    // Class EF/02/01 (interface association) lets the host bind the ACM function's two
    // interfaces together.
    const std::pair<const char*, const char*> attributes[] = {
        {"idVendor", "0xd804"},      {"idProduct", "0x0032"},  {"bcdDevice", "0x0100"},
        {"bcdUSB", "0x0200"},        {"bDeviceClass", "0xef"}, {"bDeviceSubClass", "0x02"},
        {"bDeviceProtocol", "0x01"},
    };
    for (const auto& [name, value] : attributes) {
        if (!WriteText(gadget / name, value, error)) {
            return false;
        }
    }
    fs::create_directories(gadget / "strings" / "0x409", fsError);
    fs::create_directories(config / "strings" / "0x409", fsError);
    fs::create_directory(hid, fsError);
    fs::create_directory(acm, fsError);
    if (fsError) {
        error = "cannot create the gadget's functions: " + fsError.message();
        return false;
    }
    const std::string descriptor(std::begin(REPORT_DESCRIPTOR), std::end(REPORT_DESCRIPTOR));
    if (!WriteText(gadget / "strings" / "0x409" / "manufacturer", "Palvex", error) ||
        !WriteText(gadget / "strings" / "0x409" / "product", "Kit (USB gadget)", error) ||
        !WriteText(gadget / "strings" / "0x409" / "serialnumber", "0001", error) ||
        !WriteText(config / "strings" / "0x409" / "configuration", "Kit", error) ||
        !WriteText(config / "MaxPower", "100", error) || !WriteText(hid / "protocol", "0", error) ||
        !WriteText(hid / "subclass", "0", error) ||
        !WriteText(hid / "report_length", std::to_string(REPORT_BYTES), error) ||
        !WriteText(hid / "report_desc", descriptor, error)) {
        return false;
    }
    fs::create_directory_symlink(hid, config / HID_FUNCTION, fsError);
    fs::create_directory_symlink(acm, config / ACM_FUNCTION, fsError);
    if (fsError) {
        error = "cannot link the functions into the configuration: " + fsError.message();
        return false;
    }
    serialNode = "/dev/ttyGS" + ReadLine(acm / "port_num");
    return true;
}

void CGadgetKit::Remove() {
    if (!configured) {
        return;
    }
    configured = false;
    Plug(false);
    const fs::path gadget = gadgetDir;
    const fs::path config = gadget / "configs" / "c.1";
    std::error_code ignored;
    // configfs wants its items taken apart in the reverse order of their making.
    fs::remove(config / HID_FUNCTION, ignored);
    fs::remove(config / ACM_FUNCTION, ignored);
    ::rmdir((config / "strings" / "0x409").c_str());
    ::rmdir(config.c_str());
    ::rmdir((gadget / "functions" / HID_FUNCTION).c_str());
    ::rmdir((gadget / "functions" / ACM_FUNCTION).c_str());
    ::rmdir((gadget / "strings" / "0x409").c_str());
    ::rmdir(gadget.c_str());
}

bool CGadgetKit::Plug(bool plug) {
    std::string error;
    // An empty name unbinds; the controller's name binds.
    const bool ok =
        WriteText(fs::path(gadgetDir) / "UDC", plug ? udcName : std::string("\n"), error);
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (ok || !plug) {
            plugged = plug && ok;
        }
        if (!plugged) {
            // A replugged board starts afresh, as after a reset.
            usbToHost.clear();
            serialToHost.clear();
        }
    }
    changed.notify_all();
    return ok;
}

bool CGadgetKit::Plugged() const {
    std::lock_guard<std::mutex> hold(mutex);
    return plugged;
}

void CGadgetKit::SetSilent(bool silent) {
    std::lock_guard<std::mutex> hold(mutex);
    board.silent = silent;
}

void CGadgetKit::SetVersion(const std::string& version) {
    std::lock_guard<std::mutex> hold(mutex);
    board.version = version;
}

void CGadgetKit::SetOutStalled(bool stalled) {
    {
        std::lock_guard<std::mutex> hold(mutex);
        outStalled = stalled;
    }
    changed.notify_all();
}

void CGadgetKit::SendUsb(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> hold(mutex);
        for (size_t offset = 0; offset < bytes.size(); offset += sim::KIT_MAX_PAYLOAD) {
            if (usbToHost.size() * sim::KIT_MAX_PAYLOAD >= QUEUE_LIMIT_BYTES) {
                break;
            }
            const size_t count = std::min<size_t>(sim::KIT_MAX_PAYLOAD, bytes.size() - offset);
            std::vector<uint8_t> report(REPORT_BYTES, 0);
            report[0] = static_cast<uint8_t>(count);
            std::copy_n(bytes.begin() + offset, count, report.begin() + 1);
            usbToHost.push_back(std::move(report));
        }
    }
    changed.notify_all();
}

void CGadgetKit::SendSerial(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> hold(mutex);
        const size_t room = QUEUE_LIMIT_BYTES - std::min(QUEUE_LIMIT_BYTES, serialToHost.size());
        serialToHost.insert(serialToHost.end(), bytes.begin(),
                            bytes.begin() + std::min(room, bytes.size()));
    }
    changed.notify_all();
}

bool CGadgetKit::LedFlashing() const {
    std::lock_guard<std::mutex> hold(mutex);
    return board.ledFlashing;
}

int CGadgetKit::VersionRequests() const {
    std::lock_guard<std::mutex> hold(mutex);
    return board.versionRequests;
}

int CGadgetKit::CloseCommands() const {
    std::lock_guard<std::mutex> hold(mutex);
    return board.closeCommands;
}

std::vector<std::vector<uint8_t>> CGadgetKit::OutputReports() const {
    std::lock_guard<std::mutex> hold(mutex);
    return outputReports;
}

std::vector<uint8_t> CGadgetKit::SerialReceived() const {
    std::lock_guard<std::mutex> hold(mutex);
    return serialReceived;
}

size_t CGadgetKit::UsbPending() const {
    std::lock_guard<std::mutex> hold(mutex);
    return usbToHost.size();
}

size_t CGadgetKit::SerialPending() const {
    std::lock_guard<std::mutex> hold(mutex);
    return serialToHost.size();
}

bool CGadgetKit::WaitFor(const std::function<bool(const CGadgetKit&)>& done, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(*this)) {
        std::unique_lock<std::mutex> hold(mutex);
        // Changes are not all signalled (the host's side moves on its own): look again at
        // least every few milliseconds.
        if (changed.wait_until(hold, std::min(deadline, std::chrono::steady_clock::now() +
                                                            std::chrono::milliseconds(10))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            hold.unlock();
            return done(*this);
        }
    }
    return true;
}

void CGadgetKit::HidLoop() {
    // The hidg node lives as long as the function; an unbind makes its calls fail until the
    // next bind, so the loop just waits through it.
    int fd = ::open(hidNode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    while (!stopping) {
        if (fd < 0) {
            ::poll(nullptr, 0, IDLE_WAIT_MS);
            fd = ::open(hidNode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            continue;
        }
        bool reading;
        bool writing;
        {
            std::lock_guard<std::mutex> hold(mutex);
            reading = !outStalled;
            writing = !usbToHost.empty();
        }
        pollfd wait = {fd, static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0};
        const int ready = ::poll(&wait, 1, IDLE_WAIT_MS);
        if (ready <= 0) {
            continue;
        }
        bool failed = (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (reading && (wait.revents & POLLIN)) {
            uint8_t report[1 + 64] = {0};
            const ssize_t got = ::read(fd, report + 1, sizeof report - 1);
            if (got > 0) {
                std::lock_guard<std::mutex> hold(mutex);
                // Recorded as the host wrote it: report id 0 first.
                outputReports.emplace_back(report, report + 1 + got);
                for (const auto& answer :
                     board.TakeReport(report, static_cast<uint32_t>(1 + got))) {
                    std::vector<uint8_t> in(REPORT_BYTES, 0);
                    in[0] = static_cast<uint8_t>(answer.size());
                    std::copy(answer.begin(), answer.end(), in.begin() + 1);
                    usbToHost.push_back(std::move(in));
                }
            } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                failed = true;
            }
        }
        if (writing && (wait.revents & POLLOUT)) {
            std::vector<uint8_t> report;
            {
                std::lock_guard<std::mutex> hold(mutex);
                if (!usbToHost.empty()) {
                    report = usbToHost.front();
                }
            }
            if (!report.empty()) {
                const ssize_t put = ::write(fd, report.data(), report.size());
                if (put == static_cast<ssize_t>(report.size())) {
                    std::lock_guard<std::mutex> hold(mutex);
                    if (!usbToHost.empty() && usbToHost.front() == report) {
                        usbToHost.pop_front();
                    }
                } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
                    failed = true;
                }
            }
        }
        changed.notify_all();
        if (failed) {
            // Unbound: nothing will change until a replug; do not spin on the error.
            ::poll(nullptr, 0, IDLE_WAIT_MS);
        }
    }
    CloseFd(fd);
}

void CGadgetKit::SerialLoop() {
    int fd = -1;
    while (!stopping) {
        if (fd < 0) {
            // The tty hangs up with every disconnect and must be opened anew after it.
            if (Plugged()) {
                fd = ::open(serialNode.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            }
            if (fd < 0) {
                ::poll(nullptr, 0, IDLE_WAIT_MS);
                continue;
            }
            termios raw{};
            if (::tcgetattr(fd, &raw) == 0) {
                // Bytes pass untouched: no echo by the tty itself, no line editing.
                ::cfmakeraw(&raw);
                ::tcsetattr(fd, TCSANOW, &raw);
            }
        }
        bool writing;
        {
            std::lock_guard<std::mutex> hold(mutex);
            writing = !serialToHost.empty();
        }
        pollfd wait = {fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&wait, 1, IDLE_WAIT_MS) <= 0) {
            continue;
        }
        bool hungUp = (wait.revents & (POLLERR | POLLNVAL)) != 0;
        if (wait.revents & (POLLIN | POLLHUP)) {
            uint8_t bytes[4096];
            const ssize_t got = ::read(fd, bytes, sizeof bytes);
            if (got > 0) {
                std::lock_guard<std::mutex> hold(mutex);
                serialReceived.insert(serialReceived.end(), bytes, bytes + got);
                const std::vector<uint8_t> echo = board.TakeSerial(bytes, got);
                serialToHost.insert(serialToHost.end(), echo.begin(), echo.end());
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp = true;
            }
        }
        if (!hungUp && writing && (wait.revents & POLLOUT)) {
            std::vector<uint8_t> chunk;
            {
                std::lock_guard<std::mutex> hold(mutex);
                const size_t count = std::min<size_t>(serialToHost.size(), 4096);
                chunk.assign(serialToHost.begin(), serialToHost.begin() + count);
            }
            const ssize_t put = ::write(fd, chunk.data(), chunk.size());
            if (put > 0) {
                std::lock_guard<std::mutex> hold(mutex);
                serialToHost.erase(
                    serialToHost.begin(),
                    serialToHost.begin() + std::min<size_t>(serialToHost.size(), put));
            } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
                hungUp = true;
            }
        }
        changed.notify_all();
        if (hungUp) {
            CloseFd(fd);
        }
    }
    CloseFd(fd);
}

}  // namespace sim::gadget
