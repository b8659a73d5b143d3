// The system's serial ports on Linux: COM names resolved to tty devices, termios port objects.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace platform {

class CLinuxSerialPorts : public ISerialPorts {
  public:
    // The devices that "COM1", "COM2", ... name, in that order.
    using DeviceLister = std::function<std::vector<std::string>()>;

    // Lists the running system's devices (ListSerialDevices) each time a name is resolved,
    // so an adapter plugged in later is found.
    CLinuxSerialPorts();
    // Tests give their own listing, for example a pseudo-terminal as COM1.
    explicit CLinuxSerialPorts(DeviceLister lister);

    std::unique_ptr<ISerialPort> CreatePort() override;
    std::string DevicePath(const std::string& portName) override;
    // COM names for the first four devices, then the device paths of the rest.
    std::vector<std::string> ListedPorts() override;

  private:
    DeviceLister lister;
};

}  // namespace platform
