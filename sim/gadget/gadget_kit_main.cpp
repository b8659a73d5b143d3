// palvex-gadget-kit: the Kit as a USB gadget, driven by commands on standard input, one a
// line, so a script can plug, stall and stream while a program under test runs:
//   plug | unplug | silent on|off | stall on|off | version XXXXX
//   usb TEXT | serial TEXT | stream usb|serial COUNT BYTES_PER_SECOND
//   status (prints one line of what the board has seen)
//   received (prints every output report and the serial bytes the board got, in hex)
//   quit (or end of input)
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "sim/gadget/gadget_kit.h"

namespace {

// COUNT bytes of a repeating printable pattern with a line end every 64, at a steady rate.
void Stream(sim::gadget::CGadgetKit& kit, bool usb, long count, long rate) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> chunk;
    for (long sent = 0; sent < count;) {
        chunk.clear();
        for (long i = 0; i < 70 && sent + i < count; ++i) {
            const long n = sent + i;
            chunk.push_back(n % 64 == 63 ? '\n' : static_cast<uint8_t>('0' + n % 64 % 43));
        }
        usb ? kit.SendUsb(chunk) : kit.SendSerial(chunk);
        sent += static_cast<long>(chunk.size());
        if (rate > 0) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(sent * 1000000 / rate));
        }
    }
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

}  // namespace

int main() {
    sim::gadget::CGadgetKit kit;
    std::string error;
    if (!kit.Start(error)) {
        std::fprintf(stderr, "palvex-gadget-kit: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, argument;
        words >> command;
        std::getline(words >> std::ws, argument);
        if (command == "plug" || command == "unplug") {
            kit.Plug(command == "plug");
        } else if (command == "silent") {
            kit.SetSilent(argument == "on");
        } else if (command == "stall") {
            kit.SetOutStalled(argument == "on");
        } else if (command == "version") {
            kit.SetVersion(argument);
        } else if (command == "usb" || command == "serial") {
            const std::vector<uint8_t> bytes(argument.begin(), argument.end());
            command == "usb" ? kit.SendUsb(bytes) : kit.SendSerial(bytes);
        } else if (command == "stream") {
            std::istringstream values(argument);
            std::string channel;
            long count = 0, rate = 0;
            values >> channel >> count >> rate;
            Stream(kit, channel == "usb", count, rate);
        } else if (command == "status") {
            std::printf(
                "plugged=%d led=%d version_requests=%d close_commands=%d "
                "output_reports=%zu serial_received=%zu usb_pending=%zu serial_pending=%zu\n",
                kit.Plugged(), kit.LedFlashing(), kit.VersionRequests(), kit.CloseCommands(),
                kit.OutputReports().size(), kit.SerialReceived().size(), kit.UsbPending(),
                kit.SerialPending());
        } else if (command == "received") {
            // One line, so a script reading the log takes it whole: reports=HEX,HEX serial=HEX
            std::string reports;
            for (const auto& report : kit.OutputReports()) {
                // Appended, not "," + Hex(...): g++ 12 at -O3 sees a false overlap there.
                if (!reports.empty()) {
                    reports += ',';
                }
                reports += Hex(report);
            }
            std::printf("reports=%s serial=%s\n", reports.c_str(),
                        Hex(kit.SerialReceived()).c_str());
        } else if (command == "quit") {
            break;
        } else if (!command.empty()) {
            std::fprintf(stderr, "palvex-gadget-kit: unknown command: %s\n", command.c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}
