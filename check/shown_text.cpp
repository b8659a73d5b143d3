// Escaping what the board and the system hand palvex-check before it reaches a person.
#include "check/shown_text.h"

#include <cstdint>

namespace {

void AppendEscaped(std::string& out, uint8_t byte) {
    static const char HEX[] = "0123456789ABCDEF";
    out += "\\x";
    out += HEX[byte >> 4];
    out += HEX[byte & 0xF];
}

}  // namespace

std::string BoardText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            AppendEscaped(out, byte);
        }
    }
    return out;
}

std::string TerminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const size_t length = Utf8Sequence(text, at, code);
        // A C1 control's two bytes are escaped one by one: the second is then a stray one.
        if (length == 0 || code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            AppendEscaped(out, static_cast<uint8_t>(text[at]));
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

size_t Utf8Sequence(std::string_view text, size_t at, char32_t& code) {
    const auto lead = static_cast<uint8_t>(text[at]);
    size_t length = 0;
    char32_t least = 0;  // below this the form is overlong
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1F;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0F;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<uint8_t>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        return 0;
    }
    return length;
}
