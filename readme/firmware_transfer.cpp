// The test firmware transfer: a locked read of the image streamed into a replacement target.
#include "readme/firmware_transfer.h"

#include <memory>
#include <vector>

#include "platform/exclusive_file.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t COPY_PIECE = 64 * 1024;
constexpr const char* NO_DIRECTORY_TEXT = "No drivers directory is known";

FirmwareTransferResult Failure(const std::string& path, std::string reason) {
    return {false, platform::AbsolutePath(path), std::move(reason)};
}

}  // namespace

std::string FirmwareTargetPath(const std::string& driversDirectory) {
    if (driversDirectory.empty()) {
        return {};
    }
    return platform::JoinPath(driversDirectory, FIRMWARE_TARGET_NAME);
}

FirmwareTransferResult TransferFirmware(const std::string& source, const std::string& target) {
    if (target.empty()) {
        return {false, {}, NO_DIRECTORY_TEXT};
    }
    // The source first: when it cannot be read the target is never touched.
    std::string reason;
    const std::unique_ptr<platform::IFileReader> reader = platform::OpenExclusive(source, &reason);
    if (!reader) {
        return Failure(source, reason);
    }
    bool denied = false;
    const std::unique_ptr<platform::IFileWriter> writer =
        platform::CreateReplacement(target, &reason, &denied);
    if (!writer) {
        FirmwareTransferResult result = Failure(target, reason);
        result.denied = denied;
        return result;
    }
    std::vector<char> piece(COPY_PIECE);
    for (;;) {
        const long long count = reader->Read(piece.data(), piece.size());
        if (count < 0) {
            // the writer's destructor removes its temporary file
            return Failure(source, reader->FailureText());
        }
        if (count == 0) {
            break;
        }
        if (!writer->Write(piece.data(), static_cast<std::size_t>(count))) {
            return Failure(target, writer->FailureText());
        }
    }
    if (!writer->Commit()) {
        return Failure(target, writer->FailureText());
    }
    return {true, {}, {}};
}
