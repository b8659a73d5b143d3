// Where an installed Palvex keeps its documents on Linux: the data folder it was built for
// (PALVEX_DATA_DIR) and the one beside the executable, found through /proc/self/exe. The
// firmware image goes to the kernel's firmware directory.
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

std::string DriversDirectory() {
    return "/lib/firmware";
}

std::string DriversDirectoryRemedy() {
    return {};  // the box's "Permission denied" already names the file and the cause
}

}  // namespace platform
