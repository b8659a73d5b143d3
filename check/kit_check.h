// The board checks palvex-check runs without a person: find the Kit, read its version, blink
// its LED, open its serial line, optionally echo data both ways, and close as the window does.
// Each step ends with pass or fail, its time and why; every wait is bounded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

struct CheckSettings {
    std::string hidPath;          // the Kit's interface to use; "" for the first found
    std::string portName;         // COM name or device path; "" for COM1..COM4 as the page
    std::string expectedVersion;  // "" accepts any firmware
    uint32_t timeoutMs = 2000;    // the longest any one wait for the board lasts
    bool echoUsb = false;
    bool echoSerial = false;
    uint32_t echoCount = 1024;  // bytes each way, per channel
};

struct CheckStep {
    CheckStep() = default;
    explicit CheckStep(std::string name) : name(std::move(name)) {}

    std::string name;  // "find", "version", "led", "serial", "echo-usb", "echo-serial", "close"
    bool passed = false;
    bool skipped = false;  // not run: what it needs was missing (message says what)
    double ms = 0;
    std::string message;  // what was found, or why it failed; the board's bytes in it escaped
    std::map<std::string, double> figures;  // measurements, by their names in the reports
};

// How a run ends, as the program's exit code.
enum CheckExit : int {
    CHECK_PASSED = 0,
    CHECK_FAILED = 1,
    CHECK_NO_DEVICE = 2,  // no Kit, or no serial port
    CHECK_USAGE = 64,
    CHECK_INTERRUPTED = 130,
};

struct CheckRun {
    std::vector<CheckStep> steps;
    std::string kitPath;
    std::string firmwareVersion;  // as the board sent it; reports show it through BoardText
    std::string portName;
    std::string portPath;
    CheckExit exit = CHECK_PASSED;
};

class CKitCheck {
  public:
    // The platform's message boxes are not used: the links' errors become the steps' reasons.
    // `interrupted` (1 once the user pressed Ctrl+C) cuts every wait short.
    CKitCheck(const platform::Platform& platform, const std::atomic<int>& interrupted);

    // Runs every step; `progress` hears each step as it ends (may be empty).
    CheckRun Run(const CheckSettings& settings,
                 const std::function<void(const CheckStep&)>& progress = {});

  private:
    const platform::Platform& platform;
    const std::atomic<int>& interrupted;
};
