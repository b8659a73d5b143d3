// Where a traffic log goes: a regular file appended to, or a pipe, FIFO or device written as
// it is. Neither opening nor writing ever waits unboundedly for a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class ILogOutput {
  public:
    // Asked while the other end takes nothing (a pipe whose reader has stopped reading), with
    // the milliseconds since it last took a byte; false gives the write up.
    using KeepWaiting = std::function<bool(int64_t stalledMs)>;

    virtual ~ILogOutput() = default;
    // Writes all `size` bytes, or fails: the system's error (a reader that has gone), or the
    // wait given up. Never raises a signal. Used on one thread.
    virtual bool Write(const void* data, std::size_t size, const KeepWaiting& keepWaiting) = 0;
    // The reason for the last failed Write.
    virtual std::string FailureText() const = 0;
};

// Opens `path` to append to, creating a missing file; null with the reason in `failure` when
// it cannot be opened. A FIFO or pipe that no program reads fails at once rather than waiting.
std::unique_ptr<ILogOutput> OpenLogOutput(const std::string& path, std::string* failure = nullptr);

}  // namespace platform
