// COM names on Linux: which devices count as serial ports and in which order, on a fake tree.
#include "platform/linux/com_port_names.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/linux_serial_ports.h"

namespace {

namespace fs = std::filesystem;

class ComPortNamesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "palvex-tty-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        roots = {(root / "dev").string(), (root / "sys/class/tty").string()};
        fs::create_directories(roots.devDir);
        fs::create_directories(roots.sysClassTty);
    }
    void TearDown() override { fs::remove_all(root); }

    void Node(const std::string& name) { std::ofstream(fs::path(roots.devDir) / name); }
    // A built-in port in sysfs; type "" leaves the type file out.
    void BuiltIn(const std::string& name, bool device, const std::string& type) {
        Node(name);
        const fs::path node = fs::path(roots.sysClassTty) / name;
        fs::create_directories(node);
        if (device) {
            fs::create_directories(node / "device");
        }
        if (!type.empty()) {
            std::ofstream(node / "type") << type << "\n";
        }
    }
    std::string Dev(const std::string& name) { return (fs::path(roots.devDir) / name).string(); }

    fs::path root;
    platform::SerialDeviceRoots roots;
};

TEST_F(ComPortNamesTest, UsbThenCdcThenBuiltInPortsWithHardwareInNumericOrder) {
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyUSBx", "ttyS", "tty1", "null"}) {
        Node(name);
    }
    BuiltIn("ttyS10", true, "4");
    BuiltIn("ttyS1", true, "0");   // no UART found at this address
    BuiltIn("ttyS2", false, "4");  // no device behind it
    BuiltIn("ttyS3", true, "");    // a driver without a type file
    BuiltIn("ttyS0", true, "4");

    const std::vector<std::string> devices = platform::ListSerialDevices(roots);
    EXPECT_EQ(devices, (std::vector<std::string>{Dev("ttyUSB2"), Dev("ttyUSB10"), Dev("ttyACM0"),
                                                 Dev("ttyS0"), Dev("ttyS3"), Dev("ttyS10")}));

    EXPECT_EQ(platform::ComNameToDevice("COM1", devices), Dev("ttyUSB2"));
    EXPECT_EQ(platform::ComNameToDevice("COM4", devices), Dev("ttyS0"));
    for (const char* name : {"COM5", "COM0", "COM", "COM01x", "com1", "LPT1", ""}) {
        EXPECT_EQ(platform::ComNameToDevice(name, devices), "") << name;
    }
    EXPECT_EQ(platform::ComNameToDevice("COM3", {Dev("ttyS0")}), "");
    EXPECT_TRUE(platform::ListSerialDevices({"/nonexistent-palvex/dev", "/nonexistent"}).empty());

    // The ports object looks again at each resolve: a port plugged in later is listed.
    platform::CLinuxSerialPorts ports([this] { return platform::ListSerialDevices(roots); });
    EXPECT_EQ(ports.DevicePath("COM1"), Dev("ttyUSB2"));
    Node("ttyUSB0");
    EXPECT_EQ(ports.DevicePath("COM1"), Dev("ttyUSB0"));
    EXPECT_EQ(ports.DevicePath("COM2"), Dev("ttyUSB2"));
    // Past the four COM names the ports go by their paths; a path the user names is itself.
    EXPECT_EQ(ports.ListedPorts(),
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", Dev("ttyS0"), Dev("ttyS3"),
                                        Dev("ttyS10")}));
    EXPECT_EQ(ports.DevicePath(Dev("ttyS10")), Dev("ttyS10"));

    // The active console is nobody's COM port, a USB one included.
    fs::create_directories(fs::path(roots.sysClassTty) / "console");
    std::ofstream(fs::path(roots.sysClassTty) / "console" / "active") << "tty0 ttyUSB0 ttyS0\n";
    EXPECT_EQ(platform::ListSerialDevices(roots),
              (std::vector<std::string>{Dev("ttyUSB2"), Dev("ttyUSB10"), Dev("ttyACM0"),
                                        Dev("ttyS3"), Dev("ttyS10")}));
}

}  // namespace
