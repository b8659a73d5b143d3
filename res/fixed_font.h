// The monospaced font the traffic views draw in, whatever the system calls its own.
#pragma once

#include <QFont>

// The system's fixed-pitch font when it is really installed; otherwise the first monospaced
// family the system has. Windows names "Courier New", and where that is missing (Wine, a
// trimmed install) its font mapper hands out a proportional face under the name.
QFont FixedPitchFont();
