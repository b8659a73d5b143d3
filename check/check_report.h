// How palvex-check tells its results: lines for a person, one JSON document for scripts, and
// JUnit XML as CI systems show test results (one test case per step).
#pragma once

#include <string>

#include "check/device_list.h"
#include "check/kit_check.h"

// One step as a line: "PASS  version      12 ms  firmware K1.07".
std::string StepLine(const CheckStep& step);
// The closing line: how many steps passed and what the exit code means.
std::string SummaryLine(const CheckRun& run);
std::string ListText(const DeviceList& list);

std::string RunJson(const CheckRun& run, const std::string& version);
std::string ListJson(const DeviceList& list);
std::string RunJUnit(const CheckRun& run, const std::string& hostName);
