// Code pages through the system's own converter.
#include "platform/code_pages.h"

#include "platform/windows/win_api.h"

#include <climits>

namespace platform {

namespace {

constexpr char16_t REPLACEMENT = u'\uFFFD';

// Appends the conversion of bytes; false when the page refuses them as invalid.
bool AppendStrict(UINT codePage, const char* bytes, int size, std::u16string& out) {
    const int needed = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, size, nullptr, 0);
    if (needed <= 0) {
        return false;
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(needed));
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, size,
                        reinterpret_cast<wchar_t*>(out.data() + at), needed);
    return true;
}

// Without the strict flag, as pages that refuse it (ISO 2022, the symbol page) need.
std::optional<std::u16string> DecodeLenient(UINT codePage, std::string_view bytes) {
    const int size = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::u16string out(static_cast<size_t>(needed), u'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, reinterpret_cast<wchar_t*>(out.data()),
                        needed);
    return out;
}

}  // namespace

std::optional<std::u16string> DecodeCodePage(int codePage, std::string_view bytes) {
    if (codePage <= 0 || !IsValidCodePage(static_cast<UINT>(codePage)) || bytes.size() > INT_MAX) {
        return std::nullopt;
    }
    const UINT page = static_cast<UINT>(codePage);
    std::u16string out;
    if (bytes.empty()) {
        return out;
    }
    if (AppendStrict(page, bytes.data(), static_cast<int>(bytes.size()), out)) {
        return out;
    }
    if (GetLastError() == ERROR_INVALID_FLAGS) {
        return DecodeLenient(page, bytes);
    }
    // Some byte is not mapped. Where characters are one or two bytes the text is decoded a
    // character at a time, so only the unmapped ones become U+FFFD; otherwise the system's
    // own substitutes stand.
    CPINFO info{};
    if (!GetCPInfo(page, &info) || info.MaxCharSize > 2) {
        return DecodeLenient(page, bytes);
    }
    out.clear();
    size_t at = 0;
    while (at < bytes.size()) {
        const BYTE lead = static_cast<BYTE>(bytes[at]);
        const int length =
            info.MaxCharSize == 2 && IsDBCSLeadByteEx(page, lead) && at + 1 < bytes.size() ? 2 : 1;
        if (AppendStrict(page, bytes.data() + at, length, out)) {
            at += static_cast<size_t>(length);
        } else {
            // Only the first byte is dropped: the next may start a character of its own.
            out.push_back(REPLACEMENT);
            at += 1;
        }
    }
    return out;
}

}  // namespace platform
