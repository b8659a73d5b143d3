// A small RTF reader for the ReadMe page: turns the RTF that word processors write into a
// QTextDocument (Qt reads HTML and Markdown, not RTF).
#pragma once

#include <QString>
#include <QStringDecoder>
#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

class QTextDocument;

// Bytes of a document the reader looks at; anything after them is ignored.
constexpr std::size_t RTF_MAX_DOCUMENT_BYTES = 16u * 1024u * 1024u;
// Groups nested deeper than this are read as if their braces were not there.
constexpr int RTF_MAX_GROUP_DEPTH = 1000;
// The produced document stops growing at these sizes (characters, paragraphs).
constexpr int RTF_MAX_TEXT_CHARACTERS = 4 * 1024 * 1024;
constexpr int RTF_MAX_PARAGRAPHS = 200000;
// Decoders kept for the code pages of one document: a document may name any number of them.
constexpr std::size_t RTF_MAX_CACHED_DECODERS = 8;

// Replaces the content of `document` by the RTF document `rtf`. Malformed input gives
// whatever could be understood; input that does not start with "{\rtf" is shown as plain
// text. Never throws, never recurses on the input's nesting, runs in time linear in the input.
void ReadRtf(std::string_view rtf, QTextDocument& document);

// Turns bytes of a Windows code page into text, keeping the decoders of the code pages used
// last; a code page Qt does not know gives code page 1252.
class CCodePageDecoders {
  public:
    QString Decode(int codePage, std::string_view bytes);
    std::size_t Cached() const { return decoders.size(); }

  private:
    // Most recently used last; a null decoder marks a code page Qt does not know.
    std::vector<std::pair<int, std::unique_ptr<QStringDecoder>>> decoders;
};
