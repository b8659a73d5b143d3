// <windows.h> as this backend's sources include it. Its COMMPROP parity flags (PARITY_NONE
// and the rest) are macros that would rewrite serial_port.h's parity codes; nothing here uses
// COMMPROP, so they go.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef PARITY_NONE
#undef PARITY_ODD
#undef PARITY_EVEN
#undef PARITY_MARK
#undef PARITY_SPACE
