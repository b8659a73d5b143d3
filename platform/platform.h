// The platform services one run of the program uses: real backends in palvex, the
// simulated Kit in palvex-sim, fakes in tests. Chosen once at start-up and passed down.
#pragma once

#include <string>
#include <vector>

#include "platform/hid_device.h"
#include "platform/message_box.h"
#include "platform/serial_port.h"

namespace platform {

// The folders the program's documents (Readme.rtf, Test.bin) are looked for in, in order: the
// working directory, so a file the user puts there wins; then the data folder of an installed
// Palvex, beside the executable (a moved install) and where it was built to be installed.
std::vector<std::string> DocumentFolders();

// `name` in the first of `folders` that holds it as a regular file; `name` itself when none
// does, so that an error names the file the way the user knows it.
std::string FindDocument(const std::string& name, const std::vector<std::string>& folders);

// `name` inside `folder`, with the system's separator between them; UTF-8 in and out.
std::string JoinPath(const std::string& folder, const std::string& name);
// `path` made absolute and normal, as the user should see it named; `path` itself when the
// working directory cannot be had.
std::string AbsolutePath(const std::string& path);

// The system's drivers directory, where the firmware transfer puts kitboard.bin.
std::string DriversDirectory();
// What the user can do when kitboard.bin cannot be written there for want of rights (Windows:
// run the program as administrator); empty where the system has nothing more to say.
std::string DriversDirectoryRemedy();

// The command that runs the firmware copier (palvex-copy-firmware) with the rights to write the
// drivers directory, the copier last; empty where there is none. It exits with the copier's
// code, ELEVATION_DISMISSED when the user dismissed the request for the right, or another
// code with the reason as the last line of its error output (pkexec's convention).
std::vector<std::string> ElevatedCopier();
constexpr int ELEVATION_DISMISSED = 126;

struct Platform {
    ISerialPorts* serialPorts = nullptr;
    IHidSystem* hid = nullptr;
    IMessageBoxSink* messageBoxes = nullptr;
    // Where the firmware transfer puts kitboard.bin.
    std::string driversDirectory = DriversDirectory();
    // Said below a failed transfer's box when the target could not be written.
    std::string driversRemedy = DriversDirectoryRemedy();
    // Started with the image as its standard input when the user may not write the target.
    std::vector<std::string> elevatedCopier = ElevatedCopier();
    // The serial ports the board's line is looked for on, in this order: COM1..COM4, or the
    // one the user named.
    std::vector<std::string> boardPorts = {"COM1", "COM2", "COM3", "COM4"};
    // Where the ReadMe page finds Readme.rtf and Test.bin.
    std::vector<std::string> documentFolders = DocumentFolders();
};

}  // namespace platform
