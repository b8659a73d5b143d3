// Everything the program sends to the Kit and how it reaches it, in one place.
#pragma once

#include <cstdint>

// The board's USB identity.
inline constexpr uint16_t KIT_VENDOR_ID = 0xD804;
inline constexpr uint16_t KIT_PRODUCT_ID = 0x0032;

// Commands, three bytes each, so each travels in one output report.
inline constexpr uint8_t VERSION_REQUEST[3] = {0x1B, 0x56, 0x76};       // ESC "V" "v"
inline constexpr uint8_t LED_FLASHING_COMMAND[3] = {0x1B, 0x4C, 0x01};  // ESC "L" 01h
inline constexpr uint8_t LED_STOP_COMMAND[3] = {0x1B, 0x4C, 0x00};      // ESC "L" 00h
inline constexpr uint8_t CLOSE_COMMAND[3] = {0x1B, 0x54, 0x74};         // ESC "T" "t"

// Bytes of the firmware-version reply.
inline constexpr int VERSION_LENGTH = 5;

// The board's serial line: 19200 baud, 8 data bits, no parity, one stop bit, no flow control.
inline constexpr uint32_t KIT_BAUD_RATE = 19200;
inline constexpr uint8_t KIT_DATA_BITS = 8;
inline constexpr uint8_t KIT_PARITY = 0;
inline constexpr uint8_t KIT_STOP_BITS = 0;
inline constexpr int32_t KIT_FLOW_CONTROL = 0;
