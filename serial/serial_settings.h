// The parameters of one serial port, as the page asks for them.
#pragma once

#include <cstdint>
#include <string>

struct SerialSettings {
    std::string portName;  // "COM1" .. "COM4"
    uint32_t baudRate = 19200;
    uint8_t dataBits = 8;
    uint8_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0;     // 0 one, 1 one and a half, 2 two
    int32_t flowControl = 0;  // 0 none, 1 RTS/CTS, 2 DTR/DSR, 3 XON/XOFF
};

// Replaces every value the link does not support by its default.
SerialSettings CorrectSettings(const SerialSettings& settings);

// The board's line on the named port: 19200 baud, 8N1, no flow control.
SerialSettings KitLineSettings(const std::string& portName);
