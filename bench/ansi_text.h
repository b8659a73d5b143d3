// The board's text is single-byte ANSI (Windows-1252): one byte, one character.
#pragma once

#include <QChar>
#include <QString>
#include <cstdint>
#include <string>

// The character a byte stands for; 0x80..0x9F are the Windows-1252 symbols.
QChar CharFromAnsi(uint8_t byte);
// The bytes of a text, one per character; a character ANSI cannot hold becomes '?'.
std::string AnsiFromText(const QString& text);
// A byte string read as zero-terminated ANSI text: a zero byte ends it.
QString TextFromAnsi(const uint8_t* bytes, size_t count);
QString TextFromAnsi(const std::string& bytes);
