// HID interfaces on Windows: enumeration through SetupAPI, devices through HID.dll.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_device.h"

namespace platform::windows {

class CWinHidSystem : public IHidSystem {
  public:
    // The device interface paths of the present HID interfaces, as UTF-8.
    std::vector<std::string> EnumerateInterfaces() override;
    // The ids from the "vid_XXXX&pid_XXXX" part of an interface path, so that nothing needs
    // opening (and waking) to learn them.
    bool ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) override;
    // Opens the interface shared and overlapped, and reads its report lengths.
    std::unique_ptr<IHidDevice> Open(const std::string& path) override;
    HidOpenError LastOpenError() const override;
};

// The ids in an interface path ("\\?\hid#vid_046d&pid_c077#..."), either case; false when
// the path names no vendor and product.
bool IdsFromInterfacePath(const std::string& path, uint16_t& vendorId, uint16_t& productId);

}  // namespace platform::windows
