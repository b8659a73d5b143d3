// Paths from the program's UTF-8 strings, the same on every system. std::filesystem reads a
// narrow string in the system's ANSI code page on Windows, so the strings go through char8_t:
// a folder named in any script still joins and is found.
#include <filesystem>

#include "platform/platform.h"

namespace platform {

namespace {

std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
    return Utf8FromPath(PathFromUtf8(folder) / PathFromUtf8(name));
}

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(path), error);
    return error ? path : Utf8FromPath(absolute.lexically_normal());
}

std::string FindDocument(const std::string& name, const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        const std::filesystem::path candidate = PathFromUtf8(folder) / PathFromUtf8(name);
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
            return folder == "." ? name : Utf8FromPath(candidate);
        }
    }
    return name;
}

}  // namespace platform
