// A small RTF reader for the ReadMe page: turns the RTF that word processors write into a
// QTextDocument (Qt reads HTML and Markdown, not RTF).
#pragma once

#include <cstddef>
#include <string_view>

class QTextDocument;

// Bytes of a document the reader looks at; anything after them is ignored.
constexpr std::size_t RTF_MAX_DOCUMENT_BYTES = 16u * 1024u * 1024u;
// Groups nested deeper than this are read as if their braces were not there.
constexpr int RTF_MAX_GROUP_DEPTH = 1000;
// The produced document stops growing at these sizes (characters, paragraphs).
constexpr int RTF_MAX_TEXT_CHARACTERS = 4 * 1024 * 1024;
constexpr int RTF_MAX_PARAGRAPHS = 200000;

// Replaces the content of `document` by the RTF document `rtf`. Malformed input gives
// whatever could be understood; input that does not start with "{\rtf" is shown as plain
// text. Never throws, never recurses on the input's nesting, runs in time linear in the input.
void ReadRtf(std::string_view rtf, QTextDocument& document);
