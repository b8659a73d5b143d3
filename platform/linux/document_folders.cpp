// Where an installed Palvex keeps its documents on Linux: the data folder it was built for
// (PALVEX_DATA_DIR) and the one beside the executable, found through /proc/self/exe.
#include <filesystem>

#include "platform/platform.h"

namespace platform {

std::vector<std::string> DocumentFolders() {
    std::vector<std::string> folders{"."};
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        folders.push_back(
            (executable.parent_path().parent_path() / "share/palvex").lexically_normal().string());
    }
    if (folders.back() != PALVEX_DATA_DIR) {
        folders.emplace_back(PALVEX_DATA_DIR);
    }
    return folders;
}

std::string FindDocument(const std::string& name, const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
            return folder == "." ? name : candidate.string();
        }
    }
    return name;
}

}  // namespace platform
