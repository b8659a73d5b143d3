// Text at the Win32 boundary: UTF-8 paths and names in, UTF-16 to the wide API, and the
// system's own messages back as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform::windows {

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// FormatMessageW's text for a Win32 error code, without the trailing line break; the code
// itself in decimal when the system has no text for it.
std::string SystemErrorText(unsigned long code);

}  // namespace platform::windows
