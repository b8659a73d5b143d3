// libFuzzer target of the serial settings correction: whatever is asked for, the result
// holds only values the link supports, keeps every supported value and the port name as
// asked, and correcting it again changes nothing.
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

bool Supported(uint32_t rate) {
    return std::find(SUPPORTED_RATES.begin(), SUPPORTED_RATES.end(), rate) != SUPPORTED_RATES.end();
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
    const bool valid = Supported(got.baudRate) && (got.dataBits == 7 || got.dataBits == 8) &&
                       got.parity <= 4 && got.stopBits <= 2 && got.flowControl >= 0 &&
                       got.flowControl <= 3;
    // A supported value is kept; an unsupported one becomes the default.
    const bool kept =
        got.portName == asked.portName &&
        got.baudRate == (Supported(asked.baudRate) ? asked.baudRate : 19200u) &&
        got.dataBits == (asked.dataBits == 7 || asked.dataBits == 8 ? asked.dataBits : 8) &&
        got.parity == (asked.parity <= 4 ? asked.parity : 0) &&
        got.stopBits == (asked.stopBits <= 2 ? asked.stopBits : 0) &&
        got.flowControl ==
            (asked.flowControl >= 0 && asked.flowControl <= 3 ? asked.flowControl : 0);
    if (!valid || !kept || !Same(CorrectSettings(got), got)) {
        std::abort();
    }
    return 0;
}
