// Port objects of the Windows backend.
#include "platform/windows/win_serial_ports.h"

#include "platform/backends.h"
#include "platform/windows/win_serial_port.h"

namespace platform::windows {

std::unique_ptr<ISerialPort> CWinSerialPorts::CreatePort() {
    return std::make_unique<CWinSerialPort>();
}

std::string CWinSerialPorts::DevicePath(const std::string& portName) {
    if (portName.empty() || portName.rfind("\\\\", 0) == 0) {
        return portName;
    }
    return "\\\\.\\" + portName;
}

}  // namespace platform::windows

namespace platform {

std::unique_ptr<ISerialPorts> CreateSystemSerialPorts() {
    return std::make_unique<windows::CWinSerialPorts>();
}

}  // namespace platform
