// What the Kit's firmware does with what the host sends it: the one board model behind the
// simulated Kit in-process and the gadget Kit on a real kernel. Not thread-safe: its owner
// guards it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr const char* DEFAULT_VERSION = "K1.07";
// Payload bytes one input report carries after its length byte.
inline constexpr uint32_t KIT_MAX_PAYLOAD = 7;

// How the board answers a version request: with its five characters, with the first three
// only, with the five and four more, or not at all (everything else it still answers).
enum class VersionReply { FULL, SHORT, LONG, NONE };
// The tail a long version reply carries after the five characters.
inline constexpr const char* LONG_REPLY_TAIL = "-rc2";
inline constexpr size_t SHORT_REPLY_LENGTH = 3;

// What the last output report was to the board.
enum class Taken { NOTHING, VERSION_REQUEST, LED_FLASHING, LED_STOP, CLOSE_COMMAND, DATA };

class CBoardModel {
  public:
    // One output report from the host, byte 0 its report id. Returns the payloads the board
    // answers with, one input report each (an empty payload is a report of length 0).
    std::vector<std::vector<uint8_t>> TakeReport(const uint8_t* report, uint32_t length);
    // Bytes from the host on the serial line; returns what the board sends back.
    std::vector<uint8_t> TakeSerial(const uint8_t* bytes, size_t count) const;

    // A silent board answers nothing (no version, no close answer, no echo).
    bool silent = false;
    bool ledFlashing = false;
    std::string version = DEFAULT_VERSION;  // the 5 characters of the version reply
    VersionReply versionReply = VersionReply::FULL;
    Taken lastTaken = Taken::NOTHING;
    int versionRequests = 0;
    int closeCommands = 0;
};

}  // namespace sim
