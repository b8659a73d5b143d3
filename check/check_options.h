// The command line of palvex-check.
#pragma once

#include <string>

#include "check/kit_check.h"

struct CheckOptions {
    CheckSettings settings;
    bool list = false;
    bool json = false;
    bool sim = false;
    std::string junitPath;
};

enum class ParseOutcome { RUN, HELP, VERSION, BAD_USAGE };

// Reads argv[1..]; on BAD_USAGE `error` says what was wrong. Options take their value as the
// next argument or after '='.
ParseOutcome ParseCheckOptions(int argc, const char* const* argv, CheckOptions& options,
                               std::string& error);

extern const char* const CHECK_USAGE_TEXT;
