// The simulated Kit's board model, driven through the two platform interfaces it implements.
#include "sim/sim_kit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr const char* KIT = "/sim/hidraw2";

// An output report as the link frames it: id 0, length, payload, each filler byte its index.
Bytes Frame(const Bytes& payload) {
    Bytes report = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    report[0] = 0;
    report[1] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), report.begin() + 2);
    return report;
}

int Write(platform::IHidDevice& device, const Bytes& payload) {
    const Bytes report = Frame(payload);
    uint32_t written = 0;
    return device.WriteReport(report.data(), static_cast<uint32_t>(report.size()), written);
}

// Reads one report on another thread, so a board that never answers fails the test instead
// of hanging it.
Bytes ReadPayload(platform::IHidDevice& device) {
    auto read = std::async(std::launch::async, [&] {
        uint8_t buffer[9] = {};
        uint32_t count = 0;
        if (!device.ReadReport(buffer, sizeof buffer, count) || count != 9 || buffer[0] != 0) {
            return Bytes{0xEE};
        }
        return Bytes(buffer + 2, buffer + 2 + buffer[1]);
    });
    if (read.wait_for(2s) != std::future_status::ready) {
        device.CancelRead();
        ADD_FAILURE() << "no input report";
    }
    return read.get();
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(SimKitHid, EnumeratesOtherDevicesAndTheKitOnlyWhilePlugged) {
    CSimKit kit;
    auto& hid = kit.Hid();
    EXPECT_EQ(hid.EnumerateInterfaces().size(), 2u);
    EXPECT_EQ(hid.Open(KIT), nullptr);

    kit.PlugUsb(true);
    const auto paths = hid.EnumerateInterfaces();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths.back(), KIT);
    // Discovery meets a device of another vendor and one of the Kit's vendor with another
    // product before the Kit itself.
    std::vector<std::pair<uint16_t, uint16_t>> ids;
    for (const auto& path : paths) {
        auto device = hid.Open(path);
        ASSERT_NE(device, nullptr) << path;
        uint16_t vendor = 0, product = 0;
        ASSERT_EQ(device->GetAttributes(vendor, product), 1);
        ids.emplace_back(vendor, product);
    }
    EXPECT_NE(ids[0].first, 0xD804);
    EXPECT_EQ(ids[1].first, 0xD804);
    EXPECT_NE(ids[1].second, 0x0032);
    EXPECT_EQ(ids[2], std::make_pair(uint16_t{0xD804}, uint16_t{0x0032}));
    EXPECT_EQ(kit.OpenHidHandles(), 0);

    auto device = hid.Open(KIT);
    auto second = hid.Open(KIT);
    ASSERT_NE(device, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(device.get(), second.get());
    EXPECT_EQ(kit.OpenHidHandles(), 2);
    platform::HidCaps caps;
    ASSERT_EQ(device->GetCaps(caps), 1);
    EXPECT_EQ(caps.inputReportByteLength, 9);
    EXPECT_EQ(caps.outputReportByteLength, 9);
    EXPECT_EQ(hid.Open("/sim/hidraw9"), nullptr);
    // A report longer than the device's output report is refused, not cut.
    const Bytes tooLong(10, 0);
    uint32_t written = 7;
    EXPECT_EQ(device->WriteReport(tooLong.data(), 10, written), 0);
    EXPECT_EQ(written, 0u);
    device->Close();
    EXPECT_EQ(device->GetCaps(caps), 0);
    EXPECT_EQ(kit.OpenHidHandles(), 1);
}

TEST(SimKitHid, AnswersVersionAndCloseKeepsLedAndEchoesData) {
    CSimKit kit;
    kit.PlugUsb(true);
    auto writer = kit.Hid().Open(KIT);
    auto reader = kit.Hid().Open(KIT);
    ASSERT_TRUE(writer && reader);

    ASSERT_EQ(Write(*writer, {0x1B, 'V', 'v'}), 1);
    EXPECT_EQ(ReadPayload(*reader), Text("K1.07"));
    // Every open handle gets every input report, as each hidraw descriptor does.
    EXPECT_EQ(ReadPayload(*writer), Text("K1.07"));
    kit.SetVersion("AB");
    EXPECT_EQ(kit.Version(), "AB   ");
    kit.SetVersion("2.10.77");
    ASSERT_EQ(Write(*writer, {0x1B, 'V', 'v'}), 1);
    EXPECT_EQ(ReadPayload(*reader), Text("2.10."));
    EXPECT_EQ(kit.VersionRequests(), 2);

    // LED commands change the state and answer nothing: the next report is the close answer.
    ASSERT_EQ(Write(*writer, {0x1B, 'L', 0x01}), 1);
    EXPECT_TRUE(kit.LedFlashing());
    ASSERT_EQ(Write(*writer, {0x1B, 'T', 't'}), 1);
    EXPECT_EQ(ReadPayload(*reader), Bytes{});
    EXPECT_EQ(kit.CloseCommands(), 1);
    ASSERT_EQ(Write(*writer, {0x1B, 'L', 0x00}), 1);
    EXPECT_FALSE(kit.LedFlashing());

    // User data comes back as it went; an empty report brings nothing back.
    ASSERT_EQ(Write(*writer, {}), 1);
    ASSERT_EQ(Write(*writer, Text("hello!!")), 1);
    EXPECT_EQ(ReadPayload(*reader), Text("hello!!"));
    ASSERT_EQ(Write(*writer, {0x1B, 'L', 0x02}), 1);
    EXPECT_EQ(ReadPayload(*reader), (Bytes{0x1B, 'L', 0x02}));

    // The board's own bytes come in reports of up to seven.
    kit.SendUsb(Text("0123456789ABCDE"));
    EXPECT_EQ(ReadPayload(*reader), Text("0123456"));
    EXPECT_EQ(ReadPayload(*reader), Text("789ABCD"));
    EXPECT_EQ(ReadPayload(*reader), Text("E"));

    const auto reports = kit.OutputReports();
    ASSERT_EQ(reports.size(), 8u);
    EXPECT_EQ(reports[0], (Bytes{0, 3, 0x1B, 'V', 'v', 5, 6, 7, 8}));
    EXPECT_EQ(reports[5], (Bytes{0, 0, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(SimKitHid, SilentBoardRecordsButAnswersNothing) {
    CSimKit kit;
    kit.PlugUsb(true);
    kit.SetSilent(true);
    auto device = kit.Hid().Open(KIT);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(Write(*device, {0x1B, 'V', 'v'}), 1);
    ASSERT_EQ(Write(*device, {0x1B, 'T', 't'}), 1);
    ASSERT_EQ(Write(*device, Text("abc")), 1);
    ASSERT_EQ(Write(*device, {0x1B, 'L', 0x01}), 1);
    EXPECT_EQ(kit.VersionRequests(), 1);
    EXPECT_EQ(kit.CloseCommands(), 1);
    EXPECT_EQ(kit.OutputReports().size(), 4u);
    EXPECT_TRUE(kit.LedFlashing());
    // Its own sends still go out, and they are the first thing the host sees.
    kit.SendUsb({0x42});
    EXPECT_EQ(ReadPayload(*device), Bytes{0x42});
}

TEST(SimKitHid, UnplugFailsReadsAndWritesAndReplugNeedsNewOpen) {
    CSimKit kit;
    kit.PlugUsb(true);
    auto writer = kit.Hid().Open(KIT);
    auto reader = kit.Hid().Open(KIT);
    ASSERT_TRUE(writer && reader);

    // A report waits in the writer handle's queue; the reader took its copy.
    kit.SendUsb({1, 2, 3});
    EXPECT_EQ(ReadPayload(*reader), (Bytes{1, 2, 3}));

    auto blocked = std::async(std::launch::async, [&] {
        uint8_t buffer[9];
        uint32_t count = 0;
        return reader->ReadReport(buffer, sizeof buffer, count);
    });
    EXPECT_EQ(blocked.wait_for(20ms), std::future_status::timeout);
    const auto start = std::chrono::steady_clock::now();
    kit.PlugUsb(false);
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // Later calls fail too; what was queued is lost with the device.
    uint8_t buffer[9];
    uint32_t count = 0;
    EXPECT_EQ(reader->ReadReport(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(writer->ReadReport(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(Write(*writer, Text("x")), 0);
    uint16_t vendor, product;
    EXPECT_EQ(writer->GetAttributes(vendor, product), 0);
    EXPECT_EQ(kit.Hid().EnumerateInterfaces().size(), 2u);
    EXPECT_EQ(kit.Hid().Open(KIT), nullptr);
    EXPECT_EQ(kit.OutputReports().size(), 0u);

    // After a replug enumeration finds it again; old handles stay dead, a new one works.
    kit.PlugUsb(true);
    ASSERT_EQ(kit.Hid().EnumerateInterfaces().back(), KIT);
    EXPECT_EQ(Write(*writer, Text("x")), 0);
    EXPECT_EQ(reader->ReadReport(buffer, sizeof buffer, count), 0);
    auto again = kit.Hid().Open(KIT);
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(Write(*again, {0x1B, 'V', 'v'}), 1);
    EXPECT_EQ(ReadPayload(*again), Text("K1.07"));
    EXPECT_EQ(kit.OpenHidHandles(), 3);
}

TEST(SimKitHid, CancelAndCloseWakeBlockedReads) {
    CSimKit kit;
    kit.PlugUsb(true);
    for (const auto& path : kit.Hid().EnumerateInterfaces()) {
        for (bool cancel : {true, false}) {
            auto device = kit.Hid().Open(path);
            ASSERT_NE(device, nullptr);
            auto blocked = std::async(std::launch::async, [&] {
                uint8_t buffer[9];
                uint32_t count = 0;
                return device->ReadReport(buffer, sizeof buffer, count);
            });
            EXPECT_EQ(blocked.wait_for(20ms), std::future_status::timeout);
            cancel ? device->CancelRead() : device->Close();
            ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready) << path;
            EXPECT_EQ(blocked.get(), 0);
            // A cancel holds for later reads too, even with a report waiting.
            kit.SendUsb({1});
            uint8_t buffer[9];
            uint32_t count = 0;
            EXPECT_EQ(device->ReadReport(buffer, sizeof buffer, count), 0);
            // A cancelled handle stays open until it is closed.
            EXPECT_EQ(kit.OpenHidHandles(), cancel ? 1 : 0);
        }
    }
}

TEST(SimKitHid, PacedStreamLosesNothingUnpacedQueueDropsNewest) {
    CSimKit kit;
    kit.PlugUsb(true);
    auto writer = kit.Hid().Open(KIT);  // never read, like the link's write handle
    auto reader = kit.Hid().Open(KIT);
    ASSERT_TRUE(writer && reader);

    constexpr int REPORTS = 500;
    Bytes stream;
    for (int i = 0; i < REPORTS * 7; ++i) {
        stream.push_back(static_cast<uint8_t>(i * 13));
    }
    // A handle counts as being read from its first read on.
    kit.SendUsb({0x99});
    EXPECT_EQ(ReadPayload(*reader), Bytes{0x99});
    auto received = std::async(std::launch::async, [&] {
        Bytes bytes;
        for (int i = 0; i < REPORTS; ++i) {
            uint8_t buffer[9];
            uint32_t count = 0;
            if (!reader->ReadReport(buffer, sizeof buffer, count)) {
                break;
            }
            bytes.insert(bytes.end(), buffer + 2, buffer + 2 + buffer[1]);
        }
        return bytes;
    });
    // Echoes from another thread meanwhile, answered without waiting.
    auto writes = std::async(std::launch::async, [&] {
        for (int i = 0; i < 20; ++i) {
            Write(*writer, {0x1B, 'L', static_cast<uint8_t>(i & 1)});
        }
    });
    kit.SendUsb(stream);
    ASSERT_EQ(received.wait_for(5s), std::future_status::ready);
    writes.get();
    EXPECT_EQ(received.get(), stream);
    EXPECT_EQ(kit.DroppedInputReports(), 0);

    kit.SetPacedUsb(false);
    Bytes burst;
    for (int i = 0; i < 100; ++i) {
        burst.push_back(static_cast<uint8_t>(i));
    }
    for (uint8_t b : burst) {
        kit.SendUsb({b});
    }
    EXPECT_EQ(kit.DroppedInputReports(), 36);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(ReadPayload(*reader), Bytes{burst[i]});
    }
    kit.SendUsb({0xAB});
    EXPECT_EQ(ReadPayload(*reader), Bytes{0xAB});
}

TEST(SimKitSerial, OpensCom1ExclusivelyOnlyWhileConnected) {
    CSimKit kit;
    auto& ports = kit.SerialPorts();
    auto port = ports.CreatePort();
    EXPECT_EQ(port->Open("COM1"), 0);
    EXPECT_EQ(port->LastErrorText(), "No such file or directory");
    EXPECT_FALSE(port->IsOpen());

    kit.ConnectSerial(true);
    for (const char* name : {"COM2", "COM3", "COM4", "com1", ""}) {
        auto other = ports.CreatePort();
        EXPECT_EQ(other->Open(name), 0) << name;
        EXPECT_EQ(other->LastErrorText(), "No such file or directory") << name;
    }
    ASSERT_EQ(port->Open("COM1"), 1);
    EXPECT_TRUE(port->IsOpen());
    auto second = ports.CreatePort();
    EXPECT_EQ(second->Open("COM1"), 0);
    EXPECT_EQ(second->LastErrorText(), "Device or resource busy");
    EXPECT_EQ(second->SetEventMask(0), 0);
    EXPECT_EQ(second->LastErrorText(), "Bad file descriptor");
    EXPECT_EQ(ports.DevicePath("COM2"), "");
    EXPECT_NE(ports.DevicePath("COM1"), "");

    // Everything the link programs for 19200 8N1 is kept.
    EXPECT_EQ(port->SetQueueSizes(1024, 1024), 1);
    platform::SerialLineState line;
    ASSERT_EQ(port->GetLineState(line), 1);
    line.baudRate = 19200;
    line.byteSize = 8;
    line.parity = platform::NOPARITY;
    line.stopBits = platform::ONESTOPBIT;
    line.fDtrControl = platform::DTR_CONTROL_DISABLE;
    line.fRtsControl = platform::RTS_CONTROL_DISABLE;
    ASSERT_EQ(port->SetLineState(line), 1);
    EXPECT_EQ(kit.SerialLine().baudRate, 19200u);
    platform::SerialLineState bad = line;
    bad.byteSize = 9;
    EXPECT_EQ(port->SetLineState(bad), 0);
    EXPECT_EQ(port->LastErrorText(), "Invalid argument");
    EXPECT_EQ(port->SetEventMask(0), 1);
    const platform::SerialTimeouts timeouts{platform::MAXDWORD, 0, 0, 2000, 0};
    ASSERT_EQ(port->SetTimeouts(timeouts), 1);
    platform::SerialTimeouts back;
    ASSERT_EQ(port->GetTimeouts(back), 1);
    EXPECT_EQ(back.readInterval, platform::MAXDWORD);
    EXPECT_EQ(back.writeTotalMultiplier, 2000u);

    port->Close();
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(second->Open("COM1"), 1);
}

TEST(SimKitSerial, EchoesLineBytesAndSurvivesAReconnect) {
    CSimKit kit;
    kit.ConnectSerial(true);
    auto port = kit.SerialPorts().CreatePort();
    ASSERT_EQ(port->Open("COM1"), 1);
    ASSERT_EQ(port->SetTimeouts({platform::MAXDWORD, 0, 0, 2000, 0}), 1);

    uint8_t buffer[64];
    uint32_t count = 99;
    ASSERT_EQ(port->Read(buffer, sizeof buffer, count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port->WaitReadable(10), 0);

    const Bytes hello = Text("hello");
    uint32_t written = 0;
    ASSERT_EQ(port->Write(hello.data(), 5, written), 1);
    EXPECT_EQ(written, 5u);
    uint32_t queued = 7;
    EXPECT_EQ(port->ClearError(queued), 1);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(port->WaitOutputDrained(100), 1);
    ASSERT_EQ(port->WaitReadable(2000), 1);
    ASSERT_EQ(port->Read(buffer, 3, count), 1);
    EXPECT_EQ(Bytes(buffer, buffer + count), Text("hel"));
    ASSERT_EQ(port->Read(buffer, sizeof buffer, count), 1);
    EXPECT_EQ(Bytes(buffer, buffer + count), Text("lo"));
    EXPECT_EQ(kit.SerialReceived(), hello);

    // A silent board takes the bytes and sends only its own.
    kit.SetSilent(true);
    ASSERT_EQ(port->Write(hello.data(), 5, written), 1);
    kit.SendSerial({'Z'});
    ASSERT_EQ(port->WaitReadable(2000), 1);
    ASSERT_EQ(port->Read(buffer, sizeof buffer, count), 1);
    EXPECT_EQ(Bytes(buffer, buffer + count), Text("Z"));
    EXPECT_EQ(kit.SerialReceived().size(), 10u);
    kit.SetSilent(false);

    // A disconnect wakes a waiting reader and fails the port until the line is back.
    auto waiting = std::async(std::launch::async, [&] { return port->WaitReadable(5000); });
    EXPECT_EQ(waiting.wait_for(20ms), std::future_status::timeout);
    const auto start = std::chrono::steady_clock::now();
    kit.ConnectSerial(false);
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(port->Read(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(port->LastErrorText(), "Input/output error");
    EXPECT_EQ(port->Write(hello.data(), 5, written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(port->ClearError(queued), 0);
    kit.SendSerial({'x'});  // lost on a dead line

    kit.ConnectSerial(true);
    ASSERT_EQ(port->Write(hello.data(), 2, written), 1);
    ASSERT_EQ(port->WaitReadable(2000), 1);
    ASSERT_EQ(port->Read(buffer, sizeof buffer, count), 1);
    EXPECT_EQ(Bytes(buffer, buffer + count), Text("he"));
}

TEST(SimKitSerial, ConcurrentReadAndWriteKeepEveryByteInOrder) {
    CSimKit kit;
    kit.ConnectSerial(true);
    auto port = kit.SerialPorts().CreatePort();
    ASSERT_EQ(port->Open("COM1"), 1);
    ASSERT_EQ(port->SetTimeouts({platform::MAXDWORD, 0, 0, 2000, 0}), 1);
    Bytes sent;
    for (int i = 0; i < 3000; ++i) {
        sent.push_back(static_cast<uint8_t>(i * 7));
    }
    auto reader = std::async(std::launch::async, [&] {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
            port->WaitReadable(100);
            uint8_t buffer[64];
            uint32_t count = 0;
            if (!port->Read(buffer, sizeof buffer, count)) {
                break;
            }
            got.insert(got.end(), buffer, buffer + count);
        }
        return got;
    });
    for (size_t offset = 0; offset < sent.size(); offset += 100) {
        uint32_t written = 0;
        ASSERT_EQ(port->Write(sent.data() + offset, 100, written), 1);
    }
    EXPECT_EQ(reader.get(), sent);
    EXPECT_EQ(kit.DroppedSerialBytes(), 0);
}

TEST(SimKit, ObserverRunsOutsideTheLockAndHandlesOutliveTheKit) {
    auto kit = std::make_unique<CSimKit>();
    std::atomic<int> calls{0};
    kit->SetObserver([&] {
        // Reading the kit from the observer must not deadlock.
        (void)kit->LedFlashing();
        ++calls;
    });
    kit->PlugUsb(true);
    kit->ConnectSerial(true);
    auto device = kit->Hid().Open(KIT);
    ASSERT_EQ(Write(*device, {0x1B, 'L', 0x01}), 1);
    EXPECT_EQ(calls.load(), 3);
    // An observer that replaces itself does not wait for its own call.
    kit->SetObserver([&] { kit->SetObserver(nullptr); });
    kit->SetSilent(true);
    kit->SetSilent(false);
    EXPECT_EQ(calls.load(), 3);

    auto port = kit->SerialPorts().CreatePort();
    ASSERT_EQ(port->Open("COM1"), 1);
    kit.reset();
    uint8_t buffer[9];
    uint32_t count = 0;
    EXPECT_EQ(device->ReadReport(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(port->Read(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(port->Close(), 1);
}

}  // namespace
