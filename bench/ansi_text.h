// The board's text is single-byte ANSI (Windows-1252): one byte, one character.
#pragma once

#include <QChar>
#include <QString>
#include <cstdint>
#include <string>

// The character a byte stands for; 0x80..0x9F are the Windows-1252 symbols.
QChar CharFromAnsi(uint8_t byte);
// How the traffic view draws a character of the board's text that is not a line end, and so
// what a log of it holds: a control character as its picture (ESC as U+241B), DEL as U+2421,
// and the five C1 controls Windows-1252 leaves unassigned as U+FFFD. Each still takes one
// column, and nothing shown or logged can act on a terminal.
inline QChar ShownChar(QChar ch) {
    const char16_t code = ch.unicode();
    if (code < 0x20) {
        return QChar(static_cast<char16_t>(0x2400 + code));
    }
    if (code == 0x7F) {
        return QChar(static_cast<char16_t>(0x2421));
    }
    return code >= 0x80 && code < 0xA0 ? QChar(QChar::ReplacementCharacter) : ch;
}
// The bytes of a text, one per character; a character ANSI cannot hold becomes '?'.
std::string AnsiFromText(const QString& text);
// A byte string read as zero-terminated ANSI text: a zero byte ends it.
QString TextFromAnsi(const uint8_t* bytes, size_t count);
QString TextFromAnsi(const std::string& bytes);
