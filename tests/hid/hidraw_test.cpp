// The hidraw backend: the report-descriptor parser on real and broken descriptors,
// enumeration and ids on a fake sysfs tree, and the device's reads, writes and wake-ups on a
// packet socket pair standing in for a node.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>
#include <tuple>

#include "hid/hid_link.h"
#include "platform/linux/hid_report_descriptor.h"
#include "platform/linux/hidraw_device.h"
#include "platform/linux/hidraw_system.h"
#include "platform/linux/hidraw_writer.h"
#include "tests/common/test_support.h"
#include "tests/common/thread_probe.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::linux_hid;

// The vendor-defined 8-in/8-out descriptor the Kit has.
const Bytes VENDOR{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
                   0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x09, 0x02, 0x91, 0x02, 0xC0};

// Boot keyboard: 8-byte input (modifiers, reserved, six keys), 5 LED bits + 3 padding out.
const Bytes KEYBOARD{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                     0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                     0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                     0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                     0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
// Three-button mouse: 3 button bits + 5 padding, X and Y; no output report.
const Bytes MOUSE{0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
                  0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
                  0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
                  0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};
// Numbered reports: keyboard (id 1: 8 in, 1 out), consumer control (id 2: 16-bit in),
// vendor (id 3: 63 in, 63 out).
const Bytes NUMBERED{
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05,
    0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01,
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,
    0xC0, 0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00,
    0x2A, 0xFF, 0x03, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0, 0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1,
    0x01, 0x85, 0x03, 0x75, 0x08, 0x95, 0x3F, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};

// Push keeps size 8 / count 4 across a Pop: 2 + 4 bytes.
const Bytes PUSH_POP{0x75, 0x08, 0x95, 0x04, 0xA4, 0x95, 0x02, 0x81, 0x02, 0xB4, 0x81, 0x02};
// A long item whose data would read as an Input item: skipped, it leaves 2 bytes + 1.
const Bytes LONG_ITEM{0x75, 0x08, 0x95, 0x02, 0xFE, 0x02, 0x10, 0x81, 0x02, 0x81, 0x02};
const Bytes ABSURD{0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02};

TEST(ReportDescriptor, LengthsOfRealAndBrokenDescriptors) {
    const struct {
        const char* name;
        Bytes descriptor;
        bool parses;
        uint16_t input, output;
        bool numbered;
    } cases[] = {
        {"keyboard", KEYBOARD, true, 9, 2, false},
        {"mouse", MOUSE, true, 4, 0, false},
        {"vendor", VENDOR, true, 9, 9, false},
        {"numbered", NUMBERED, true, 64, 64, true},
        {"long item skipped", LONG_ITEM, true, 3, 0, false},
        {"push and pop", PUSH_POP, true, 7, 0, false},
        {"bits rounded up", {0x75, 0x01, 0x95, 0x03, 0x81, 0x02}, true, 2, 0, false},
        {"empty", {}, true, 0, 0, false},
        {"cut inside an item", Bytes(KEYBOARD.begin(), KEYBOARD.end() - 2), false, 0, 0, false},
        {"cut long item", {0xFE, 0x05, 0x10, 0x00}, false, 0, 0, false},
        {"pop without push", {0xB4}, false, 0, 0, false},
        {"absurd report", ABSURD, false, 0, 0, false},
    };
    for (const auto& c : cases) {
        ReportLengths got;
        got.inputBytes = 99;  // every outcome sets it, a failure included
        const bool parsed = ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), got);
        EXPECT_EQ(std::make_tuple(parsed, got.inputBytes, got.outputBytes, got.numberedReports),
                  std::make_tuple(c.parses, c.input, c.output, c.numbered))
            << c.name;
    }
}

class FakeSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/palvex-hidraw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "dev");
    }
    void TearDown() override { fs::remove_all(root); }

    // A hidrawN entry with its HID device's uevent and descriptor, and its node.
    void AddNode(const std::string& name, const std::string& hidId, const Bytes& descriptor) {
        const fs::path device = root / "sys" / name / "device";
        fs::create_directories(device);
        std::ofstream(device / "uevent")
            << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=Some Device\n";
        std::ofstream(device / "report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(descriptor.data()), descriptor.size());
        std::ofstream(root / "dev" / name) << "";
    }

    fs::path root;
};

// Enumeration in numeric order and the ids sysfs lists; then discovery, since opening a
// keyboard or a security key wakes it: it decides by those ids, opens only the Kit's node, and
// keeps why that node could not be used.
TEST_F(FakeSysfs, EnumeratesInNumericOrderAndDiscoveryOpensOnlyTheKitsNode) {
    AddNode("hidraw10", "0003:0000046D:0000C52B", {});
    AddNode("hidraw2", "0003:0000D804:00000032", VENDOR);
    AddNode("hidraw0", "0003:0000D804:00000033", VENDOR);
    fs::create_directories(root / "sys" / "hidrawx");
    fs::create_directories(root / "sys" / "input3");
    CHidrawSystem system((root / "sys").string(), (root / "dev").string());
    const std::string dev = (root / "dev").string();
    EXPECT_EQ(system.EnumerateInterfaces(),
              (std::vector<std::string>{dev + "/hidraw0", dev + "/hidraw2", dev + "/hidraw10"}));
    EXPECT_TRUE(CHidrawSystem((root / "missing").string()).EnumerateInterfaces().empty());

    // A regular file does not answer the node queries; the sysfs entry does.
    std::unique_ptr<platform::IHidDevice> kit = system.Open(dev + "/hidraw2");
    ASSERT_NE(kit, nullptr);
    uint16_t vendor = 0, product = 0;
    ASSERT_EQ(kit->GetAttributes(vendor, product), 1);
    EXPECT_EQ(vendor, 0xD804);  // above 0x7FFF: no sign trouble
    EXPECT_EQ(product, 0x0032);
    platform::HidCaps caps;
    ASSERT_EQ(kit->GetCaps(caps), 1);
    EXPECT_EQ(caps.inputReportByteLength, 9);
    EXPECT_EQ(caps.outputReportByteLength, 9);
    EXPECT_EQ(system.Open(dev + "/hidraw7"), nullptr);
    // Ids cut short, wider than 16 bits, empty or not hex are refused.
    for (const char* bad : {"", "HID_ID=0003:0000D804", "HID_ID=0003:0001D804:00000032",
                            "HID_ID=0003::00000032", "HID_ID=0003:0000D804:0032zz"}) {
        EXPECT_FALSE(ParseHidId(bad, vendor, product)) << bad;
    }

    const fs::path kitNode = root / "dev" / "hidraw2";
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, (root / "dev").c_str(), IN_OPEN), 0);
    // The names of the nodes opened since the last call.
    auto opened = [&] {
        std::set<std::string> names;
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = read(watch, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + got;) {
                const auto* event = reinterpret_cast<inotify_event*>(at);
                names.insert(event->len ? event->name : "");
                at += sizeof(inotify_event) + event->len;
            }
        }
        return names;
    };
    const std::string shortOutput = "its report descriptor gives no usable report lengths";
    {
        CHidLink link(system);
        // A node that cannot be opened (root passes permission checks, a directory does not).
        fs::remove(kitNode);
        fs::create_directory(kitNode);
        EXPECT_EQ(link.EnsureOpen(), 0);
        EXPECT_EQ(link.LastRefusal().path, kitNode.string());
        EXPECT_EQ(link.LastRefusal().reason, "Is a directory");
        EXPECT_EQ(opened(), std::set<std::string>{});

        // A descriptor that cannot be parsed, then one whose output report cannot hold a
        // chunk (4 bytes and the id): refused, not a link that fails every tick.
        const Bytes cutOff{0x06, 0x00, 0xFF, 0x09};
        Bytes fourOut = VENDOR;
        fourOut.insert(fourOut.begin() + 20, {0x95, 0x04});
        for (const Bytes& descriptor : {cutOff, fourOut}) {
            fs::remove(kitNode);
            AddNode("hidraw2", "0003:0000D804:00000032", descriptor);
            opened();  // the test's own writes
            EXPECT_EQ(link.EnsureOpen(), 0);
            EXPECT_FALSE(link.IsOpen());
            EXPECT_EQ(link.LastRefusal().path, kitNode.string());
            EXPECT_EQ(link.LastRefusal().reason.rfind(shortOutput, 0), 0u)
                << link.LastRefusal().reason;
            EXPECT_EQ(opened(), std::set<std::string>{"hidraw2"});
        }
        // No Kit at all: nothing is opened and nothing is refused.
        fs::remove(kitNode);
        fs::remove_all(root / "sys" / "hidraw2");
        EXPECT_EQ(link.EnsureOpen(), 0);
        EXPECT_TRUE(link.LastRefusal().path.empty());
    }
    EXPECT_EQ(opened(), std::set<std::string>{});
    close(watch);
}

// One end of a packet socket pair as an open node; the test holds the other end.
class NodeDevice : public ::testing::Test {
  protected:
    void Make(bool numbered) {
        TearDown();
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        ReportLengths lengths{9, 9, numbered};
        device = std::make_unique<CHidrawDevice>(ends[0], lengths, "");
        board = ends[1];
    }
    void TearDown() override {
        device.reset();
        if (board >= 0) {
            close(board);
            board = -1;
        }
    }
    std::unique_ptr<CHidrawDevice> device;
    int board = -1;
};

// Reports cross in the link's layout; a read fails once the board has left, and a read that
// waits is woken by a cancel or a close, after which the device stays failed.
TEST_F(NodeDevice, ReportsCrossInTheLinksLayoutAndReadsEndWhenTheBoardLeavesOrOnCancelAndClose) {
    uint8_t buffer[9] = {};
    uint32_t count = 0, written = 0;
    // Without report ids the 0 byte is put in front; with them the id stays.
    for (bool numbered : {false, true}) {
        Make(numbered);
        ASSERT_EQ(write(board, "\x02xy", 3), 3);
        ASSERT_EQ(device->ReadReport(buffer, sizeof buffer, count), 1);
        EXPECT_EQ(Bytes(buffer, buffer + count),
                  (numbered ? Bytes{0x02, 'x', 'y'} : Bytes{0x00, 0x02, 'x', 'y'}));
    }
    // Output reports go as they are, byte 0 the report id.
    const Bytes report{0x00, 0x03, 0x1B, 0x54, 0x74, 5, 6, 7, 8};
    ASSERT_EQ(device->WriteReport(report.data(), report.size(), written), 1);
    EXPECT_EQ(written, 9u);
    uint8_t received[16];
    ASSERT_EQ(read(board, received, sizeof received), 9);
    EXPECT_EQ(Bytes(received, received + 9), report);
    // The board leaves with two reports still queued: they are read first (the hang-up
    // comes together with them), then the read fails instead of waiting.
    for (const char* report : {"\1a", "\1b"}) {
        ASSERT_EQ(write(board, report, 2), 2);
    }
    close(board);
    board = -1;
    for (char payload : {'a', 'b'}) {
        ASSERT_EQ(device->ReadReport(buffer, sizeof buffer, count), 1);
        EXPECT_EQ(Bytes(buffer, buffer + count), (Bytes{0x01, uint8_t(payload)}));
    }
    EXPECT_EQ(device->ReadReport(buffer, sizeof buffer, count), 0);

    for (bool cancel : {true, false}) {
        Make(false);
        std::promise<pid_t> readerId;
        std::promise<int> result;
        std::thread reader([&] {
            readerId.set_value(ThisThreadId());
            result.set_value(device->ReadReport(buffer, sizeof buffer, count));
        });
        std::future<int> ended = result.get_future();
        // The wake-up must end a read that already waits, not one yet to start.
        EXPECT_TRUE(WaitUntilBlockedIn(readerId.get_future().get(), POLL_CALLS)) << cancel;
        cancel ? device->CancelRead() : device->Close();
        if (ended.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            ADD_FAILURE() << "the read still waits; cancel " << cancel;
            send(board, "\x01\x02", 2, MSG_NOSIGNAL);  // lets it end
        }
        reader.join();
        EXPECT_EQ(ended.get(), 0);
        // Cancelled or closed for good, even with a report waiting.
        if (cancel) {
            ASSERT_EQ(write(board, "\x01\x02", 2), 2);
        }
        EXPECT_EQ(device->ReadReport(buffer, sizeof buffer, count), 0);
    }
    pollfd wait{board, POLLIN, 0};  // the closed device has let go of its end
    EXPECT_TRUE(poll(&wait, 1, 1000) == 1 && (wait.revents & POLLHUP));
    EXPECT_EQ(device->WriteReport(buffer, sizeof buffer, written), 0);
}

// A write the peer does not take is held by the writer's child: the process knows it is
// held (so nobody opens a node meanwhile), and the child lets go of the node once the write
// is done and the writer gone.
TEST(HidrawWriter, AHeldWriteIsTheChildsAndKnownUntilItEnds) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    const int smallest = 1;  // the kernel's minimum: a handful of reports
    ASSERT_EQ(setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
    auto writer = std::make_unique<CHidrawWriter>(ends[0]);
    EXPECT_FALSE(CHidrawWriter::WriteHeldLongerThan(0));
    uint8_t report[9] = {0, 1};  // byte 2 numbers the report
    std::atomic<int> done{0};
    std::thread sender([&] {
        // The peer's queue fills after a few reports; the next write waits in the child.
        for (int i = 0; i < 64; ++i) {
            report[2] = static_cast<uint8_t>(i);
            if (writer->Write(report, sizeof report) == static_cast<ssize_t>(sizeof report)) {
                done.fetch_add(1);
            }
        }
    });
    EXPECT_TRUE(WaitUntil([] { return CHidrawWriter::WriteHeldLongerThan(100); }, 5000));
    EXPECT_LT(done.load(), 64);
    // The peer reads again: every report arrives, in order, once.
    int received = 0;
    uint8_t buffer[16];
    while (received < 64) {
        pollfd wait{ends[1], POLLIN, 0};
        if (poll(&wait, 1, 5000) != 1) {
            break;
        }
        ASSERT_EQ(read(ends[1], buffer, sizeof buffer), static_cast<ssize_t>(sizeof report));
        EXPECT_EQ(buffer[2], received);
        ++received;
    }
    sender.join();
    EXPECT_EQ(received, 64);
    EXPECT_EQ(done.load(), 64);
    EXPECT_FALSE(CHidrawWriter::WriteHeldLongerThan(0));

    // The writer is the small helper program, not a copy of this process, which would keep
    // this process's memory as it was at the first write for the life of the connection.
    const std::string node =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(ends[0]));
    pid_t helper = 0;
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", error)) {
            const int pid = std::atoi(process.path().filename().c_str());
            if (pid != getpid() && std::filesystem::read_symlink(fd.path(), error) == node) {
                helper = pid;
            }
        }
    }
    ASSERT_NE(helper, 0);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(helper) + "/exe").filename(),
              "palvex-hidraw-writer");

    writer.reset();
    close(ends[0]);
    pollfd wait{ends[1], POLLIN, 0};
    EXPECT_TRUE(poll(&wait, 1, 2000) == 1 && (wait.revents & POLLHUP));
    close(ends[1]);
}

}  // namespace
