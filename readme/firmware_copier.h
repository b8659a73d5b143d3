// The privileged half of the firmware transfer: palvex-copy-firmware, started with the rights
// the user lacks (through pkexec), copies the image on its standard input over the one target
// it knows. It never takes a path, so it can write nothing else.
#pragma once

#include <string>

namespace platform {
class IFileReader;
}

// The largest image the copier takes; the Kit's firmware is a few dozen kilobytes.
constexpr long long FIRMWARE_IMAGE_LIMIT = 16LL * 1024 * 1024;

// The copier's exit codes. The page names the image after COPIER_IMAGE_REFUSED and the target
// after the others.
enum CopierExit : int {
    COPIER_DONE = 0,
    COPIER_IMAGE_REFUSED = 1,   // not a regular file, too large, unreadable
    COPIER_TARGET_REFUSED = 2,  // a symbolic link, or a folder others could change
    COPIER_WRITE_FAILED = 3,    // the target is as it was
    COPIER_USAGE = 64,
};

struct CopierOutcome {
    int exitCode = COPIER_DONE;
    std::string message;  // one line, the reason; empty when done
};

// Copies `image` over `target` when the target is safe to replace and the image is at most
// `limit` bytes; writes nothing when a check fails, and the target is the old file or the
// whole new one whatever happens.
CopierOutcome CopyFirmwareImage(platform::IFileReader& image, long long limit,
                                const std::string& target);

// The same with the image handed on standard input.
CopierOutcome CopyHandedFirmware(const std::string& target);
