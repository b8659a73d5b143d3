// On Linux Qt's own decoders (ICU) know every code page a document names; the system adds none.
#include "platform/code_pages.h"

namespace platform {

std::optional<std::u16string> DecodeCodePage(int /*codePage*/, std::string_view /*bytes*/) {
    return std::nullopt;
}

}  // namespace platform
