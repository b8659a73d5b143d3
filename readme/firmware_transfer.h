// The test firmware transfer: copies Test.bin (from the working directory, else the installed
// data folder) into the drivers directory as kitboard.bin, whole or not at all.
#pragma once

#include <string>

constexpr const char* FIRMWARE_SOURCE = "Test.bin";
constexpr const char* FIRMWARE_TARGET_NAME = "kitboard.bin";

// What a transfer came to; after a failure, the file it concerns (absolute, so the user sees
// where it was looked for) and the system's text for it.
struct FirmwareTransferResult {
    bool done = false;
    std::string path;
    std::string reason;
    bool denied = false;  // the user may not write beside the target
};

// kitboard.bin in `driversDirectory`; empty when there is no directory to put it in.
std::string FirmwareTargetPath(const std::string& driversDirectory);

// Copies `source` byte for byte over `target`, in pieces, so any size fits. Done when the
// target now holds every byte; otherwise an existing target is as it was.
FirmwareTransferResult TransferFirmware(const std::string& source, const std::string& target);
