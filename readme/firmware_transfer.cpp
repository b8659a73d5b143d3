// The test firmware transfer: a locked read of the image streamed into a replacement target.
#include "readme/firmware_transfer.h"

#include <vector>

namespace {

constexpr std::size_t COPY_PIECE = 64 * 1024;

}  // namespace

std::string FirmwareTargetPath(const std::string& driversDirectory) {
    if (driversDirectory.empty()) {
        return {};
    }
    const bool endsWithSlash = driversDirectory.back() == '/';
    return driversDirectory + (endsWithSlash ? "" : "/") + FIRMWARE_TARGET_NAME;
}

bool TransferFirmware(const std::string& source, const std::string& target,
                      const FirmwareFiles& files) {
    if (target.empty()) {
        return false;
    }
    // The source first: when it cannot be read the target is never touched.
    const std::unique_ptr<platform::IFileReader> reader = files.openSource(source);
    if (!reader) {
        return false;
    }
    const std::unique_ptr<platform::IFileWriter> writer = files.createTarget(target);
    if (!writer) {
        return false;
    }
    std::vector<char> piece(COPY_PIECE);
    for (;;) {
        const long long count = reader->Read(piece.data(), piece.size());
        if (count < 0) {
            return false;  // the writer's destructor removes its temporary file
        }
        if (count == 0) {
            break;
        }
        if (!writer->Write(piece.data(), static_cast<std::size_t>(count))) {
            return false;
        }
    }
    return writer->Commit();
}
