// The operating system's own backends, chosen by the build (platform/linux/ on Linux).
#pragma once

#include <memory>

#include "platform/hid_device.h"
#include "platform/serial_port.h"

namespace platform {

// "COM1".."COM4" name the system's serial ports.
std::unique_ptr<ISerialPorts> CreateSystemSerialPorts();
// HID interfaces through the kernel's hidraw nodes.
std::unique_ptr<IHidSystem> CreateSystemHid();

}  // namespace platform
