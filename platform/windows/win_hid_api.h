// SetupAPI's and HID.dll's declarations, after the <windows.h> they need. MinGW-w64 gives
// HID.dll's without C linkage.
#pragma once

#include "platform/windows/win_api.h"
// Needs <windows.h> first.
#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}
