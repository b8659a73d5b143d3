// What CHidrawWriter and its helper program, palvex-hidraw-writer, say to each other over
// their socket pair (SOCK_SEQPACKET: one message each). The helper starts with the node on
// WRITER_NODE_FD and its end of the pair on WRITER_CHANNEL_FD; further descriptors from
// WRITER_CHANNEL_FD + 1 on are other open files of the same node, held and never used.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::linux_hid {

inline constexpr int WRITER_NODE_FD = 3;
inline constexpr int WRITER_CHANNEL_FD = 4;
inline constexpr const char* WRITER_PROGRAM = "palvex-hidraw-writer";

// Longest report passed on; hidraw reports are at most 4096 bytes and the id.
inline constexpr size_t WRITER_MAX_REPORT = 4096 + 1;

// The helper's first message, once it runs: one byte.
inline constexpr uint8_t WRITER_READY = 1;

// Its answer to each report.
struct WriterResult {
    int64_t written;  // bytes, or -1
    int32_t error;    // errno when written is -1
};

}  // namespace platform::linux_hid
