// Whether a program may be started elevated, asked of the system's own access check: this
// process's token with every administrator group made deny-only stands for the user as a
// consent prompt finds them, and no right that would let them change the program, plant a
// DLL beside it or swap a folder on its way may be granted to that token.
#include "platform/windows/win_elevation.h"

#include "platform/windows/win_api.h"

#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/windows/win_text.h"

namespace platform::windows {

namespace {

// Rewriting the program, or its permissions, owner or name.
constexpr DWORD PROGRAM_CHANGES =
    FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE;
// A DLL or a ".local" folder put beside it, the program itself swapped for another.
constexpr DWORD FOLDER_CHANGES =
    FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | DELETE;
// A folder on the way renamed aside and another put in its place.
constexpr DWORD ABOVE_CHANGES = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | DELETE;

// Groups whose members are administrators in all but name: the local ones, and a domain's
// Domain, Schema and Enterprise Admins (S-1-5-21-…-512, 518, 519).
bool IsAdministratorGroup(PSID sid) {
    for (const WELL_KNOWN_SID_TYPE type :
         {WinBuiltinAdministratorsSid, WinBuiltinAccountOperatorsSid, WinBuiltinSystemOperatorsSid,
          WinBuiltinBackupOperatorsSid, WinLocalSystemSid}) {
        if (IsWellKnownSid(sid, type)) {
            return true;
        }
    }
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    if (std::memcmp(GetSidIdentifierAuthority(sid), &nt, sizeof nt) != 0 || count < 2 ||
        *GetSidSubAuthority(sid, 0) != SECURITY_NT_NON_UNIQUE) {
        return false;
    }
    const DWORD rid = *GetSidSubAuthority(sid, count - 1);
    return rid == DOMAIN_GROUP_RID_ADMINS || rid == DOMAIN_GROUP_RID_SCHEMA_ADMINS ||
           rid == DOMAIN_GROUP_RID_ENTERPRISE_ADMINS;
}

// This process's token without its administrator groups, as AccessCheck takes it; null with
// the system's code in `error`.
HANDLE StandardUserToken(DWORD& error) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) {
        error = GetLastError();
        return nullptr;
    }
    DWORD size = 0;
    GetTokenInformation(own, TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    std::vector<SID_AND_ATTRIBUTES> disable;
    HANDLE restricted = nullptr;
    bool made = GetTokenInformation(own, TokenGroups, buffer.data(), size, &size) != FALSE;
    if (made) {
        const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
        for (DWORD i = 0; i < groups->GroupCount; ++i) {
            if (IsAdministratorGroup(groups->Groups[i].Sid)) {
                disable.push_back({groups->Groups[i].Sid, 0});
            }
        }
        made = CreateRestrictedToken(own, 0, static_cast<DWORD>(disable.size()), disable.data(), 0,
                                     nullptr, 0, nullptr, &restricted) != FALSE;
    }
    error = made ? 0 : GetLastError();
    CloseHandle(own);
    HANDLE checking = nullptr;
    if (made && !DuplicateToken(restricted, SecurityIdentification, &checking)) {
        error = GetLastError();
    }
    if (restricted != nullptr) {
        CloseHandle(restricted);
    }
    return checking;
}

// Which of `rights` `token` is granted on `path`, its owner's implicit rights included; all
// of them, with the system's code in `error`, when its security cannot be read or checked.
DWORD Granted(HANDLE token, const std::wstring& path, DWORD rights, DWORD& error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    error = GetNamedSecurityInfoW(
        path.c_str(), SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return rights;
    }
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL allowed = FALSE;
    const bool checked = AccessCheck(descriptor, token, MAXIMUM_ALLOWED, &mapping, &privileges,
                                     &privilegesSize, &granted, &allowed) != FALSE;
    error = checked ? 0 : GetLastError();
    LocalFree(descriptor);
    if (!checked) {
        return rights;
    }
    return allowed ? granted & rights : 0;
}

// How much of `path` is its root ("C:\", "\\server\share\", with or without "\\?\").
std::size_t RootLength(const std::wstring& path) {
    std::size_t start = 0;
    bool unc = false;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        start = 8;
        unc = true;
    } else if (path.rfind(L"\\\\?\\", 0) == 0) {
        start = 4;
    } else if (path.rfind(L"\\\\", 0) == 0) {
        start = 2;
        unc = true;
    }
    if (!unc) {
        return std::min(start + 3, path.size());
    }
    const std::size_t server = path.find(L'\\', start);
    const std::size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
}

// The first of `program`, its folder and the folders above it that `token` could change, as
// a reason; empty when none.
std::string ChangeableOnTheWay(HANDLE token, std::wstring path) {
    DWORD rights = PROGRAM_CHANGES;
    for (;;) {
        DWORD error = 0;
        if (Granted(token, path, rights, error) != 0) {
            const std::string what = Utf8FromWide(path);
            return error != 0 ? what + ": " + SystemErrorText(error)
                              : what + " can be changed without administrator rights";
        }
        const std::size_t root = RootLength(path);
        const std::size_t slash = path.find_last_of(L'\\');
        if (path.size() <= root || slash == std::wstring::npos || slash + 1 < root) {
            return {};
        }
        path.resize(slash + 1 <= root ? root : slash);
        rights = rights == PROGRAM_CHANGES ? FOLDER_CHANGES : ABOVE_CHANGES;
    }
}

}  // namespace

std::string StandardUserCanChange(const std::string& program) {
    const std::wstring wide = WideFromUtf8(program);
    std::wstring full(32768, L'\0');
    const DWORD length =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) {
        return program + ": " +
               SystemErrorText(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    }
    full.resize(length);
    // The path as it resolves too: a link or junction on the way may lead somewhere else.
    const HANDLE file = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return program + ": " + SystemErrorText(GetLastError());
    }
    std::wstring resolved(32768, L'\0');
    const DWORD resolvedLength =
        GetFinalPathNameByHandleW(file, resolved.data(), static_cast<DWORD>(resolved.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
    resolved.resize(resolvedLength < resolved.size() ? resolvedLength : 0);
    if (resolved.rfind(L"\\\\?\\", 0) == 0 && resolved.size() > 6 && resolved[5] == L':') {
        resolved.erase(0, 4);
    }
    DWORD error = 0;
    const HANDLE token = StandardUserToken(error);
    if (token == nullptr) {
        return program + ": " + SystemErrorText(error);
    }
    std::string reason = ChangeableOnTheWay(token, full);
    if (reason.empty() && !resolved.empty() &&
        CompareStringOrdinal(resolved.c_str(), -1, full.c_str(), -1, TRUE) != CSTR_EQUAL) {
        reason = ChangeableOnTheWay(token, resolved);
    }
    CloseHandle(token);
    return reason;
}

std::string RunAsAdministratorAdvice() {
    return "Close Palvex, start it again with \"Run as administrator\" (right-click palvex.exe "
           "or its Start menu entry), then transfer again; or have an administrator install "
           "Palvex for all users, which asks for an administrator's consent when it needs it.";
}

}  // namespace platform::windows
