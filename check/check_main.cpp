// palvex-check: the Kit checked from a script, on the system's devices or the simulated Kit.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>

#include "check/check_options.h"
#include "check/check_report.h"
#include "check/device_list.h"
#include "check/kit_check.h"
#include "platform/backends.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "sim/sim_kit.h"
#include "sim/sim_platform.h"

namespace {

// The links show nothing here: each step takes their text as its reason instead.
class CNoBoxes : public platform::IMessageBoxSink {
  public:
    void Show(const std::string&, const std::string&) override {}
};

void Print(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    CheckOptions options;
    std::string error;
    switch (ParseCheckOptions(argc, argv, options, error)) {
        case ParseOutcome::HELP:
            Print(stdout, CHECK_USAGE_TEXT);
            return CHECK_PASSED;
        case ParseOutcome::VERSION:
            Print(stdout, "palvex-check " PALVEX_VERSION "\n");
            return CHECK_PASSED;
        case ParseOutcome::BAD_USAGE:
            Print(stderr, "palvex-check: " + error + "\nTry 'palvex-check --help'.\n");
            return CHECK_USAGE;
        case ParseOutcome::RUN:
            break;
    }
    std::atomic<int> interrupted{0};
    platform::CatchInterrupts(interrupted);

    CNoBoxes boxes;
    std::unique_ptr<CSimKit> kit;
    std::unique_ptr<platform::ISerialPorts> serialPorts;
    std::unique_ptr<platform::IHidSystem> hid;
    platform::Platform platform;
    if (options.sim) {
        kit = std::make_unique<CSimKit>();
        kit->PlugUsb(true);
        kit->ConnectSerial(true);
        platform = SimPlatform(*kit, boxes);
    } else {
        serialPorts = platform::CreateSystemSerialPorts();
        hid = platform::CreateSystemHid();
        platform.serialPorts = serialPorts.get();
        platform.hid = hid.get();
        platform.messageBoxes = &boxes;
    }

    if (options.list) {
        const DeviceList list = ListDevices(platform);
        Print(stdout, options.json ? ListJson(list) : ListText(list));
        return list.kits.empty() || list.ports.empty() ? CHECK_NO_DEVICE : CHECK_PASSED;
    }

    // With --json the document alone goes to standard output; the steps still show as they end.
    std::FILE* lines = options.json ? stderr : stdout;
    CKitCheck check(platform, interrupted);
    CheckRun run = check.Run(
        options.settings, [lines](const CheckStep& step) { Print(lines, StepLine(step) + "\n"); });
    Print(lines, SummaryLine(run) + "\n");
    if (options.json) {
        Print(stdout, RunJson(run, PALVEX_VERSION));
    }
    if (!options.junitPath.empty()) {
        std::ofstream junit(options.junitPath, std::ios::binary | std::ios::trunc);
        junit << RunJUnit(run, platform::HostName());
        junit.close();
        if (!junit) {
            Print(stderr, "palvex-check: cannot write " + options.junitPath + "\n");
            return run.exit == CHECK_PASSED ? CHECK_FAILED : run.exit;
        }
    }
    return run.exit;
}
