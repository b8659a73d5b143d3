// Palvex's helper programs on Linux (the firmware copier, the hidraw writer): installed in
// libexec/palvex, or beside the program in a build tree.
#pragma once

#include <string>

namespace platform {

// The helper's full path, looked for in PALVEX_LIBEXEC_DIR when set (a build tree's tests set
// it), in libexec/palvex beside the running program's folder (also a moved install), beside
// the program, then in the libexec folder it was built for; empty when none is there.
std::string FindHelperProgram(const std::string& name);

}  // namespace platform
