// palvex-check's steps on the real kernel: the gadget Kit passes them all, the listing shows
// its nodes, and an unplug in the middle of an echo fails the step it hit within its bound.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "check/check_report.h"
#include "check/device_list.h"
#include "check/kit_check.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

class CRealCheckTest : public CRealKernelTest {
  protected:
    CheckRun Run(const CheckSettings& settings) {
        return CKitCheck(platform, interrupted).Run(settings, [](const CheckStep& step) {
            std::printf("%s\n", StepLine(step).c_str());
        });
    }

    std::unique_ptr<platform::ISerialPorts> ports = platform::CreateSystemSerialPorts();
    std::unique_ptr<platform::IHidSystem> hid = platform::CreateSystemHid();
    CRecordingBoxes shown;
    const platform::Platform platform{ports.get(), hid.get(), &shown};
    std::atomic<int> interrupted{0};
};

TEST_F(CRealCheckTest, TheGadgetKitPassesEveryStepAndIsListed) {
    const DeviceList list = ListDevices(platform);
    ASSERT_EQ(list.kits.size(), 1u) << ListText(list);
    EXPECT_EQ(list.kits[0].path, KitHidNode());
    EXPECT_TRUE(list.kits[0].opens) << list.kits[0].why;
    ASSERT_FALSE(list.ports.empty());
    EXPECT_EQ(list.ports[0].name, "COM1");
    EXPECT_EQ(list.ports[0].path, KitSerialNode());
    EXPECT_TRUE(list.ports[0].opens) << list.ports[0].why;

    CheckSettings settings;
    settings.echoUsb = settings.echoSerial = true;
    settings.echoCount = 2000;
    settings.expectedVersion = sim::DEFAULT_VERSION;
    const int closesBefore = kit().CloseCommands();
    const CheckRun run = Run(settings);
    EXPECT_EQ(run.exit, CHECK_PASSED) << RunJson(run, "");
    EXPECT_EQ(run.kitPath, KitHidNode());
    EXPECT_EQ(run.portPath, KitSerialNode());
    EXPECT_EQ(kit().CloseCommands(), closesBefore + 1);
    EXPECT_TRUE(shown.Entries().empty());
}

TEST_F(CRealCheckTest, AnUnplugInTheMiddleOfAnEchoFailsThatStepWithinItsBound) {
    CheckSettings settings;
    settings.echoUsb = settings.echoSerial = true;
    settings.echoCount = 1000000;  // minutes of echo, were it not cut short
    CheckRun run;
    std::thread checking([&] { run = Run(settings); });
    // Unplugged once the stream is under way: well past the round trips.
    const size_t reportsBefore = kit().OutputReports().size();
    const bool streaming = kit().WaitFor(
        [&](const auto& k) { return k.OutputReports().size() > reportsBefore + 60; }, 30000);
    const auto unplugged = std::chrono::steady_clock::now();
    kit().Plug(false);
    checking.join();
    const auto took = std::chrono::steady_clock::now() - unplugged;
    kit().Plug(true);
    ASSERT_TRUE(streaming);
    const std::string verdicts = [&] {
        std::string text;
        for (const CheckStep& step : run.steps) {
            text += step.name + (step.skipped ? ":skip " : step.passed ? ":pass " : ":FAIL ");
        }
        return text;
    }();
    EXPECT_EQ(verdicts,
              "find:pass version:pass led:pass serial:pass echo-usb:FAIL echo-serial:FAIL "
              "close:FAIL ");
    EXPECT_EQ(run.exit, CHECK_FAILED);
    // One wait for the board (2 s), the serial line's end and the close sequence's pause.
    EXPECT_LT(took, std::chrono::milliseconds(2000 + 2000 + 1500));
    EXPECT_TRUE(shown.Entries().empty());
}

}  // namespace
