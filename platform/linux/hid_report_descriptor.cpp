// Report lengths of a HID device from its report descriptor.
#include "platform/linux/hid_report_descriptor.h"

#include <algorithm>
#include <map>
#include <vector>

namespace platform::linux_hid {

namespace {

// Item types and tags of the short items that matter here (HID 1.11, 6.2.2).
constexpr uint8_t TYPE_MAIN = 0;
constexpr uint8_t TYPE_GLOBAL = 1;
constexpr uint8_t TAG_INPUT = 0x8;
constexpr uint8_t TAG_OUTPUT = 0x9;
constexpr uint8_t TAG_REPORT_SIZE = 0x7;
constexpr uint8_t TAG_REPORT_ID = 0x8;
constexpr uint8_t TAG_REPORT_COUNT = 0x9;
constexpr uint8_t TAG_PUSH = 0xA;
constexpr uint8_t TAG_POP = 0xB;
constexpr uint8_t LONG_ITEM_PREFIX = 0xFE;
// A Push stack deeper than this is not a real descriptor.
constexpr size_t MAX_PUSH_DEPTH = 64;

struct GlobalState {
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
};

uint32_t ItemData(const uint8_t* data, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= static_cast<uint32_t>(data[i]) << (8 * i);
    }
    return value;
}

}  // namespace

bool ParseReportDescriptor(const uint8_t* descriptor, size_t length, ReportLengths& lengths) {
    lengths = ReportLengths{};
    GlobalState state;
    std::vector<GlobalState> stack;
    // Bits per report id, one map per direction.
    std::map<uint32_t, uint64_t> inputBits;
    std::map<uint32_t, uint64_t> outputBits;
    bool numbered = false;

    size_t at = 0;
    while (at < length) {
        const uint8_t prefix = descriptor[at];
        if (prefix == LONG_ITEM_PREFIX) {
            // Long items carry no report layout; skip prefix, size, tag and data.
            if (at + 2 >= length) {
                return false;
            }
            const size_t dataSize = descriptor[at + 1];
            if (at + 3 + dataSize > length) {
                return false;
            }
            at += 3 + dataSize;
            continue;
        }
        const size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        const uint8_t type = (prefix >> 2) & 0x3;
        const uint8_t tag = prefix >> 4;
        if (at + 1 + dataSize > length) {
            return false;
        }
        const uint32_t value = ItemData(descriptor + at + 1, dataSize);
        at += 1 + dataSize;

        if (type == TYPE_GLOBAL) {
            switch (tag) {
                case TAG_REPORT_SIZE:
                    state.reportSize = value;
                    break;
                case TAG_REPORT_COUNT:
                    state.reportCount = value;
                    break;
                case TAG_REPORT_ID:
                    state.reportId = value;
                    numbered = true;
                    break;
                case TAG_PUSH:
                    if (stack.size() >= MAX_PUSH_DEPTH) {
                        return false;
                    }
                    stack.push_back(state);
                    break;
                case TAG_POP:
                    if (stack.empty()) {
                        return false;
                    }
                    state = stack.back();
                    stack.pop_back();
                    break;
                default:
                    break;
            }
        } else if (type == TYPE_MAIN && (tag == TAG_INPUT || tag == TAG_OUTPUT)) {
            const uint64_t bits = static_cast<uint64_t>(state.reportSize) * state.reportCount;
            auto& perId = tag == TAG_INPUT ? inputBits : outputBits;
            uint64_t& total = perId[state.reportId];
            total += bits;
            // Anything near this size is corrupt; stop before the sum can overflow.
            if (total > 8u * 0xFFFFu) {
                return false;
            }
        }
    }

    // The largest report in bytes (bits rounded up), plus the report-id byte, which the
    // link's layout always carries, numbered reports or not.
    auto largest = [](const std::map<uint32_t, uint64_t>& perId) -> uint64_t {
        uint64_t bytes = 0;
        for (const auto& [id, bits] : perId) {
            bytes = std::max<uint64_t>(bytes, (bits + 7) / 8);
        }
        return perId.empty() ? 0 : bytes + 1;
    };
    const uint64_t inputBytes = largest(inputBits);
    const uint64_t outputBytes = largest(outputBits);
    if (inputBytes > 0xFFFF || outputBytes > 0xFFFF) {
        return false;
    }
    lengths.inputBytes = static_cast<uint16_t>(inputBytes);
    lengths.outputBytes = static_cast<uint16_t>(outputBytes);
    lengths.numberedReports = numbered;
    return true;
}

}  // namespace platform::linux_hid
