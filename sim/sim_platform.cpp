// The platform palvex-sim runs on.
#include "sim/sim_platform.h"

platform::Platform SimPlatform(CSimKit& kit, platform::IMessageBoxSink& boxes) {
    platform::Platform platform;
    platform.serialPorts = &kit.SerialPorts();
    platform.hid = &kit.Hid();
    platform.messageBoxes = &boxes;
    platform.driversDirectory.assign(1, '.');
    return platform;
}
