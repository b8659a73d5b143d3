// palvex-copy-firmware: copies the firmware image it was handed (its standard input) to the
// drivers folder as kitboard.bin. Meant to run with more rights than its caller, so it takes
// no path: the target is fixed, and the image is whatever open file it was handed.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/exclusive_file.h"
#include "platform/platform.h"
#include "readme/firmware_copier.h"
#include "readme/firmware_transfer.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("palvex-copy-firmware %s\n", PALVEX_VERSION);
        return 0;
    }
    std::string usage;
    if (!platform::TakeHandedStreams(argc, argv, &usage)) {
        std::fprintf(stderr, "%s\n", usage.c_str());
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
