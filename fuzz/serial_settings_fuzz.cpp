// libFuzzer target of the serial settings correction: whatever is asked for, the result
// holds only values the link supports, settings that are supported already and the port name
// stay as asked, and correcting it again changes nothing. (Which default replaces what is
// the unit test's table.)
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "serial/serial_settings.h"

namespace {

constexpr std::array<uint32_t, 10> SUPPORTED_RATES = {300,  600,   1200,  2400,  4800,
                                                      9600, 14400, 19200, 38400, 57600};

bool Supported(const SerialSettings& s) {
    return std::find(SUPPORTED_RATES.begin(), SUPPORTED_RATES.end(), s.baudRate) !=
               SUPPORTED_RATES.end() &&
           (s.dataBits == 7 || s.dataBits == 8) && s.parity <= 4 && s.stopBits <= 2 &&
           s.flowControl >= 0 && s.flowControl <= 3;
}

bool Same(const SerialSettings& a, const SerialSettings& b) {
    return a.portName == b.portName && a.baudRate == b.baudRate && a.dataBits == b.dataBits &&
           a.parity == b.parity && a.stopBits == b.stopBits && a.flowControl == b.flowControl;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    SerialSettings asked;
    // Often a supported rate, so both branches are reached.
    asked.baudRate = input.ConsumeBool()
                         ? SUPPORTED_RATES[input.ConsumeIntegralInRange<size_t>(0, 9)]
                         : input.ConsumeIntegral<uint32_t>();
    asked.dataBits = input.ConsumeIntegral<uint8_t>();
    asked.parity = input.ConsumeIntegral<uint8_t>();
    asked.stopBits = input.ConsumeIntegral<uint8_t>();
    asked.flowControl = input.ConsumeIntegral<int32_t>();
    asked.portName = input.ConsumeRemainingBytesAsString();

    const SerialSettings got = CorrectSettings(asked);
    const bool valid = Supported(got);
    // Settings the link supports already are kept as they are, the port name always.
    const bool kept = got.portName == asked.portName && (!Supported(asked) || Same(got, asked));
    if (!valid || !kept || !Same(CorrectSettings(got), got)) {
        std::abort();
    }
    return 0;
}
