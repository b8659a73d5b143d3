// What palvex-check --list shows: every Kit interface and every serial port the system has,
// and whether each can be opened now.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ListedKit {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool opens = false;
    std::string why;  // why it cannot be opened, with the remedy where known
    uint16_t inputReportBytes = 0;
    uint16_t outputReportBytes = 0;
};

struct ListedPort {
    std::string name;  // what --port and the page take
    std::string path;  // the device behind it
    bool opens = false;
    std::string why;
};

struct DeviceList {
    std::vector<ListedKit> kits;
    std::vector<ListedPort> ports;
};

// Opens only interfaces that may be the Kit (others are not woken) and each listed port once,
// closing it again at once.
DeviceList ListDevices(const platform::Platform& platform);
