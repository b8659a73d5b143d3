// Port objects of the Linux backend; a name that stands for no device opens as a missing one.
#include "platform/linux/linux_serial_ports.h"

#include <utility>

#include "platform/backends.h"
#include "platform/linux/com_port_names.h"
#include "platform/linux/termios_serial_port.h"

namespace platform {

CLinuxSerialPorts::CLinuxSerialPorts() : lister([] { return ListSerialDevices(); }) {}

CLinuxSerialPorts::CLinuxSerialPorts(DeviceLister deviceLister) : lister(std::move(deviceLister)) {}

std::unique_ptr<ISerialPort> CLinuxSerialPorts::CreatePort() {
    return std::make_unique<CTermiosSerialPort>([devices = lister](const std::string& portName) {
        return ComNameToDevice(portName, devices());
    });
}

std::string CLinuxSerialPorts::DevicePath(const std::string& portName) {
    return ComNameToDevice(portName, lister());
}

std::vector<std::string> CLinuxSerialPorts::ListedPorts() {
    std::vector<std::string> names = lister();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string comName = "COM" + std::to_string(i + 1);
        if (ComNameToDevice(comName, names) == names[i]) {
            names[i] = comName;
        }
    }
    return names;
}

std::unique_ptr<ISerialPorts> CreateSystemSerialPorts() {
    return std::make_unique<CLinuxSerialPorts>();
}

}  // namespace platform
