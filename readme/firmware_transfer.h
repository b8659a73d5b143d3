// The test firmware transfer: copies Test.bin into the drivers directory as kitboard.bin,
// whole or not at all.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/exclusive_file.h"

constexpr const char* FIRMWARE_SOURCE = "Test.bin";
constexpr const char* FIRMWARE_TARGET_NAME = "kitboard.bin";

// How the copy opens its files; the platform's by default, tests put failing ones in.
struct FirmwareFiles {
    std::function<std::unique_ptr<platform::IFileReader>(const std::string&)> openSource =
        platform::OpenExclusive;
    std::function<std::unique_ptr<platform::IFileWriter>(const std::string&)> createTarget =
        platform::CreateReplacement;
};

// kitboard.bin in `driversDirectory`; empty when there is no directory to put it in.
std::string FirmwareTargetPath(const std::string& driversDirectory);

// Copies `source` byte for byte over `target`, in pieces, so any size fits. True when the
// target now holds every byte; on false an existing target is as it was.
bool TransferFirmware(const std::string& source, const std::string& target,
                      const FirmwareFiles& files = {});
