// The platform palvex-sim runs on: the simulated Kit in place of the real backends.
#pragma once

#include "platform/message_box.h"
#include "platform/platform.h"
#include "sim/sim_kit.h"

// The kit's serial ports and HID system and the given message boxes. The simulated firmware
// transfer writes into the working directory, never into the system's firmware directory.
platform::Platform SimPlatform(CSimKit& kit, platform::IMessageBoxSink& boxes);
