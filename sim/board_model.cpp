// The Kit's firmware as the host sees it.
#include "sim/board_model.h"

namespace sim {

namespace {
constexpr uint8_t ESC = 0x1B;
}

std::vector<std::vector<uint8_t>> CBoardModel::TakeReport(const uint8_t* report, uint32_t length) {
    lastTaken = Taken::NOTHING;
    // The firmware reads report id 0, a length byte and that many payload bytes; anything
    // else is not a report it understands, and it ignores it.
    if (length < 2 || report[0] != 0) {
        return {};
    }
    const uint32_t payloadLength = report[1];
    if (payloadLength > KIT_MAX_PAYLOAD || payloadLength + 2 > length) {
        return {};
    }
    const uint8_t* payload = report + 2;
    // A command is a report that carries exactly its three bytes.
    if (payloadLength == 3 && payload[0] == ESC) {
        if (payload[1] == 'V' && payload[2] == 'v') {
            ++versionRequests;
            lastTaken = Taken::VERSION_REQUEST;
            if (silent || versionReply == VersionReply::NONE) {
                return {};
            }
            std::vector<uint8_t> reply(version.begin(), version.end());
            reply.resize(5, ' ');
            if (versionReply == VersionReply::SHORT) {
                reply.resize(SHORT_REPLY_LENGTH);
            } else if (versionReply == VersionReply::LONG) {
                // Longer than one report holds: the tail comes in a second one.
                reply.insert(reply.end(), LONG_REPLY_TAIL, LONG_REPLY_TAIL + 4);
                return {std::vector<uint8_t>(reply.begin(), reply.begin() + KIT_MAX_PAYLOAD),
                        std::vector<uint8_t>(reply.begin() + KIT_MAX_PAYLOAD, reply.end())};
            }
            return {reply};
        }
        if (payload[1] == 'L' && (payload[2] == 0 || payload[2] == 1)) {
            ledFlashing = payload[2] == 1;
            lastTaken = ledFlashing ? Taken::LED_FLASHING : Taken::LED_STOP;
            return {};
        }
        if (payload[1] == 'T' && payload[2] == 't') {
            ++closeCommands;
            lastTaken = Taken::CLOSE_COMMAND;
            if (silent) {
                return {};
            }
            return {std::vector<uint8_t>{}};
        }
    }
    if (payloadLength == 0) {
        return {};
    }
    lastTaken = Taken::DATA;
    if (silent) {
        return {};
    }
    // Anything else is user data, echoed on the channel it came in on.
    return {std::vector<uint8_t>(payload, payload + payloadLength)};
}

std::vector<uint8_t> CBoardModel::TakeSerial(const uint8_t* bytes, size_t count) const {
    if (silent) {
        return {};
    }
    return std::vector<uint8_t>(bytes, bytes + count);
}

}  // namespace sim
