// The system's Kits and serial ports, each tried once.
#include "check/device_list.h"

#include <memory>

#include "channel/board_commands.h"
#include "check/box_reason.h"
#include "serial/serial_link.h"

DeviceList ListDevices(const platform::Platform& platform) {
    DeviceList list;
    if (platform.hid != nullptr) {
        for (const std::string& path : platform.hid->EnumerateInterfaces()) {
            ListedKit kit;
            kit.path = path;
            const bool listed = platform.hid->ListedIds(path, kit.vendorId, kit.productId);
            if (listed && (kit.vendorId != KIT_VENDOR_ID || kit.productId != KIT_PRODUCT_ID)) {
                continue;
            }
            const std::unique_ptr<platform::IHidDevice> device = platform.hid->Open(path);
            if (device == nullptr) {
                if (listed) {  // a Kit it may not open; others unknown are left out
                    const platform::HidOpenError error = platform.hid->LastOpenError();
                    kit.why = error.text.empty() ? "it cannot be opened" : error.text;
                    if (!error.remedy.empty()) {
                        kit.why += ". " + error.remedy;
                    }
                    list.kits.push_back(kit);
                }
                continue;
            }
            if (!device->GetAttributes(kit.vendorId, kit.productId) ||
                kit.vendorId != KIT_VENDOR_ID || kit.productId != KIT_PRODUCT_ID) {
                continue;
            }
            platform::HidCaps caps;
            device->GetCaps(caps);
            kit.inputReportBytes = caps.inputReportByteLength;
            kit.outputReportBytes = caps.outputReportByteLength;
            kit.opens = true;
            list.kits.push_back(kit);
        }
    }
    if (platform.serialPorts != nullptr) {
        CBoxReason reasons;
        platform::Platform quiet = platform;
        quiet.messageBoxes = &reasons;
        for (const std::string& name : platform.serialPorts->ListedPorts()) {
            ListedPort port;
            port.name = name;
            port.path = platform.serialPorts->DevicePath(name);
            SerialSettings settings;
            settings.portName = name;
            CSerialLink link(settings, quiet);
            port.opens = link.Open() != 0;
            if (!port.opens) {
                port.why = reasons.Take();
            }
            list.ports.push_back(port);
        }
    }
    return list;
}
