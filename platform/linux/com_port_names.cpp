// Finds the system's serial ports and gives them the COM names the link asks for.
#include "platform/linux/com_port_names.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace platform {

namespace {

constexpr int COM_PORT_COUNT = 4;

// The number after prefix when name is prefix followed by digits only.
std::optional<unsigned long> DeviceNumber(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.size() - prefix.size() > 6) {
        return std::nullopt;
    }
    unsigned long number = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<unsigned long>(name[i] - '0');
    }
    return number;
}

// Built-in ports are listed whether or not a UART sits behind them: a port counts when
// sysfs ties it to a device and, where the driver reports a port type, that type is known.
bool HasHardware(const SerialDeviceRoots& roots, const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path node = fs::path(roots.sysClassTty) / name;
    if (!fs::exists(node / "device", error)) {
        return false;
    }
    std::ifstream typeFile(node / "type");
    int type = 0;
    if (typeFile && (typeFile >> type)) {
        return type != 0;  // 0: no UART was found at this port
    }
    return true;
}

// The ttys the kernel writes its console to ("tty0 ttyS0"): a port that carries the
// console (and perhaps a login) is not the program's to take.
std::vector<std::string> ActiveConsoles(const SerialDeviceRoots& roots) {
    namespace fs = std::filesystem;
    std::ifstream file(fs::path(roots.sysClassTty) / "console" / "active");
    std::vector<std::string> consoles;
    for (std::string name; file >> name;) {
        consoles.push_back(name);
    }
    return consoles;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const SerialDeviceRoots& roots) {
    namespace fs = std::filesystem;
    static const char* const GROUPS[] = {"ttyUSB", "ttyACM", "ttyS"};

    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(roots.devDir, error), end; !error && entry != end;
         entry.increment(error)) {
        names.push_back(entry->path().filename().string());
    }

    const std::vector<std::string> consoles = ActiveConsoles(roots);
    std::vector<std::string> devices;
    for (const std::string prefix : GROUPS) {
        std::vector<std::pair<unsigned long, std::string>> group;
        for (const std::string& name : names) {
            const std::optional<unsigned long> number = DeviceNumber(name, prefix);
            if (!number || std::find(consoles.begin(), consoles.end(), name) != consoles.end()) {
                continue;
            }
            if (prefix == "ttyS" && !HasHardware(roots, name)) {
                continue;
            }
            group.emplace_back(*number, name);
        }
        std::sort(group.begin(), group.end());
        for (const auto& [number, name] : group) {
            devices.push_back((fs::path(roots.devDir) / name).string());
        }
    }
    return devices;
}

std::string ComNameToDevice(const std::string& portName, const std::vector<std::string>& devices) {
    if (portName.rfind('/', 0) == 0) {
        return portName;  // a device path the user chose names itself
    }
    const std::optional<unsigned long> number = DeviceNumber(portName, "COM");
    if (!number || *number < 1 || *number > COM_PORT_COUNT || *number > devices.size()) {
        return {};
    }
    return devices[*number - 1];
}

}  // namespace platform
