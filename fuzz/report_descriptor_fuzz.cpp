// libFuzzer target of the HID report-descriptor parser: any bytes must parse or be refused
// without reading past the end, a refusal leaves every length at zero, and an item that
// carries no report layout changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/linux/hid_report_descriptor.h"

using platform::linux_hid::ParseReportDescriptor;
using platform::linux_hid::ReportLengths;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReportLengths lengths;
    lengths.inputBytes = 7;  // stale values the parser must replace
    lengths.outputBytes = 7;
    lengths.numberedReports = true;
    const bool parsed = ParseReportDescriptor(data, size, lengths);
    if (!parsed &&
        (lengths.inputBytes != 0 || lengths.outputBytes != 0 || lengths.numberedReports)) {
        std::abort();
    }
    // The same bytes give the same answer.
    ReportLengths again;
    if (ParseReportDescriptor(data, size, again) != parsed ||
        again.inputBytes != lengths.inputBytes || again.outputBytes != lengths.outputBytes ||
        again.numberedReports != lengths.numberedReports) {
        std::abort();
    }
    // An End Collection after a whole descriptor adds no field.
    if (parsed) {
        std::vector<uint8_t> longer(data, data + size);
        longer.push_back(0xC0);
        ReportLengths closed;
        if (!ParseReportDescriptor(longer.data(), longer.size(), closed) ||
            closed.inputBytes != lengths.inputBytes || closed.outputBytes != lengths.outputBytes ||
            closed.numberedReports != lengths.numberedReports) {
            std::abort();
        }
    }
    return 0;
}
