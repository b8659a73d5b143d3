// Files opened the way the ReadMe page needs them: read under an exclusive lock (another
// program holding the file makes the open fail), and replaced whole or not at all.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// A file open for reading that nobody else can open with the same kind of lock meanwhile.
// Used on one thread; the destructor closes the file and releases the lock.
class IFileReader {
  public:
    virtual ~IFileReader() = default;
    // Reads up to `size` bytes; returns the count read, 0 at the end of the file, -1 on error.
    virtual long long Read(void* buffer, std::size_t size) = 0;
    // The system's text for the last failed Read.
    virtual std::string FailureText() const = 0;
};

// Opens `path` for reading and takes an exclusive lock on it without waiting; null when the
// file is missing, locked by another open or program, or cannot be read, with the reason in
// `failure` when given. Where the file system refuses locks the file is read without one.
std::unique_ptr<IFileReader> OpenExclusive(const std::string& path, std::string* failure = nullptr);

// The new content of a file, written to a temporary file beside it and put in its place by
// Commit. Destroying it before a successful Commit removes the temporary file and leaves the
// target as it was. Used on one thread.
class IFileWriter {
  public:
    virtual ~IFileWriter() = default;
    // Appends all `size` bytes; false when they could not all be written.
    virtual bool Write(const void* data, std::size_t size) = 0;
    // Makes the written bytes durable and replaces the target with them; false on failure,
    // the target then unchanged.
    virtual bool Commit() = 0;
    // The system's text for the first failed Write or Commit.
    virtual std::string FailureText() const = 0;
};

// Starts replacing `target`; null when the temporary file cannot be created beside it or an
// existing target is locked by another open or program, with the reason in `failure` when
// given. A target that is a symbolic link is replaced by a regular file; the link's own
// target is left alone. The new file has the permission bits of the file the name showed
// (0644 when there was none), never set-id bits. Temporary files that an interrupted
// replacement of the same target left behind are removed first. `denied`, when given, says
// whether it failed for want of the right to write beside the target.
std::unique_ptr<IFileWriter> CreateReplacement(const std::string& target,
                                               std::string* failure = nullptr,
                                               bool* denied = nullptr);

// For the privileged firmware copier, which writes where its caller may not.

// Why an image of no bytes is refused, before or after it was handed over.
constexpr const char* EMPTY_IMAGE_TEXT = "Empty: there is no firmware in it";

// Makes what the caller handed this process its standard input (the image) and error output
// (the copier's one-line reason). On Linux they already are, and the copier takes no argument.
// On Windows an elevated process inherits nothing and may run as another account:
// `--from PID PIPE` names the caller, which must be the process that started this one, and
// the pipe it serves, which carries the image's length and bytes in and the reason out. False,
// with the reason, for any other arguments, a caller that is not the parent, or a pipe that
// is not the caller's.
bool TakeHandedStreams(int argc, char** argv, std::string* failure = nullptr);

// The image handed to this process, with the reason in `failure` when it is refused. On Linux
// its standard input, read whole from its start with the rights of the user who asked for the
// copy (where the system names one): null unless it is a regular file on a disk (never a file
// the system makes up as it is read) of at most `limit` bytes that no other open holds locked
// and that did not change while it was read; from then on a write past the process's file-size
// limit fails rather than ending the process. On Windows the bytes the caller read itself and
// sends through the pipe: null unless their announced count is 1 to `limit`.
std::unique_ptr<IFileReader> OpenHandedImage(long long limit, std::string* failure = nullptr);

// Whether a process with more rights than its caller may replace `target`: it is missing or a
// regular file, never a symbolic link, and its folder is a real folder (no symbolic link) that
// belongs to this process's user and that no one else can write, as is every folder above it
// (unless sticky), so nobody else can swap what the checks saw. Otherwise false, with the
// reason in `failure`.
bool IsSafePrivilegedTarget(const std::string& target, std::string* failure = nullptr);

}  // namespace platform
