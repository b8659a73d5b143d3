// The settings correction: supported values are kept, every other value becomes its default.
#include "serial/serial_settings.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

auto Fields(const SerialSettings& s) {
    return std::make_tuple(s.portName, s.baudRate, s.dataBits, s.parity, s.stopBits, s.flowControl);
}

TEST(SerialSettings, UnsupportedValuesBecomeDefaultsAndSupportedOnesStay) {
    struct Case {
        SerialSettings in;
        SerialSettings out;
    };
    const Case cases[] = {
        {{"COM3", 115200, 9, 7, 3, 4}, {"COM3", 19200, 8, 0, 0, 0}},
        {{"COM1", 14400, 7, 2, 2, 1}, {"COM1", 14400, 7, 2, 2, 1}},
        {{"COM2", 19200, 8, 0, 0, -1}, {"COM2", 19200, 8, 0, 0, 0}},
        {{"COM4", 57600, 8, 4, 1, 3}, {"COM4", 57600, 8, 4, 1, 3}},
        {{"COM2", 14399, 8, 0, 0, 0}, {"COM2", 19200, 8, 0, 0, 0}},
        {{"COM1", 300, 6, 5, 0, 2}, {"COM1", 300, 8, 0, 0, 2}},
        {{"COM1", 110, 0, 255, 255, INT32_MIN}, {"COM1", 19200, 8, 0, 0, 0}},
        {{"COM1", 0, 8, 0, 0, INT32_MAX}, {"COM1", 19200, 8, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Fields(CorrectSettings(c.in)), Fields(c.out)) << "rate " << c.in.baudRate;
    }
}

}  // namespace
