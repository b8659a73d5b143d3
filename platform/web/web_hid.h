// HID devices through the browser's WebHID: the devices the user granted this page, as the
// pump lists them, named "webhid:N".
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_device.h"

namespace platform::web {

class CWebHidSystem : public IHidSystem {
  public:
    std::vector<std::string> EnumerateInterfaces() override;
    bool ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) override;
    std::unique_ptr<IHidDevice> Open(const std::string& path) override;
    HidOpenError LastOpenError() const override;

    struct Listed {
        int id = 0;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        HidCaps caps;
    };

  private:
    bool Find(const std::string& path, Listed& listed);

    std::mutex mutex;
    std::map<std::string, Listed> listed;  // the latest list, by path
};

}  // namespace platform::web
