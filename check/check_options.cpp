// Options of palvex-check, read by hand: the program is on the Qt-free core.
#include "check/check_options.h"

#include <algorithm>
#include <charconv>

const char* const CHECK_USAGE_TEXT =
    "Usage: palvex-check [OPTION]...\n"
    "Checks the Kit without a person: finds it, reads its firmware version, flashes its LED,\n"
    "opens its serial line and closes as the Palvex window does. Each step passes or fails.\n"
    "\n"
    "  --list                  show every Kit and serial port, and whether each opens\n"
    "  --echo usb,serial       also send data on the channels named and check the echo\n"
    "  --count N               bytes each way for --echo (default 1024)\n"
    "  --hid PATH              use the Kit at this HID interface, not the first found\n"
    "  --port NAME|PATH        use this serial port (COM1, /dev/ttyACM0), not COM1-COM4\n"
    "  --expect-version TEXT   fail a board whose firmware version is another\n"
    "  --timeout MS            longest wait for the board, in milliseconds (default 2000)\n"
    "  --sim                   check the simulated Kit instead of the system's devices\n"
    "  --json                  print one JSON document instead of lines\n"
    "  --junit FILE            also write the steps as JUnit XML to FILE\n"
    "  --help                  show this help\n"
    "  --version               show the program's version\n"
    "\n"
    "Exit status: 0 all steps passed, 1 a step failed, 2 no Kit or no serial port,\n"
    "64 bad usage, 130 interrupted (Ctrl+C).\n";

namespace {

bool ReadNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t& value) {
    uint32_t number = 0;
    const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (fault != std::errc() || end != text.data() + text.size() || number < low || number > high) {
        return false;
    }
    value = number;
    return true;
}

}  // namespace

ParseOutcome ParseCheckOptions(int argc, const char* const* argv, CheckOptions& options,
                               std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool hasValue = false;
        if (const size_t equals = option.find('=');
            option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option.resize(equals);
            hasValue = true;
        }
        const auto takeValue = [&] {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    error = "option " + option + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            return true;
        };
        const auto flag = [&](bool& target) {
            if (hasValue) {
                error = "option " + option + " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        CheckSettings& settings = options.settings;
        bool fine = true;
        if (option == "--help") {
            return ParseOutcome::HELP;
        } else if (option == "--version") {
            return ParseOutcome::VERSION;
        } else if (option == "--list") {
            fine = flag(options.list);
        } else if (option == "--json") {
            fine = flag(options.json);
        } else if (option == "--sim") {
            fine = flag(options.sim);
        } else if (option == "--junit") {
            fine = takeValue();
            options.junitPath = value;
        } else if (option == "--hid") {
            fine = takeValue();
            settings.hidPath = value;
        } else if (option == "--port") {
            fine = takeValue();
            settings.portName = value;
        } else if (option == "--expect-version") {
            fine = takeValue();
            settings.expectedVersion = value;
        } else if (option == "--timeout") {
            fine = takeValue();
            if (fine && !ReadNumber(value, 1, 600000, settings.timeoutMs)) {
                error = "--timeout takes milliseconds from 1 to 600000, not '" + value + "'";
                fine = false;
            }
        } else if (option == "--count") {
            fine = takeValue();
            if (fine && !ReadNumber(value, 1, 10000000, settings.echoCount)) {
                error = "--count takes a number of bytes from 1 to 10000000, not '" + value + "'";
                fine = false;
            }
        } else if (option == "--echo") {
            fine = takeValue();
            settings.echoUsb = settings.echoSerial = false;
            for (size_t start = 0; fine && start <= value.size();) {
                const size_t comma = std::min(value.find(',', start), value.size());
                const std::string channel = value.substr(start, comma - start);
                if (channel == "usb") {
                    settings.echoUsb = true;
                } else if (channel == "serial") {
                    settings.echoSerial = true;
                } else {
                    error = "--echo takes usb, serial or both (usb,serial), not '" + value + "'";
                    fine = false;
                }
                start = comma + 1;
            }
        } else {
            error = "unknown option '" + option + "'";
            fine = false;
        }
        if (!fine) {
            return ParseOutcome::BAD_USAGE;
        }
        if ((option == "--hid" || option == "--port" || option == "--junit") && value.empty()) {
            error = "option " + option + " needs a value";
            return ParseOutcome::BAD_USAGE;
        }
    }
    return ParseOutcome::RUN;
}
