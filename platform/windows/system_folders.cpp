// Where Palvex keeps its documents on Windows (beside palvex.exe, as the portable zip has
// them) and the system's drivers directory.
#include "platform/windows/win_api.h"

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/win_elevation.h"
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
    // The system directory, not the Windows directory + "system32": a Remote Desktop host gives
    // a program that is not marked terminal-server aware a private Windows directory of its own.
    const UINT needed = GetSystemDirectoryW(nullptr, 0);
    if (needed == 0) {
        return "C:\\Windows\\system32\\drivers";
    }
    std::wstring system(needed, L'\0');
    const UINT length = GetSystemDirectoryW(system.data(), needed);
    system.resize(length < needed ? length : 0);
    if (!system.empty() && system.back() == L'\\') {
        system.pop_back();
    }
    return Utf8FromWide(system) + "\\drivers";
}

std::vector<std::string> ElevatedCopier() {
    // palvex-copy-firmware.exe beside the program, started through UAC; only where no
    // standard user could change it (an install for all users), since whatever sits there
    // runs as administrator.
    const std::vector<std::string> folders = DocumentFolders();
    if (folders.size() < 2) {
        return {};
    }
    const std::string copier = JoinPath(folders[1], "palvex-copy-firmware.exe");
    const DWORD attributes = GetFileAttributesW(windows::WideFromUtf8(copier).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {};
    }
    if (!windows::StandardUserCanChange(copier).empty()) {
        return {};
    }
    return {copier};
}

std::string DriversDirectoryRemedy() {
    // A 64-bit program gets no file virtualisation: without an elevated token every write
    // into the system directory is refused.
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    bool elevated = false;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        elevated =
            GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
            elevation.TokenIsElevated != 0;
        CloseHandle(token);
    }
    if (elevated) {
        return {};
    }
    return "Only an administrator may write to the drivers folder. " +
           windows::RunAsAdministratorAdvice();
}

}  // namespace platform
