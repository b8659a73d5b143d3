// Text in a Windows code page (932, 1251, 10000, ...) decoded by the system's own converter,
// for the code pages the GUI toolkit's decoders do not know.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// `bytes` in `codePage` as UTF-16; nothing when the system has no converter for that page.
// Bytes the page does not map become U+FFFD.
std::optional<std::u16string> DecodeCodePage(int codePage, std::string_view bytes);

}  // namespace platform
