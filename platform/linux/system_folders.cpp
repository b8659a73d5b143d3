// Where an installed Palvex keeps its documents on Linux: the data folder it was built for
// (PALVEX_DATA_DIR) and the one beside the executable, found through /proc/self/exe. The
// firmware image goes to the kernel's firmware directory, through pkexec and the copier when
// the user may not write there.
#include <cstdlib>
#include <filesystem>

#include "platform/linux/helper_programs.h"
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

std::string FindHelperProgram(const std::string& name) {
    std::vector<std::filesystem::path> candidates;
    if (const char* folder = std::getenv("PALVEX_LIBEXEC_DIR"); folder != nullptr && *folder) {
        candidates.push_back(std::filesystem::path(folder) / name);
    }
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path folder = executable.parent_path();
        candidates.push_back(folder.parent_path() / "libexec/palvex" / name);
        candidates.push_back(folder / name);
    }
    candidates.push_back(std::filesystem::path(PALVEX_LIBEXEC_DIR) / name);
    for (const std::filesystem::path& program : candidates) {
        if (std::filesystem::is_regular_file(program, error)) {
            return program.lexically_normal().string();
        }
    }
    return {};
}

std::vector<std::string> ElevatedCopier() {
    // The installed copier is the one whose path the polkit action names; in a build tree
    // pkexec asks for its general right to run the one beside the program.
    const std::string copier = FindHelperProgram("palvex-copy-firmware");
    if (copier.empty()) {
        return {};
    }
    return {"pkexec", copier};
}

std::string DriversDirectoryRemedy() {
    return {};  // the box's "Permission denied" already names the file and the cause
}

}  // namespace platform
