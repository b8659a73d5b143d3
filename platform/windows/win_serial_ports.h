// The system's serial ports on Windows: COM names as the system knows them.
#pragma once

#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace platform::windows {

class CWinSerialPorts : public ISerialPorts {
  public:
    std::unique_ptr<ISerialPort> CreatePort() override;
    // "COM1" -> "\\.\COM1", the device name the port opens under.
    std::string DevicePath(const std::string& portName) override;
};

}  // namespace platform::windows
