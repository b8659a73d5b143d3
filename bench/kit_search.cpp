// The COM scan and the Kit's texts, for both pages.
#include "bench/kit_search.h"

#include "bench/channel_workers.h"
#include "serial/serial_settings.h"

ComScanResult ScanComPorts(const std::vector<std::string>& ports,
                           const platform::Platform& serialPlatform) {
    ComScanResult scan;
    if (serialPlatform.serialPorts == nullptr) {
        return scan;
    }
    // The links' boxes wait here until the scan is over: this thread must never wait for the
    // page's, which may be waiting for it.
    CWorkerBoxFilter::SetThreadHeld(&scan.boxes);
    for (const std::string& name : ports) {
        auto link = std::make_unique<CSerialLink>(KitLineSettings(name), serialPlatform);
        if (link->Open() != 0) {
            scan.port = name;
            scan.link = std::move(link);
            break;
        }
        // The link has said why in an "Error" box, held with the others.
    }
    CWorkerBoxFilter::SetThreadHeld(nullptr);
    return scan;
}

std::string RefusalText(const CHidLink::Refusal& refusal) {
    std::string text =
        "The KIT is plugged in, but " + refusal.path + " cannot be used: " + refusal.reason + ".";
    if (!refusal.remedy.empty()) {
        text += "\n\n" + refusal.remedy;
    }
    return text;
}

std::string PortLostText(const std::string& port, const std::string& devicePath) {
    std::string text = "The serial port " + port;
    if (!devicePath.empty() && devicePath != port) {
        text += " (" + devicePath + ")";
    }
    return text + " was disconnected.";
}
