// Settings correction: every value the link does not support falls back to its default; the
// board's own line settings.
#include "serial/serial_settings.h"

#include <algorithm>
#include <array>

#include "channel/board_commands.h"

namespace {

// The only rates the link accepts; anything else (110, 115200, ...) becomes 19200.
constexpr std::array<uint32_t, 10> SUPPORTED_BAUD_RATES = {300,  600,   1200,  2400,  4800,
                                                           9600, 14400, 19200, 38400, 57600};
constexpr uint32_t DEFAULT_BAUD_RATE = 19200;
constexpr uint8_t DEFAULT_DATA_BITS = 8;

}  // namespace

SerialSettings CorrectSettings(const SerialSettings& settings) {
    SerialSettings corrected = settings;
    if (std::find(SUPPORTED_BAUD_RATES.begin(), SUPPORTED_BAUD_RATES.end(), settings.baudRate) ==
        SUPPORTED_BAUD_RATES.end()) {
        corrected.baudRate = DEFAULT_BAUD_RATE;
    }
    if (settings.dataBits != 7 && settings.dataBits != 8) {
        corrected.dataBits = DEFAULT_DATA_BITS;
    }
    if (settings.parity > 4) {
        corrected.parity = 0;
    }
    if (settings.stopBits > 2) {
        corrected.stopBits = 0;
    }
    if (settings.flowControl < 0 || settings.flowControl > 3) {
        corrected.flowControl = 0;
    }
    return corrected;
}

SerialSettings KitLineSettings(const std::string& portName) {
    SerialSettings settings;
    settings.portName = portName;
    settings.baudRate = KIT_BAUD_RATE;
    settings.dataBits = KIT_DATA_BITS;
    settings.parity = KIT_PARITY;
    settings.stopBits = KIT_STOP_BITS;
    settings.flowControl = KIT_FLOW_CONTROL;
    return settings;
}
