// palvex-hidraw-writer: writes a hidraw node's output reports for Palvex, so that a write the
// kernel holds (a board that stopped reading) holds this small process and not Palvex. It
// holds the node's open files it was started with, writes each report it is sent, answers
// with the result, and ends when Palvex closes its end of the channel.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/hidraw_writer_protocol.h"

using namespace platform::linux_hid;

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("palvex-hidraw-writer %s\n", PALVEX_VERSION);
        return 0;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const uint8_t ready = WRITER_READY;
    if (::send(WRITER_CHANNEL_FD, &ready, sizeof ready, MSG_NOSIGNAL) != sizeof ready) {
        // Started by hand: no Palvex holds the other end.
        std::fprintf(stderr,
                     "palvex-hidraw-writer: started by Palvex for a Kit it opens; "
                     "not a command to run by hand\n");
        return 1;
    }
    static uint8_t report[WRITER_MAX_REPORT];
    for (;;) {
        const ssize_t got = ::recv(WRITER_CHANNEL_FD, report, sizeof report, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return 0;
        }
        WriterResult result{};
        do {
            result.written = ::write(WRITER_NODE_FD, report, static_cast<size_t>(got));
        } while (result.written < 0 && errno == EINTR);
        result.error = result.written < 0 ? errno : 0;
        if (::send(WRITER_CHANNEL_FD, &result, sizeof result, MSG_NOSIGNAL) < 0) {
            return 0;  // nobody waits for the answer any more
        }
    }
}
