// In a browser the system's devices are the ones WebHID and Web Serial give the page.
#include "platform/backends.h"
#include "platform/web/web_hid.h"
#include "platform/web/web_serial.h"

namespace platform {

std::unique_ptr<ISerialPorts> CreateSystemSerialPorts() {
    return std::make_unique<web::CWebSerialPorts>();
}

std::unique_ptr<IHidSystem> CreateSystemHid() {
    return std::make_unique<web::CWebHidSystem>();
}

}  // namespace platform
