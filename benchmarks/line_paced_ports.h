// Serial ports whose output queue drains as the line would: a pty takes every write at once
// and reports an empty queue, which a UART or cdc-acm driver at the set baud rate does not.
// Everything else goes to the wrapped ports unchanged, so what the page reads is the real
// backend's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace perf {

class CLinePacedPorts : public platform::ISerialPorts {
  public:
    explicit CLinePacedPorts(platform::ISerialPorts& inner) : inner(inner) {}
    std::unique_ptr<platform::ISerialPort> CreatePort() override;
    std::string DevicePath(const std::string& portName) override {
        return inner.DevicePath(portName);
    }
    std::vector<std::string> ListedPorts() override { return inner.ListedPorts(); }

  private:
    platform::ISerialPorts& inner;
};

}  // namespace perf
