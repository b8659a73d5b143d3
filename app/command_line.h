// The options both programs take: how the traffic views start. Nothing is kept between runs.
#pragma once

#include <string>

#include "bench/traffic_view.h"

struct ViewOptions {
    bool hex = false;
    TrafficView::TimestampMode timestamps = TrafficView::TimestampMode::Off;
};

// Reads the arguments after the program name. Returns -1 to go on with `options` set, or
// the exit code once it has printed the help (0) or what was wrong (2).
int ParseCommandLine(int argc, char** argv, ViewOptions& options);

// Applies the options to both traffic views of the page (the page must exist).
void ApplyViewOptions(const ViewOptions& options);
