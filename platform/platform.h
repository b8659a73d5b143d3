// The platform services one run of the program uses: real backends in palvex, the
// simulated Kit in palvex-sim, fakes in tests. Chosen once at start-up and passed down.
#pragma once

#include <string>

#include "platform/hid_device.h"
#include "platform/message_box.h"
#include "platform/serial_port.h"

namespace platform {

struct Platform {
    ISerialPorts* serialPorts = nullptr;
    IHidSystem* hid = nullptr;
    IMessageBoxSink* messageBoxes = nullptr;
    // Where the firmware transfer puts kitboard.bin.
    std::string driversDirectory = "/lib/firmware";
};

}  // namespace platform
