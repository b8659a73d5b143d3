// The privileged firmware copier's checks and copy, on the platform's file access.
#include "readme/firmware_copier.h"

#include <memory>
#include <vector>

#include "platform/exclusive_file.h"

namespace {

constexpr std::size_t COPY_PIECE = 64 * 1024;

}  // namespace

CopierOutcome CopyFirmwareImage(platform::IFileReader& image, long long limit,
                                const std::string& target) {
    std::string reason;
    if (!platform::IsSafePrivilegedTarget(target, &reason)) {
        return {COPIER_TARGET_REFUSED, reason};
    }
    const std::unique_ptr<platform::IFileWriter> writer =
        platform::CreateReplacement(target, &reason);
    if (!writer) {
        return {COPIER_WRITE_FAILED, reason};
    }
    // The size was checked when the image was opened; a file that grows meanwhile is refused
    // all the same. The writer's destructor removes its temporary file on every way out.
    std::vector<char> piece(COPY_PIECE);
    long long total = 0;
    for (;;) {
        const long long count = image.Read(piece.data(), piece.size());
        if (count < 0) {
            return {COPIER_IMAGE_REFUSED, image.FailureText()};
        }
        if (count == 0) {
            break;
        }
        total += count;
        if (total > limit) {
            return {COPIER_IMAGE_REFUSED, "Larger than " + std::to_string(limit) + " bytes"};
        }
        if (!writer->Write(piece.data(), static_cast<std::size_t>(count))) {
            return {COPIER_WRITE_FAILED, writer->FailureText()};
        }
    }
    if (total == 0) {
        return {COPIER_IMAGE_REFUSED, platform::EMPTY_IMAGE_TEXT};
    }
    if (!writer->Commit()) {
        return {COPIER_WRITE_FAILED, writer->FailureText()};
    }
    return {};
}

CopierOutcome CopyHandedFirmware(const std::string& target) {
    std::string reason;
    const std::unique_ptr<platform::IFileReader> image =
        platform::OpenHandedImage(FIRMWARE_IMAGE_LIMIT, &reason);
    if (!image) {
        return {COPIER_IMAGE_REFUSED, reason};
    }
    return CopyFirmwareImage(*image, FIRMWARE_IMAGE_LIMIT, target);
}
