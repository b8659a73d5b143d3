// The board checks, step by step, on the Qt-free links the window uses.
#include "check/kit_check.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "channel/data_signal.h"
#include "check/box_reason.h"
#include "check/shown_text.h"
#include "hid/chosen_hid.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the LED flashes before the stop command, so a person at the bench sees it.
constexpr auto LED_FLASH_TIME = std::chrono::milliseconds(1000);
// One wait for the board's bytes; every longer wait is made of these, so Ctrl+C is heard.
constexpr uint32_t WAIT_STEP_MS = 50;
// Round trips of one message each, for the latency figures.
constexpr int ROUND_TRIPS = 20;
// Echo bytes in flight at once: well inside the host's queues on both channels.
constexpr uint32_t USB_WINDOW = 16 * 7;
constexpr uint32_t SERIAL_WINDOW = 256;
constexpr uint32_t SERIAL_BLOCK = 64;
// The slowest an echo may run before it fails, whatever the timeout for one wait.
constexpr double SLOWEST_ECHO_BYTES_PER_S = 100;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Number(double value, int decimals = 1) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Printable and never ESC, so no echo byte can read as a command to the board.
uint8_t EchoByte(uint32_t index) {
    static const char ALPHABET[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    return static_cast<uint8_t>(ALPHABET[index % (sizeof ALPHABET - 1)]);
}

// One channel as the echo sees it: send a block, take what came back within a wait.
struct EchoChannel {
    std::function<bool(const uint8_t*, uint32_t)> send;
    // Bytes received into `out` (0 after waiting up to waitMs), or -1 when the channel failed.
    std::function<int(uint8_t*, uint32_t, uint32_t)> receive;
    std::function<std::string()> failure;  // why the channel failed
    uint32_t block = 7;
    uint32_t window = USB_WINDOW;
    double lineRate = 0;  // bytes per second the line carries; 0 where it has no such rate
};

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

}  // namespace

CKitCheck::CKitCheck(const platform::Platform& platform, const std::atomic<int>& interrupted)
    : platform(platform), interrupted(interrupted) {}

namespace {

// The state of one run, shared by its steps.
class CCheckSteps {
  public:
    CCheckSteps(const platform::Platform& platform, const std::atomic<int>& interrupted,
                const CheckSettings& settings)
        : interrupted(interrupted),
          settings(settings),
          quiet(platform),
          hid(*platform.hid, settings.hidPath),
          link(std::make_unique<CHidLink>(hid)) {
        quiet.messageBoxes = &boxes;
    }

    bool Interrupted() const { return interrupted.load() != 0; }

    CheckStep Find(CheckRun& run) {
        CheckStep step{"find"};
        if (link->FindAndOpen() != 0) {
            run.kitPath = link->OpenedPath();
            step.passed = true;
            step.message = "the Kit at " + run.kitPath + ", reports of " +
                           std::to_string(link->Caps().inputReportByteLength) + "/" +
                           std::to_string(link->Caps().outputReportByteLength) + " bytes";
            return step;
        }
        const CHidLink::Refusal& refusal = link->LastRefusal();
        if (!refusal.path.empty()) {
            step.message = "the Kit at " + refusal.path + " cannot be used: " + refusal.reason;
            if (!refusal.remedy.empty()) {
                step.message += ". " + refusal.remedy;
            }
        } else if (!settings.hidPath.empty()) {
            step.message = "no Kit at " + settings.hidPath;
        } else {
            step.message = "no Kit (USB vendor D804, product 0032) is attached";
        }
        return step;
    }

    CheckStep Version(CheckRun& run) {
        CheckStep step{"version"};
        // The reply is the first bytes that arrive after the request, as on the page.
        usbRxRing.Reset();
        if (link->SendBytes(sizeof VERSION_REQUEST, VERSION_REQUEST) == 0) {
            step.message = "the version request could not be sent";
            return step;
        }
        uint8_t reply[VERSION_LENGTH + 1] = {};
        const int got = ReceiveUsb(reply, VERSION_LENGTH, settings.timeoutMs);
        if (got < VERSION_LENGTH) {
            step.message = got <= 0 ? "the board did not answer the version request within " +
                                          std::to_string(settings.timeoutMs) + " ms"
                                    : "the board answered " + std::to_string(got) + " of " +
                                          std::to_string(VERSION_LENGTH) + " version bytes";
            return step;
        }
        // Zero-terminated text, as the page reads it. The message shows the bytes escaped: a
        // reply of terminal controls must not hide the lines that follow it.
        run.firmwareVersion = reinterpret_cast<const char*>(reply);
        step.message = "firmware " + BoardText(run.firmwareVersion);
        if (!settings.expectedVersion.empty() && run.firmwareVersion != settings.expectedVersion) {
            step.message += ", expected " + settings.expectedVersion;
            return step;
        }
        step.passed = true;
        return step;
    }

    CheckStep Led() {
        CheckStep step{"led"};
        if (link->SendBytes(sizeof LED_FLASHING_COMMAND, LED_FLASHING_COMMAND) == 0) {
            step.message = "the LED flashing command could not be sent";
            return step;
        }
        const auto until = Clock::now() + LED_FLASH_TIME;
        while (!Interrupted() && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(WAIT_STEP_MS));
        }
        if (link->SendBytes(sizeof LED_STOP_COMMAND, LED_STOP_COMMAND) == 0) {
            step.message = "the LED stop command could not be sent";
            return step;
        }
        step.passed = true;
        step.message = "LED flashing, then stopped";
        return step;
    }

    CheckStep Serial(CheckRun& run) {
        CheckStep step{"serial"};
        const std::vector<std::string> names =
            settings.portName.empty() ? quiet.boardPorts : std::vector{settings.portName};
        std::string reasons;
        for (const std::string& name : names) {
            auto candidate = std::make_unique<CSerialLink>(KitLineSettings(name), quiet);
            if (candidate->Open() != 0) {
                serial = std::move(candidate);
                run.portName = name;
                run.portPath = quiet.serialPorts->DevicePath(name);
                step.passed = true;
                step.message = name;
                if (!run.portPath.empty() && run.portPath != name) {
                    step.message += " (" + run.portPath + ")";
                }
                step.message += ", 19200 8N1";
                return step;
            }
            reasons += (reasons.empty() ? "" : "; ") + name + ": " + boxes.Take();
        }
        step.message = "no free serial port (" + reasons + ")";
        return step;
    }

    CheckStep Echo(bool usb) {
        CheckStep step{usb ? "echo-usb" : "echo-serial"};
        EchoChannel channel;
        if (usb) {
            channel.send = [this](const uint8_t* bytes, uint32_t count) {
                return link->SendBytes(count, bytes) != 0;
            };
            channel.receive = [this](uint8_t* out, uint32_t capacity, uint32_t waitMs) {
                return ReceiveUsbOnce(out, capacity, waitMs);
            };
            channel.failure = [] { return std::string("the Kit left the bus"); };
        } else {
            channel.send = [this](const uint8_t* bytes, uint32_t count) {
                return serial->WriteBlock(count, bytes) != 0;
            };
            channel.receive = [this](uint8_t* out, uint32_t capacity, uint32_t waitMs) {
                if (serial->WaitForInput(waitMs) == 0) {
                    return serial->PortGone() ? -1 : 0;
                }
                uint32_t count = capacity;
                return serial->Read(count, out) != 0 ? static_cast<int>(count) : -1;
            };
            channel.failure = [this] {
                const std::string why = boxes.Take();
                return why.empty() ? std::string("the serial port was disconnected") : why;
            };
            channel.block = SERIAL_BLOCK;
            channel.window = SERIAL_WINDOW;
            channel.lineRate = KIT_BAUD_RATE / 10.0;  // 8N1: ten bits a byte
        }
        RunEcho(channel, step);
        return step;
    }

    CheckStep Close() {
        CheckStep step{"close"};
        serial.reset();  // as the window ends: the serial line first, then the Kit
        switch (link->Close()) {
            case CHidLink::CloseOutcome::ANSWERED:
                step.passed = true;
                step.message = "the board answered the close command or left the bus";
                break;
            case CHidLink::CloseOutcome::UNANSWERED:
                step.message = "the board neither answered the close command nor left the bus";
                break;
            case CHidLink::CloseOutcome::NOT_SENT:
                step.message = "the close command could not be sent";
                break;
        }
        return step;
    }

    bool SerialOpen() const { return serial != nullptr; }

  private:
    // Takes what the reader has delivered, waiting up to waitMs for more when none has;
    // -1 once the connection is over and nothing is left.
    int ReceiveUsbOnce(uint8_t* out, uint32_t capacity, uint32_t waitMs) {
        const uint32_t seen = usbRxSignal.Generation();
        uint32_t count = DrainInput(out, capacity);
        if (count == 0) {
            if (!link->IsOpen()) {
                return -1;
            }
            usbRxSignal.WaitSince(seen, waitMs);
            count = DrainInput(out, capacity);
        }
        return static_cast<int>(count);
    }

    // Up to `wanted` bytes within timeoutMs; how many came.
    int ReceiveUsb(uint8_t* out, int wanted, uint32_t timeoutMs) {
        int got = 0;
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got < wanted && !Interrupted() && Clock::now() < until) {
            const int count =
                ReceiveUsbOnce(out + got, static_cast<uint32_t>(wanted - got), WAIT_STEP_MS);
            if (count < 0) {
                break;
            }
            got += count;
        }
        return got;
    }

    // Bytes that may still come from before (a long version reply, the board's own chatter)
    // would read as echo: wait until the channel has been quiet for a moment.
    void DropStray(EchoChannel& channel) {
        uint8_t stray[256];
        for (int quietSteps = 0; quietSteps < 2 && !Interrupted();) {
            const int count = channel.receive(stray, sizeof stray, WAIT_STEP_MS);
            quietSteps = count == 0 ? quietSteps + 1 : 0;
            if (count < 0) {
                return;
            }
        }
    }

    // Sends `count` echo bytes from `first` with at most `window` unanswered, and checks what
    // comes back in order. Fills step.message on a failure and returns false.
    bool Exchange(EchoChannel& channel, uint32_t first, uint32_t count, uint32_t window,
                  CheckStep& step) {
        std::vector<uint8_t> out(channel.block);
        std::vector<uint8_t> in(std::max<uint32_t>(window, 64));
        uint32_t sent = 0;
        uint32_t got = 0;
        auto lastProgress = Clock::now();
        const auto limit = Clock::now() + std::chrono::milliseconds(settings.timeoutMs) +
                           std::chrono::duration<double>(count / SLOWEST_ECHO_BYTES_PER_S);
        while (got < count) {
            while (sent < count && sent - got < window) {
                const uint32_t block =
                    std::min({channel.block, count - sent, window - (sent - got)});
                for (uint32_t i = 0; i < block; ++i) {
                    out[i] = EchoByte(first + sent + i);
                }
                if (!channel.send(out.data(), block)) {
                    step.message = "sending failed at byte " + std::to_string(first + sent);
                    if (const std::string why = channel.failure(); !why.empty()) {
                        step.message += ": " + why;
                    }
                    return false;
                }
                sent += block;
            }
            if (Interrupted()) {
                step.message = "interrupted";
                return false;
            }
            const int arrived = channel.receive(
                in.data(), std::min<uint32_t>(static_cast<uint32_t>(in.size()), count - got),
                WAIT_STEP_MS);
            if (arrived < 0) {
                step.message =
                    std::to_string(first + got) + " bytes came back, then " + channel.failure();
                return false;
            }
            for (int i = 0; i < arrived; ++i, ++got) {
                const uint8_t expected = EchoByte(first + got);
                if (in[i] != expected) {
                    char text[96];
                    std::snprintf(text, sizeof text, "byte %u came back as %02Xh, sent as %02Xh",
                                  first + got, in[i], expected);
                    step.message = text;
                    return false;
                }
            }
            if (arrived > 0) {
                lastProgress = Clock::now();
            } else if (MsSince(lastProgress) >= settings.timeoutMs || Clock::now() >= limit) {
                step.message = std::to_string(first + got) + " of " +
                               std::to_string(first + count) +
                               " bytes came back; then nothing for " +
                               std::to_string(static_cast<int>(MsSince(lastProgress))) + " ms";
                return false;
            }
        }
        return true;
    }

    void RunEcho(EchoChannel& channel, CheckStep& step) {
        DropStray(channel);
        // Latency: one block at a time, so nothing waits behind anything else.
        std::vector<double> trips;
        uint32_t done = 0;
        for (int trip = 0; trip < ROUND_TRIPS; ++trip) {
            const uint32_t block = std::min<uint32_t>(channel.block, 8);
            const auto start = Clock::now();
            if (!Exchange(channel, done, block, block, step)) {
                return;
            }
            trips.push_back(MsSince(start));
            done += block;
        }
        // Throughput: the bytes asked for, with a window in flight.
        const auto start = Clock::now();
        if (!Exchange(channel, done, settings.echoCount, channel.window, step)) {
            return;
        }
        const double seconds = std::max(MsSince(start) / 1000, 1e-6);
        const double rate = settings.echoCount / seconds;
        step.passed = true;
        step.message = std::to_string(settings.echoCount) + " bytes each way, in order; " +
                       "round trip p50 " + Number(Percentile(trips, 0.5), 2) + " ms, p99 " +
                       Number(Percentile(trips, 0.99), 2) + " ms; " + Number(rate) + " bytes/s";
        if (channel.lineRate > 0) {
            step.message += " (" + Number(100 * rate / channel.lineRate) + " % of the line)";
            step.figures["lineBytesPerSecond"] = channel.lineRate;
        }
        step.figures["bytes"] = settings.echoCount;
        step.figures["roundTripP50Ms"] = Percentile(trips, 0.5);
        step.figures["roundTripP99Ms"] = Percentile(trips, 0.99);
        step.figures["bytesPerSecond"] = rate;
    }

    const std::atomic<int>& interrupted;
    const CheckSettings& settings;
    CBoxReason boxes;
    platform::Platform quiet;  // the caller's, with boxes that reach the steps
    CChosenHid hid;
    std::unique_ptr<CHidLink> link;
    std::unique_ptr<CSerialLink> serial;
};

}  // namespace

CheckRun CKitCheck::Run(const CheckSettings& settings,
                        const std::function<void(const CheckStep&)>& progress) {
    CheckRun run;
    CCheckSteps steps(platform, interrupted, settings);
    bool noDevice = false;
    const auto take = [&](auto&& step) {
        const auto start = Clock::now();
        CheckStep result = step();
        result.ms = MsSince(start);
        if (!result.passed && steps.Interrupted() && result.message.empty()) {
            result.message = "interrupted";
        }
        if (progress) {
            progress(result);
        }
        run.steps.push_back(result);
        return result.passed;
    };
    const auto skip = [&](const char* name, const char* why) {
        CheckStep step{name};
        step.skipped = true;
        step.message = why;
        if (progress) {
            progress(step);
        }
        run.steps.push_back(step);
    };
    const bool kit = take([&] { return steps.Find(run); });
    noDevice = !kit;
    // After Ctrl+C only the close runs, so the board hears that we are gone.
    const auto go = [&](bool needed, const char* name, const char* why) {
        if (steps.Interrupted()) {
            skip(name, "interrupted");
            return false;
        }
        if (!needed) {
            skip(name, why);
        }
        return needed;
    };
    if (go(kit, "version", "no Kit")) {
        take([&] { return steps.Version(run); });
    }
    if (go(kit, "led", "no Kit")) {
        take([&] { return steps.Led(); });
    }
    if (go(true, "serial", "") && !take([&] { return steps.Serial(run); })) {
        noDevice = true;
    }
    if (settings.echoUsb && go(kit, "echo-usb", "no Kit")) {
        take([&] { return steps.Echo(true); });
    }
    if (settings.echoSerial && go(steps.SerialOpen(), "echo-serial", "no serial port")) {
        take([&] { return steps.Echo(false); });
    }
    if (kit) {
        take([&] { return steps.Close(); });
    } else {
        skip("close", "no Kit");
    }
    const bool failed = std::any_of(run.steps.begin(), run.steps.end(), [](const CheckStep& step) {
        return !step.passed && !step.skipped;
    });
    run.exit = steps.Interrupted() ? CHECK_INTERRUPTED
               : noDevice          ? CHECK_NO_DEVICE
               : failed            ? CHECK_FAILED
                                   : CHECK_PASSED;
    return run;
}
