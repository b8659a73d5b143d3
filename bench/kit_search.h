// What the window's page and the browser's page share of looking for the Kit: the scan of
// the COM ports for its line, and the texts that say the Kit cannot be used or its line went.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hid/hid_link.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

// The first port of `ports` that opens with the Kit's line settings, with its link; the
// boxes the links met meanwhile are held in `boxes` (text, caption) for the caller to show or
// drop, never shown by the thread that scans. Each open is bounded by the system.
struct ComScanResult {
    std::string port;  // "" when none opened
    std::unique_ptr<CSerialLink> link;
    std::vector<std::pair<std::string, std::string>> boxes;
};
// `serialPlatform`'s boxes must go through a CWorkerBoxFilter, which holds them.
ComScanResult ScanComPorts(const std::vector<std::string>& ports,
                           const platform::Platform& serialPlatform);

// "The KIT is plugged in, but PATH cannot be used: REASON." and the remedy, if any.
std::string RefusalText(const CHidLink::Refusal& refusal);
// "The serial port COM1 (/dev/ttyUSB0) was disconnected."; the path only where it says more.
std::string PortLostText(const std::string& port, const std::string& devicePath);
