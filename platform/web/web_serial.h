// Serial ports through the browser's Web Serial: the ports the user granted this page, named
// "COM1", "COM2", ... in the order the browser lists them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace platform::web {

class CWebSerialPorts : public ISerialPorts {
  public:
    std::unique_ptr<ISerialPort> CreatePort() override;
    std::string DevicePath(const std::string& portName) override;
    std::vector<std::string> ListedPorts() override;
};

}  // namespace platform::web
