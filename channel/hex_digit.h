// The value of one hex digit, wherever bytes are written in hex: the send boxes' hex mode and
// the \'hh escapes of RTF documents.
#pragma once

// 0..15 for 0-9, a-f and A-F; -1 for anything else.
constexpr int HexDigitValue(char32_t c) {
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}
