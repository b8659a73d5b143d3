// Exclusive reads and whole-file replacement on Linux: flock for the sharing, mkstemp, fsync
// and rename for a replacement that never leaves a partial file in place.
#include "platform/exclusive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/error_text.h"

namespace platform {

namespace {

constexpr const char* LOCKED_TEXT = "In use by another program";
constexpr const char* NOT_REGULAR_TEXT = "Not a regular file";
// Temporary files are "." + target name + this + six characters from mkstemp.
constexpr const char* TEMPORARY_INFIX = ".part-";
constexpr std::size_t TEMPORARY_RANDOM = 6;
constexpr int TEMPORARY_ATTEMPTS = 3;

void SetFailure(std::string* failure, std::string text) {
    if (failure != nullptr) {
        *failure = std::move(text);
    }
}

// Takes an exclusive lock without waiting; false only when another open holds it. A file
// system that refuses the lock itself (NFS refuses an exclusive one on a file opened for
// reading) is used without it: the lock only keeps cooperating programs apart, and refusing
// to go on would make such a file unusable.
bool Lock(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return false;
        }
        if (errno != EINTR) {
            return true;
        }
    }
    return true;
}

// Opens a regular file without blocking on FIFOs or devices and locks it exclusively.
// Returns the descriptor, -1 when it is missing, unreadable or not a regular file, -2 when
// it is locked; `failure` gets the reason.
int OpenLocked(const std::string& path, std::string* failure) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        SetFailure(failure, ErrorText(errno));
        return -1;
    }
    struct stat status {};
    const bool statusRead = fstat(fd, &status) == 0;
    if (!statusRead || !S_ISREG(status.st_mode)) {
        SetFailure(failure, statusRead ? NOT_REGULAR_TEXT : ErrorText(errno));
        close(fd);
        return -1;
    }
    if (!Lock(fd)) {
        SetFailure(failure, LOCKED_TEXT);
        close(fd);
        return -2;
    }
    return fd;
}

// Removes the temporary files of earlier replacements of `name` that nobody writes any more:
// a writer holds the lock on its temporary file until it is renamed or removed.
void RemoveLeftovers(const std::string& directory, const std::string& name) {
    DIR* entries = opendir(directory.empty() ? "." : directory.c_str());
    if (entries == nullptr) {
        return;
    }
    const std::string prefix = "." + name + TEMPORARY_INFIX;
    while (const dirent* entry = readdir(entries)) {
        const std::string entryName = entry->d_name;
        if (entryName.size() != prefix.size() + TEMPORARY_RANDOM ||
            entryName.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const int fd = openat(dirfd(entries), entry->d_name,
                              O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        struct stat status {};
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && Lock(fd)) {
            unlinkat(dirfd(entries), entry->d_name, 0);
        }
        close(fd);
    }
    closedir(entries);
}

class CLockedReader final : public IFileReader {
  public:
    explicit CLockedReader(int fd) : fd(fd) {}
    ~CLockedReader() override { close(fd); }  // closing releases the lock

    long long Read(void* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t count = read(fd, buffer, size);
            if (count >= 0 || errno != EINTR) {
                if (count < 0) {
                    failure = ErrorText(errno);
                }
                return count;
            }
        }
    }

    std::string FailureText() const override { return failure; }

  private:
    int fd;
    std::string failure;
};

// An image read whole before it is checked and handed on.
class CMemoryReader final : public IFileReader {
  public:
    explicit CMemoryReader(std::string bytes) : bytes(std::move(bytes)) {}

    long long Read(void* buffer, std::size_t size) override {
        const std::size_t count = std::min(size, bytes.size() - offset);
        std::memcpy(buffer, bytes.data() + offset, count);
        offset += count;
        return static_cast<long long>(count);
    }

    std::string FailureText() const override { return {}; }

  private:
    std::string bytes;
    std::size_t offset = 0;
};

// File systems whose "files" are the kernel's answers, computed for whoever reads them (a root
// reader of /proc/PID/stat gets addresses its owner sees as zeros): never a firmware image.
bool IsPseudoFileSystem(long type) {
    static constexpr long PSEUDO[] = {
        PROC_SUPER_MAGIC,
        SYSFS_MAGIC,
        DEBUGFS_MAGIC,
        TRACEFS_MAGIC,
        SECURITYFS_MAGIC,
        CGROUP_SUPER_MAGIC,
        CGROUP2_SUPER_MAGIC,
        0x62656570 /* configfs */,
        BPF_FS_MAGIC,
        EFIVARFS_MAGIC,
        PSTOREFS_MAGIC,
        SELINUX_MAGIC,
        SMACK_MAGIC,
        DEVPTS_SUPER_MAGIC,
        0x65735543 /* fusectl */,
        BINFMTFS_MAGIC,
        NSFS_MAGIC,
        0x19800202 /* mqueue */,
        0x67596969 /* rpc_pipefs */,
        0x6e667364 /* nfsd */,
        AUTOFS_SUPER_MAGIC,
        ANON_INODE_FS_MAGIC,
        SOCKFS_MAGIC,
        PIPEFS_MAGIC,
    };
    for (const long pseudo : PSEUDO) {
        if (type == pseudo) {
            return true;
        }
    }
    return false;
}

// While it lives, this process reads and opens with the rights of the user pkexec names as the
// one who asked (PKEXEC_UID), not root's: giving up root's effective user also drops its
// capabilities. Nothing changes when no one is named or this process is not root.
class CAskerRights {
  public:
    CAskerRights() {
        const char* asker = std::getenv("PKEXEC_UID");
        if (asker == nullptr || *asker == '\0' || geteuid() != 0) {
            return;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long uid = std::strtoul(asker, &end, 10);
        const bool parsed = *end == '\0' && errno == 0 && uid <= 0xfffffffeUL;
        if (!parsed || uid == 0) {
            failed = !parsed;  // root asked: root's rights are the asker's
            return;
        }
        gid_t gid = static_cast<gid_t>(uid);
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) ==
                0 &&
            found != nullptr) {
            gid = found->pw_gid;
        }
        const int saved = getgroups(0, nullptr);
        savedGroups.resize(saved > 0 ? static_cast<std::size_t>(saved) : 0);
        failed = saved < 0 || getgroups(saved, savedGroups.data()) != saved;
        if (failed) {
            return;
        }
        dropped = true;  // from here on, whatever of it was done is undone
        if (setgroups(1, &gid) != 0 || setegid(gid) != 0 || seteuid(static_cast<uid_t>(uid)) != 0) {
            Restore();
            failed = true;
        }
    }
    ~CAskerRights() { Restore(); }
    CAskerRights(const CAskerRights&) = delete;
    CAskerRights& operator=(const CAskerRights&) = delete;

    // Whether a user was named whose rights could not be taken: then nothing is read.
    bool Failed() const { return failed; }

  private:
    void Restore() {
        // Back to root for the write; a failure here would leave the copy unable to write,
        // never with more rights than before.
        if (!dropped) {
            return;
        }
        if (seteuid(0) == 0 && setegid(0) == 0) {
            setgroups(savedGroups.size(), savedGroups.data());
        }
        dropped = false;
    }

    std::vector<gid_t> savedGroups;
    bool dropped = false;
    bool failed = false;
};

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

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
        if (!committed) {
            unlink(temporary.c_str());
        }
        close(fd);  // after the unlink: the lock keeps other transfers' clean-up off it
        if (targetLock >= 0) {
            close(targetLock);
        }
    }

    bool Write(const void* data, std::size_t size) override {
        const char* bytes = static_cast<const char*>(data);
        while (failure.empty() && size > 0) {
            const ssize_t count = write(fd, bytes, size);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                Fail(count < 0 ? errno : ENOSPC);
                break;
            }
            bytes += count;
            size -= static_cast<std::size_t>(count);
        }
        return failure.empty();
    }

    bool Commit() override {
        if (!failure.empty() || committed) {
            return false;
        }
        // Renamed while still open and locked, so no other transfer takes it for a leftover.
        if (fchmod(fd, mode) != 0 || fsync(fd) != 0 ||
            rename(temporary.c_str(), target.c_str()) != 0) {
            Fail(errno);
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

    std::string FailureText() const override { return failure; }

    static std::string DirectoryOf(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return ".";
        }
        return slash == 0 ? "/" : path.substr(0, slash);
    }

  private:
    void Fail(int code) {
        if (failure.empty()) {
            failure = ErrorText(code);
        }
    }

    std::string target;
    std::string temporary;
    int fd;
    int targetLock;
    mode_t mode;
    std::string failure;  // empty until something failed
    bool committed = false;
};

}  // namespace

std::unique_ptr<IFileReader> OpenExclusive(const std::string& path, std::string* failure) {
    const int fd = OpenLocked(path, failure);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<CLockedReader>(fd);
}

std::unique_ptr<IFileWriter> CreateReplacement(const std::string& target, std::string* failure,
                                               bool* denied) {
    if (denied != nullptr) {
        *denied = false;
    }
    if (target.empty() || target.back() == '/') {
        SetFailure(failure, ErrorText(EISDIR));
        return nullptr;
    }
    // An existing target held by another program stays untouched; holding its lock until the
    // rename keeps other cooperating programs out meanwhile. Through a symbolic link that is
    // the file it names; the rename then puts a regular file in the link's place, so a file
    // that other names may share is never changed. Set-id bits are never carried over.
    mode_t mode = 0644;
    int targetLock = -1;
    struct stat status {};
    if (stat(target.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            SetFailure(failure, NOT_REGULAR_TEXT);
            return nullptr;
        }
        mode = status.st_mode & 0777;
        targetLock = OpenLocked(target, failure);
        if (targetLock == -2) {
            return nullptr;
        }
    }
    const std::size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string directory =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    RemoveLeftovers(directory, name);

    // The temporary file is locked at once; one that another transfer's clean-up removed
    // before that (its link count is 0 then) is made again.
    const std::string pattern = directory + "." + name + TEMPORARY_INFIX + "XXXXXX";
    for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; ++attempt) {
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const int fd = mkostemp(buffer.data(), O_CLOEXEC);
        if (fd < 0) {
            if (denied != nullptr) {
                *denied = errno == EACCES || errno == EPERM;
            }
            SetFailure(failure, ErrorText(errno));
            break;
        }
        if (Lock(fd) && fstat(fd, &status) == 0 && status.st_nlink > 0) {
            return std::make_unique<CReplacementWriter>(target, std::string(buffer.data()), fd,
                                                        targetLock, mode);
        }
        close(fd);
        SetFailure(failure, LOCKED_TEXT);
    }
    if (targetLock >= 0) {
        close(targetLock);
    }
    return nullptr;
}

bool TakeHandedStreams(int argc, char** /*argv*/, std::string* failure) {
    if (argc != 1) {
        SetFailure(failure, "Takes no argument: the image is its standard input");
        return false;
    }
    return true;
}

std::unique_ptr<IFileReader> OpenHandedImage(long long limit, std::string* failure) {
    signal(SIGXFSZ, SIG_IGN);  // EFBIG from write instead
    // Everything about the image is learnt with the asker's rights; root's come back for the
    // write once the whole image is in memory.
    const CAskerRights asker;
    if (asker.Failed()) {
        SetFailure(failure, "The rights of the user who asked could not be taken");
        return nullptr;
    }
    struct stat before {};
    if (fstat(STDIN_FILENO, &before) != 0) {
        SetFailure(failure, ErrorText(errno));
        return nullptr;
    }
    if (!S_ISREG(before.st_mode)) {
        SetFailure(failure, NOT_REGULAR_TEXT);
        return nullptr;
    }
    struct statfs fileSystem {};
    if (fstatfs(STDIN_FILENO, &fileSystem) != 0) {
        SetFailure(failure, ErrorText(errno));
        return nullptr;
    }
    if (IsPseudoFileSystem(static_cast<long>(fileSystem.f_type))) {
        SetFailure(failure, "Not a file on a disk: the system makes its content as it is read");
        return nullptr;
    }
    if (before.st_size > limit) {
        SetFailure(failure, "Larger than " + std::to_string(limit) + " bytes");
        return nullptr;
    }
    if (lseek(STDIN_FILENO, 0, SEEK_SET) != 0) {
        SetFailure(failure, ErrorText(errno));
        return nullptr;
    }
    if (!Lock(STDIN_FILENO)) {
        SetFailure(failure, LOCKED_TEXT);
        return nullptr;
    }
    // One byte more than it had: a file that grew meanwhile is caught below like one that shrank.
    std::string bytes(static_cast<std::size_t>(before.st_size) + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t count = read(STDIN_FILENO, bytes.data() + got, bytes.size() - got);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            SetFailure(failure, ErrorText(errno));
            return nullptr;
        }
        if (count == 0) {
            break;
        }
        got += static_cast<std::size_t>(count);
    }
    struct stat after {};
    if (fstat(STDIN_FILENO, &after) != 0 || !SameFile(before, after) ||
        got != static_cast<std::size_t>(before.st_size)) {
        SetFailure(failure, "Changed while it was read");
        return nullptr;
    }
    bytes.resize(got);
    return std::make_unique<CMemoryReader>(std::move(bytes));
}

bool IsSafePrivilegedTarget(const std::string& target, std::string* failure) {
    const std::string folder = CReplacementWriter::DirectoryOf(target);
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        SetFailure(failure, ErrorText(errno));
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        SetFailure(failure,
                   S_ISLNK(status.st_mode) ? "Its folder is a symbolic link" : ErrorText(ENOTDIR));
        return false;
    }
    // The folder and each one above it (symbolic links followed there: /lib is one on most
    // systems, in a folder only root writes).
    for (std::string path = folder;; path = CReplacementWriter::DirectoryOf(path)) {
        if (stat(path.c_str(), &status) != 0) {
            SetFailure(failure, ErrorText(errno));
            return false;
        }
        const bool ownedHere = status.st_uid == geteuid() || status.st_uid == 0;
        const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        const bool sticky = (status.st_mode & S_ISVTX) != 0 && path != folder;
        if (!ownedHere || (othersWrite && !sticky)) {
            SetFailure(failure, path + " can be written by other users");
            return false;
        }
        if (path == "/" || path == ".") {
            break;
        }
    }
    if (lstat(target.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode)) {
            SetFailure(failure, "Is a symbolic link; not replaced");
            return false;
        }
        if (!S_ISREG(status.st_mode)) {
            SetFailure(failure, NOT_REGULAR_TEXT);
            return false;
        }
    } else if (errno != ENOENT) {
        SetFailure(failure, ErrorText(errno));
        return false;
    }
    return true;
}

}  // namespace platform
