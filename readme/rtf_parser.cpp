// The RTF tokenizer: one pass over the bytes with an explicit group stack; text bytes wait
// until they can be decoded whole in their code page.
#include "readme/rtf_parser.h"

#include <algorithm>

namespace rtf {

CRtfParser::CRtfParser(std::string_view input, QTextDocument& document)
    : in(input), cursor(&document) {
    stack.emplace_back();
    SetDefaultTabStops(DEFAULT_TAB_TWIPS);
}

void CRtfParser::Run() {
    while (pos < in.size() && !finished) {
        const unsigned char c = static_cast<unsigned char>(in[pos]);
        switch (c) {
            case '{':
                ++pos;
                skipCount = 0;
                FlushBytes();
                OpenGroup();
                break;
            case '}':
                ++pos;
                skipCount = 0;
                FlushBytes();
                CloseGroup();
                break;
            case '\\':
                ReadControl();
                break;
            case '\r':
            case '\n':
                ++pos;
                break;
            default:
                ++pos;
                if (skipCount > 0) {
                    --skipCount;
                } else {
                    TextByte(c);
                }
        }
    }
    FlushBytes();
    FlushText();
    Finish();
}

void CRtfParser::OpenGroup() {
    if (static_cast<int>(stack.size()) > RTF_MAX_GROUP_DEPTH) {
        ++ignoredGroups;
        return;
    }
    stack.push_back(stack.back());
}

void CRtfParser::CloseGroup() {
    if (ignoredGroups > 0) {
        if (ignoredGroups == destinationGroup) {
            State().destination = outerDestination;
            destinationGroup = 0;
        }
        --ignoredGroups;
        return;
    }
    if (stack.size() <= 1) {
        return;  // more closing braces than opening ones
    }
    // Text of a paragraph that ends without \par takes the paragraph format it was in.
    if (!(State().para == stack[stack.size() - 2].para)) {
        FlushText();
    }
    if (State().destination == Destination::FontTable) {
        StoreFont();
    }
    const bool leavesColorTable = State().destination == Destination::ColorTable &&
                                  stack[stack.size() - 2].destination != Destination::ColorTable;
    if (leavesColorTable && colorComponentSet) {
        StoreColor();
    }
    stack.pop_back();
    if (stack.size() == 1) {
        finished = true;  // the document's outermost group has ended
    }
}

void CRtfParser::ReadControl() {
    ++pos;  // the backslash
    if (pos >= in.size()) {
        finished = true;  // truncated control word
        return;
    }
    const unsigned char c = static_cast<unsigned char>(in[pos]);
    if (trailExpected && (c == '\\' || c == '{' || c == '}')) {
        ++pos;
        PushByte(c);  // the second byte of a double-byte character
        return;
    }
    if (c != '\'') {
        FlushBytes();
    }
    if (IsLetter(c)) {
        ReadWord();
        return;
    }
    ++pos;
    if (c == '\'') {
        int value = 0;
        int digits = 0;
        while (digits < 2 && pos < in.size() && HexValue(in[pos]) >= 0) {
            value = value * 16 + HexValue(in[pos]);
            ++pos;
            ++digits;
        }
        if (skipCount > 0) {
            --skipCount;
        } else if (digits == 2 && State().destination != Destination::Skip) {
            PushByte(static_cast<unsigned char>(value));
        }
        return;
    }
    if (skipCount > 0) {
        --skipCount;
        return;
    }
    switch (c) {
        case '\\':
        case '{':
        case '}':
            EmitChar(c);
            break;
        case '~':
            EmitChar(0x00A0);
            break;
        case '-':
            EmitChar(0x00AD);
            break;
        case '_':
            EmitChar(0x2011);
            break;
        case '*':
            SetDestination(Destination::Skip);
            break;
        case '\r':
        case '\n':
            EndParagraph();
            break;
        case '\t':
            EmitChar(u'\t');
            break;
        default:
            break;  // \| \: and unknown symbols mean nothing for display
    }
}

void CRtfParser::ReadWord() {
    const std::size_t start = pos;
    while (pos < in.size() && IsLetter(static_cast<unsigned char>(in[pos]))) {
        ++pos;
    }
    const std::string_view word =
        in.substr(start, std::min<std::size_t>(pos - start, MAX_WORD_LETTERS + 1));
    bool hasParameter = false;
    long long parameter = 0;
    bool negative = false;
    if (pos + 1 < in.size() && in[pos] == '-' && IsDigit(in[pos + 1])) {
        negative = true;
        ++pos;
    }
    int digits = 0;
    while (pos < in.size() && IsDigit(in[pos])) {
        if (digits < MAX_PARAMETER_DIGITS) {
            parameter = parameter * 10 + (in[pos] - '0');
        }
        ++digits;
        ++pos;
    }
    if (digits > 0) {
        hasParameter = true;
        parameter = std::clamp<long long>(negative ? -parameter : parameter, INT32_MIN, INT32_MAX);
    }
    if (pos < in.size() && in[pos] == ' ') {
        ++pos;  // the delimiter belongs to the control word
    }
    const auto it = Keywords().find(word);
    if (it == Keywords().end()) {
        if (skipCount > 0) {
            --skipCount;
        }
        return;
    }
    const int value = static_cast<int>(parameter);
    if (it->second == Key::Bin) {
        // Binary data follows whatever the destination; it is never text.
        if (skipCount > 0) {
            --skipCount;
        }
        const std::size_t size = hasParameter && value > 0 ? static_cast<std::size_t>(value) : 0;
        pos += std::min(size, in.size() - pos);
        return;
    }
    if (skipCount > 0) {
        --skipCount;
        return;
    }
    HandleWord(it->second, hasParameter, value);
}

void CRtfParser::TextByte(unsigned char c) {
    if (State().destination == Destination::Skip) {
        return;
    }
    // Double-byte code pages take second bytes from the ASCII range too.
    if (c >= 0x80 || (trailExpected && c >= 0x40)) {
        PushByte(c);
        return;
    }
    FlushBytes();
    if (c == '\t') {
        EmitChar(u'\t');
    } else if (c >= 0x20) {
        EmitChar(c);
    }
}

void CRtfParser::PushByte(unsigned char c) {
    trailExpected = !trailExpected && IsLeadByte(CurrentCodePage(), c);
    pendingBytes.push_back(static_cast<char>(c));
}

bool CRtfParser::IsLeadByte(int codePage, unsigned char c) {
    switch (codePage) {
        case 932:
            return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        case 936:
        case 949:
        case 950:
            return c >= 0x81 && c <= 0xFE;
        default:
            return false;
    }
}

int CRtfParser::CurrentCodePage() const {
    // A font name is in the font's own code page; a symbol font's name is in letters.
    if (stack.back().destination == Destination::FontTable) {
        return tableEntry.codePage != 0 && tableEntry.codePage != SYMBOL_CODE_PAGE
                   ? tableEntry.codePage
                   : documentCodePage;
    }
    const int font = stack.back().chars.font >= 0 ? stack.back().chars.font : defaultFont;
    const auto it = fonts.find(font);
    if (stack.back().destination == Destination::Text && it != fonts.end() &&
        it->second.codePage != 0) {
        return it->second.codePage;
    }
    return documentCodePage;
}

void CRtfParser::FlushBytes() {
    trailExpected = false;
    if (pendingBytes.empty()) {
        return;
    }
    const int codePage = CurrentCodePage();
    const QString text = codePage == SYMBOL_CODE_PAGE    ? DecodeSymbol(pendingBytes)
                         : codePage == DEFAULT_CODE_PAGE ? DecodeCp1252(pendingBytes)
                                                         : decoders.Decode(codePage, pendingBytes);
    pendingBytes.clear();
    Emit(text);
}

void CRtfParser::EmitUnicode(bool hasParameter, int value) {
    const char32_t code = static_cast<char32_t>(value < 0 ? value + 65536 : value);
    if (hasParameter && code <= 0x10FFFF && (code >= 0x20 || code == '\t')) {
        if (code >= 0xF020 && code <= 0xF0FF) {
            // Where Windows puts the characters of symbol fonts.
            const char byte = static_cast<char>(code - 0xF000);
            Emit(DecodeSymbol(std::string_view(&byte, 1)));
        } else if (code > 0xFFFF) {
            Emit(QString::fromUcs4(&code, 1));
        } else {
            EmitChar(static_cast<char16_t>(code));
        }
    }
    skipCount = State().unicodeSkip;
}

bool CRtfParser::IsLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace rtf
