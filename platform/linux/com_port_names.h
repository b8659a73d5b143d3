// "COM1".."COM4" on Linux: the first four serial ports the system has, found in /dev and sysfs.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Where to look for serial devices; tests point both roots into a temporary tree.
struct SerialDeviceRoots {
    std::string devDir = "/dev";
    std::string sysClassTty = "/sys/class/tty";
};

// The serial devices in COM order: /dev/ttyUSB*, then /dev/ttyACM*, then the /dev/ttyS* that
// have hardware behind them; each group in numeric order (ttyUSB2 before ttyUSB10). The
// active serial console (sysfs tty/console/active) is left out. Read afresh on each call.
std::vector<std::string> ListSerialDevices(const SerialDeviceRoots& roots = {});

// The device behind "COM1".."COM4" in a list made by ListSerialDevices; empty when the name
// is not one of those four or the system has fewer ports. A device path names itself.
std::string ComNameToDevice(const std::string& portName, const std::vector<std::string>& devices);

}  // namespace platform
