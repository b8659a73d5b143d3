// HID interfaces through the kernel's hidraw nodes: enumeration from sysfs, open by path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_device.h"

namespace platform::linux_hid {

class CHidrawSystem : public IHidSystem {
  public:
    // Tests give a fake sysfs tree and device directory; the program uses the real ones.
    explicit CHidrawSystem(std::string sysfsRoot = "/sys/class/hidraw",
                           std::string devRoot = "/dev");

    // "<devRoot>/hidrawN" for each hidrawN listed under sysfsRoot, in numeric order.
    std::vector<std::string> EnumerateInterfaces() override;
    // The ids of the node's HID device from its sysfs uevent, so nothing is opened to learn them.
    bool ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) override;
    // Opens the node for shared reading and writing and reads its report descriptor.
    std::unique_ptr<IHidDevice> Open(const std::string& path) override;
    HidOpenError LastOpenError() const override;

  private:
    // The node's sysfs device directory, or empty when path is not one of ours.
    std::string SysfsDeviceDir(const std::string& path) const;

    const std::string sysfsRoot;
    const std::string devRoot;
};

// Ids from the HID_ID line of a HID device's uevent text ("HID_ID=0003:0000D804:00000032").
bool ParseHidId(const std::string& uevent, uint16_t& vendorId, uint16_t& productId);
// Ids from "<sysfsDeviceDir>/uevent".
bool ReadSysfsIds(const std::string& sysfsDeviceDir, uint16_t& vendorId, uint16_t& productId);

}  // namespace platform::linux_hid
