// The first of the document folders that holds a document; the same on every system.
#include <filesystem>

#include "platform/platform.h"

namespace platform {

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
