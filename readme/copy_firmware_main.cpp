// palvex-copy-firmware: copies the firmware image on standard input to the drivers folder as
// kitboard.bin. Meant to run with more rights than its caller, so it takes no path and no
// option: the target is fixed, and the image is whatever file it was handed.
#include <cstdio>

#include "platform/platform.h"
#include "readme/firmware_copier.h"
#include "readme/firmware_transfer.h"

int main(int argc, char** argv) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s < IMAGE\n", argc > 0 ? argv[0] : "palvex-copy-firmware");
        return COPIER_USAGE;
    }
    const std::string target = FirmwareTargetPath(platform::DriversDirectory());
    if (target.empty()) {
        std::fprintf(stderr, "No drivers directory is known\n");
        return COPIER_TARGET_REFUSED;
    }
    const CopierOutcome outcome = CopyHandedFirmware(target);
    if (outcome.exitCode != COPIER_DONE) {
        std::fprintf(stderr, "%s\n", outcome.message.c_str());
    }
    return outcome.exitCode;
}
