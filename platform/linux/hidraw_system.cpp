// HID interfaces through the kernel's hidraw nodes.
#include "platform/linux/hidraw_system.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/backends.h"
#include "platform/linux/hid_report_descriptor.h"
#include "platform/linux/hidraw_device.h"
#include "platform/linux/hidraw_writer.h"

namespace platform::linux_hid {

namespace {

constexpr char NODE_PREFIX[] = "hidraw";
// Without the shipped rule a desktop user has no access to the node; uaccess acts only on
// rules that sort before 73-seat-late.rules, hence the name.
constexpr char ACCESS_REMEDY[] =
    "Install the udev rule 70-palvex-kit.rules (see the README), then unplug the KIT and plug it "
    "in again.";

// A write the kernel holds this long means the board stopped reading its OUT endpoint; until
// it ends, an open of any hidraw node would wait for it.
constexpr int HELD_WRITE_MS = 200;
constexpr char HELD_WRITE_TEXT[] =
    "it stopped taking reports, and the last one is still waiting to be sent (up to 5 s)";

// Why the calling thread's last Open failed.
thread_local HidOpenError t_lastOpenError;

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills the buffer).
[[maybe_unused]] const char* ErrorTextOf(const char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* ErrorTextOf(int, const char* buffer) {
    return buffer;
}

HidOpenError OpenErrorOf(int code) {
    char buffer[256] = {};
    HidOpenError error;
    error.code = code;
    error.text = ErrorTextOf(strerror_r(code, buffer, sizeof buffer), buffer);
    if (code == EACCES || code == EPERM) {
        error.remedy = ACCESS_REMEDY;
    }
    return error;
}

// The N of "hidrawN", or -1 for any other name.
long NodeNumber(const std::string& name) {
    const std::string prefix = NODE_PREFIX;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stol(digits);
}

// The descriptor through the node itself; empty when the node does not answer.
std::vector<uint8_t> DescriptorFromNode(int fd) {
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
        return {};
    }
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<uint32_t>(size);
    if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
        return {};
    }
    return std::vector<uint8_t>(descriptor.value, descriptor.value + size);
}

// The same descriptor as sysfs publishes it.
std::vector<uint8_t> DescriptorFromSysfs(const std::string& sysfsDeviceDir) {
    if (sysfsDeviceDir.empty()) {
        return {};
    }
    std::ifstream file(sysfsDeviceDir + "/report_descriptor", std::ios::binary);
    std::vector<uint8_t> bytes;
    char c;
    while (bytes.size() < HID_MAX_DESCRIPTOR_SIZE && file.get(c)) {
        bytes.push_back(static_cast<uint8_t>(c));
    }
    return bytes;
}

}  // namespace

bool ParseHidId(const std::string& uevent, uint16_t& vendorId, uint16_t& productId) {
    std::istringstream lines(uevent);
    std::string line;
    const std::string key = "HID_ID=";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0) {
            continue;
        }
        // bus:vendor:product, each in hexadecimal.
        const std::string fields = line.substr(key.size());
        const size_t first = fields.find(':');
        const size_t second = first == std::string::npos ? first : fields.find(':', first + 1);
        if (second == std::string::npos) {
            return false;
        }
        const std::string vendorText = fields.substr(first + 1, second - first - 1);
        const std::string productText = fields.substr(second + 1);
        char* end = nullptr;
        const unsigned long vendor = std::strtoul(vendorText.c_str(), &end, 16);
        if (vendorText.empty() || *end != '\0' || vendor > 0xFFFF) {
            return false;
        }
        const unsigned long product = std::strtoul(productText.c_str(), &end, 16);
        if (productText.empty() || *end != '\0' || product > 0xFFFF) {
            return false;
        }
        vendorId = static_cast<uint16_t>(vendor);
        productId = static_cast<uint16_t>(product);
        return true;
    }
    return false;
}

bool ReadSysfsIds(const std::string& sysfsDeviceDir, uint16_t& vendorId, uint16_t& productId) {
    if (sysfsDeviceDir.empty()) {
        return false;
    }
    std::ifstream file(sysfsDeviceDir + "/uevent");
    if (!file) {
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    return ParseHidId(text, vendorId, productId);
}

CHidrawSystem::CHidrawSystem(std::string sysfsRoot, std::string devRoot)
    : sysfsRoot(std::move(sysfsRoot)), devRoot(std::move(devRoot)) {}

std::vector<std::string> CHidrawSystem::EnumerateInterfaces() {
    std::vector<std::pair<long, std::string>> nodes;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(sysfsRoot, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        const long number = NodeNumber(name);
        if (number >= 0) {
            nodes.emplace_back(number, name);
        }
    }
    // The directory lists in no particular order; hidraw10 must come after hidraw9.
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> paths;
    for (const auto& node : nodes) {
        paths.push_back(devRoot + "/" + node.second);
    }
    return paths;
}

std::string CHidrawSystem::SysfsDeviceDir(const std::string& path) const {
    const std::string prefix = devRoot + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return {};
    }
    const std::string name = path.substr(prefix.size());
    if (NodeNumber(name) < 0) {
        return {};
    }
    return sysfsRoot + "/" + name + "/device";
}

bool CHidrawSystem::ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) {
    return ReadSysfsIds(SysfsDeviceDir(path), vendorId, productId);
}

std::unique_ptr<IHidDevice> CHidrawSystem::Open(const std::string& path) {
    t_lastOpenError = {};
    if (CHidrawWriter::WriteHeldLongerThan(HELD_WRITE_MS)) {
        t_lastOpenError = {EBUSY, HELD_WRITE_TEXT, ""};
        return nullptr;
    }
    // Shared: no exclusive claim, so other programs may hold the node too. Non-blocking, so
    // a read after poll can never hang when someone else took the report.
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        t_lastOpenError = OpenErrorOf(errno);
        return nullptr;
    }
    const std::string sysfsDir = SysfsDeviceDir(path);
    std::vector<uint8_t> descriptor = DescriptorFromNode(fd);
    if (descriptor.empty()) {
        descriptor = DescriptorFromSysfs(sysfsDir);
    }
    ReportLengths lengths;
    if (!ParseReportDescriptor(descriptor.data(), descriptor.size(), lengths)) {
        lengths = ReportLengths{};
    }
    return std::make_unique<CHidrawDevice>(fd, lengths, sysfsDir);
}

HidOpenError CHidrawSystem::LastOpenError() const {
    return t_lastOpenError;
}

}  // namespace platform::linux_hid

namespace platform {

std::unique_ptr<IHidSystem> CreateSystemHid() {
    return std::make_unique<linux_hid::CHidrawSystem>();
}

}  // namespace platform
