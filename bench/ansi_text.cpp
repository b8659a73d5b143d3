// Conversion between the board's single-byte ANSI text and the GUI's strings.
#include "bench/ansi_text.h"

namespace {

// Windows-1252 for 0x80..0x9F; the five unassigned codes keep their Latin-1 value.
constexpr char16_t CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

QChar CharFromAnsi(uint8_t byte) {
    if (byte >= 0x80 && byte < 0xA0) {
        return QChar(CP1252_HIGH[byte - 0x80]);
    }
    return QChar(static_cast<char16_t>(byte));
}

std::string AnsiFromText(const QString& text) {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(text.size()));
    for (const QChar ch : text) {
        const char16_t code = ch.unicode();
        char byte = '?';
        if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
            byte = static_cast<char>(code);
        } else {
            for (int i = 0; i < 32; ++i) {
                if (CP1252_HIGH[i] == code) {
                    byte = static_cast<char>(0x80 + i);
                    break;
                }
            }
        }
        bytes.push_back(byte);
    }
    return bytes;
}

QString TextFromAnsi(const uint8_t* bytes, size_t count) {
    QString text;
    for (size_t i = 0; i < count && bytes[i] != 0; ++i) {
        text.append(CharFromAnsi(bytes[i]));
    }
    return text;
}

QString TextFromAnsi(const std::string& bytes) {
    return TextFromAnsi(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
