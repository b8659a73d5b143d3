// Where an installed Palvex keeps its documents on Linux: the data folder it was built for
// (PALVEX_DATA_DIR) and the one beside the executable, found through /proc/self/exe. The
// firmware image goes to the kernel's firmware directory, through pkexec and the copier when
// the user may not write there.
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

std::vector<std::string> ElevatedCopier() {
    // The installed copier, also in a moved install, whose path the polkit action names; in a
    // build tree the one beside the program, for which pkexec asks for its general right.
    std::vector<std::filesystem::path> candidates;
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path folder = executable.parent_path();
        candidates.push_back(folder.parent_path() / "libexec/palvex/palvex-copy-firmware");
        candidates.push_back(folder / "palvex-copy-firmware");
    }
    candidates.emplace_back(PALVEX_COPIER);
    for (const std::filesystem::path& copier : candidates) {
        if (std::filesystem::is_regular_file(copier, error)) {
            return {"pkexec", copier.lexically_normal().string()};
        }
    }
    return {};
}

std::string DriversDirectoryRemedy() {
    return {};  // the box's "Permission denied" already names the file and the cause
}

}  // namespace platform
