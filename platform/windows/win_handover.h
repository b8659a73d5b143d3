// The firmware image's way from Palvex to its elevated copier on Windows: a named pipe that
// Palvex creates and names on the copier's command line ("--from PID NAME", PID being Palvex's
// own). Palvex writes the image's length (eight bytes, least significant first), then its
// bytes; the copier writes back its one-line reason when it refuses.
#pragma once

namespace platform::windows {

constexpr const wchar_t* HANDOVER_PIPE_PREFIX = L"\\\\.\\pipe\\palvex-firmware-";
constexpr unsigned HANDOVER_HEADER_SIZE = 8;

}  // namespace platform::windows
