// Where Palvex keeps its documents on Windows (beside palvex.exe, as the portable zip has
// them) and the system's drivers directory.
#include "platform/windows/win_api.h"

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/win_text.h"

namespace platform {

using windows::Utf8FromWide;

std::vector<std::string> DocumentFolders() {
    std::vector<std::string> folders{"."};
    // Paths can be longer than MAX_PATH; grow until the name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return folders;
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        if (buffer.size() >= 32768) {
            return folders;
        }
        buffer.resize(buffer.size() * 2);
    }
    const size_t slash = buffer.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        folders.push_back(Utf8FromWide(buffer.substr(0, slash)));
    }
    return folders;
}

std::string DriversDirectory() {
    const UINT needed = GetWindowsDirectoryW(nullptr, 0);
    if (needed == 0) {
        return "C:\\Windows\\system32\\drivers";
    }
    std::wstring windows(needed, L'\0');
    const UINT length = GetWindowsDirectoryW(windows.data(), needed);
    windows.resize(length < needed ? length : 0);
    // A root directory ("C:\") already ends in the separator.
    if (!windows.empty() && windows.back() == L'\\') {
        windows.pop_back();
    }
    return Utf8FromWide(windows) + "\\system32\\drivers";
}

}  // namespace platform
