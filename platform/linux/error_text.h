// The system's text for an errno value, as the Linux backends pass it on to the user.
#pragma once

#include <string>
#include <system_error>

namespace platform {

inline std::string ErrorText(int code) {
    return std::system_category().message(code);
}

}  // namespace platform
