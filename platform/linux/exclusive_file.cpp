// Exclusive reads and whole-file replacement on Linux: flock for the sharing, mkstemp, fsync
// and rename for a replacement that never leaves a partial file in place.
#include "platform/exclusive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace platform {

namespace {

// Opens a regular file without blocking on FIFOs or devices and locks it exclusively.
// Returns the descriptor, -1 when it is missing or not a regular file, -2 when it is locked.
int OpenLocked(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -2;
    }
    return fd;
}

class CLockedReader final : public IFileReader {
  public:
    explicit CLockedReader(int fd) : fd(fd) {}
    ~CLockedReader() override { close(fd); }  // closing releases the lock

    long long Read(void* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t count = read(fd, buffer, size);
            if (count >= 0 || errno != EINTR) {
                return count;
            }
        }
    }

  private:
    int fd;
};

class CReplacementWriter final : public IFileWriter {
  public:
    CReplacementWriter(std::string target, std::string temporary, int fd, int targetLock,
                       mode_t mode)
        : target(std::move(target)),
          temporary(std::move(temporary)),
          fd(fd),
          targetLock(targetLock),
          mode(mode) {}

    ~CReplacementWriter() override {
        if (fd >= 0) {
            close(fd);
        }
        if (!committed) {
            unlink(temporary.c_str());
        }
        if (targetLock >= 0) {
            close(targetLock);
        }
    }

    bool Write(const void* data, std::size_t size) override {
        const char* bytes = static_cast<const char*>(data);
        while (!failed && size > 0) {
            const ssize_t count = write(fd, bytes, size);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                failed = true;
                break;
            }
            bytes += count;
            size -= static_cast<std::size_t>(count);
        }
        return !failed;
    }

    bool Commit() override {
        if (failed || fd < 0) {
            return false;
        }
        const bool written = fchmod(fd, mode) == 0 && fsync(fd) == 0;
        const bool closed = close(fd) == 0;
        fd = -1;
        if (!written || !closed || rename(temporary.c_str(), target.c_str()) != 0) {
            failed = true;
            return false;
        }
        committed = true;
        // Make the rename itself durable; the new content is in place either way.
        const int directory = open(DirectoryOf(target).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
        if (directory >= 0) {
            fsync(directory);
            close(directory);
        }
        return true;
    }

    static std::string DirectoryOf(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return ".";
        }
        return slash == 0 ? "/" : path.substr(0, slash);
    }

  private:
    std::string target;
    std::string temporary;
    int fd;
    int targetLock;
    mode_t mode;
    bool failed = false;
    bool committed = false;
};

}  // namespace

std::unique_ptr<IFileReader> OpenExclusive(const std::string& path) {
    const int fd = OpenLocked(path);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<CLockedReader>(fd);
}

std::unique_ptr<IFileWriter> CreateReplacement(const std::string& target) {
    if (target.empty() || target.back() == '/') {
        return nullptr;
    }
    // An existing target held by another program stays untouched; holding its lock until the
    // rename keeps other cooperating programs out meanwhile.
    mode_t mode = 0644;
    int targetLock = -1;
    struct stat status {};
    if (stat(target.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            return nullptr;
        }
        mode = status.st_mode & 07777;
        targetLock = OpenLocked(target);
        if (targetLock == -2) {
            return nullptr;
        }
    }
    const std::size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string directory =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string pattern = directory + "." + name + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) {
        if (targetLock >= 0) {
            close(targetLock);
        }
        return nullptr;
    }
    return std::make_unique<CReplacementWriter>(target, std::string(buffer.data()), fd, targetLock,
                                                mode);
}

}  // namespace platform
