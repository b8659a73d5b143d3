// The two platform backends of the simulated Kit: a virtual HID system and virtual serial
// ports, both working on the shared board state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/hid_device.h"
#include "platform/serial_port.h"
#include "sim/sim_state.h"

namespace sim {

class CSimHidSystem : public platform::IHidSystem {
  public:
    explicit CSimHidSystem(std::shared_ptr<CSimState> state) : state(std::move(state)) {}
    std::vector<std::string> EnumerateInterfaces() override;
    bool ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) override;
    std::unique_ptr<platform::IHidDevice> Open(const std::string& path) override;
    platform::HidOpenError LastOpenError() const override;

  private:
    std::shared_ptr<CSimState> state;
};

class CSimSerialPorts : public platform::ISerialPorts {
  public:
    explicit CSimSerialPorts(std::shared_ptr<CSimState> state) : state(std::move(state)) {}
    std::unique_ptr<platform::ISerialPort> CreatePort() override;
    std::string DevicePath(const std::string& portName) override;

  private:
    std::shared_ptr<CSimState> state;
};

}  // namespace sim
