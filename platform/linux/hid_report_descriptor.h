// Report lengths of a HID device from its report descriptor, counted the way the HID link
// expects them: the largest report per direction plus the report-id byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::linux_hid {

struct ReportLengths {
    // Largest input and output report in bytes, counting the report-id byte; 0 when the
    // device has no report of that direction.
    uint16_t inputBytes = 0;
    uint16_t outputBytes = 0;
    // True when the descriptor numbers its reports (a Report ID item): then every report
    // read from the node already starts with its id.
    bool numberedReports = false;
};

// Walks the descriptor's items and sums Report Size x Report Count per report id for the
// Input and Output main items. False for a descriptor that is cut off or inconsistent
// (Pop without Push, a report that does not fit 16 bits); lengths are then left at zero.
bool ParseReportDescriptor(const uint8_t* descriptor, size_t length, ReportLengths& lengths);

}  // namespace platform::linux_hid
