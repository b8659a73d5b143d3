// The privileged firmware copier against the real file system: what it must refuse, writing
// nothing, and copies that end half-way leave the old target or the whole new one; the next
// copy removes their temporary files but not one still being written. The page's direct copy
// replaces the target through the same platform code (firmware_transfer_test.cpp).
#include "readme/firmware_copier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <QFile>
#include <QProcess>

#include "platform/elevated_copy.h"
#include "platform/exclusive_file.h"
#include "readme_fixture.h"
#include "tests/common/child_process.h"

namespace {

// The copier in a child whose standard input is `image` (opened as given by `open`): its exit
// code and message as "code: message".
std::string CopyInChild(const std::string& target, const std::function<int()>& open,
                        const std::function<bool()>& prepare = {}) {
    return InChild([&] {
        const int image = open();
        if (image < 0 || dup2(image, STDIN_FILENO) < 0 || (prepare && !prepare())) {
            return std::string("the child could not be prepared");
        }
        const CopierOutcome outcome = CopyHandedFirmware(target);
        return std::to_string(outcome.exitCode) + ": " + outcome.message;
    });
}

class FirmwareCopier : public ::testing::Test, protected CDriversFolder {
  protected:
    static constexpr const char* PSEUDO =
        "1: Not a file on a disk: the system makes its content as it is read";
};

TEST_F(FirmwareCopier, RefusesWhatItMustNotWriteAndWritesNothing) {
    const std::string elsewhere = cwd.Path("elsewhere"), image = cwd.Path("Test.bin");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    const std::string previous = Pattern(3000, 1), fresh = Pattern(200 * 1024, 2);
    const std::string fifo = cwd.Path("fifo"), big = cwd.Path("big.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(truncate((WriteFile(big, ""), big).c_str(), FIRMWARE_IMAGE_LIMIT + 1), 0);
    WriteFile(image, fresh);
    WriteFile(cwd.Path("empty.bin"), "");
    const auto openFile = [](const std::string& path) {
        return [path] { return open(path.c_str(), O_RDONLY | O_NONBLOCK); };
    };
    const std::string linked = elsewhere + "/linked.bin";
    const auto linkTarget = [&] {
        unlink(target.c_str());
        WriteFile(linked, previous);
        symlink(linked.c_str(), target.c_str());
    };
    const std::string linkedFolder = cwd.Path("linked-drivers");
    symlink(drivers.c_str(), linkedFolder.c_str());
    const auto unchanged = [] { return STDIN_FILENO; };
    const auto closeInput = [] { return close(0) == 0; };
    const auto shortWrites = [] {  // writes past 100 KiB fail with EFBIG, not SIGXFSZ
        const rlimit limit{100 * 1024, 100 * 1024};
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
    const struct {
        const char* what;
        std::function<int()> open;
        std::string target;
        std::string outcome;  // "exit code: message"
        std::function<void()> arrange = {};
        std::function<bool()> inChild = {};
    } cases[] = {
        {"FIFO image", openFile(fifo), target, "1: Not a regular file"},
        {"device image", openFile("/dev/zero"), target, "1: Not a regular file"},
        {"closed input", unchanged, target, "1: " + std::string(std::strerror(EBADF)), nullptr,
         closeInput},
        {"image over the limit", openFile(big), target, "1: Larger than 16777216 bytes"},
        {"empty image", openFile(cwd.Path("empty.bin")), target,
         "1: Empty: there is no firmware in it"},
        // Files whose content the kernel makes for each reader: root would see more.
        {"procfs image", openFile("/proc/self/stat"), target, PSEUDO},
        {"sysfs image", openFile("/sys/kernel/uevent_seqnum"), target, PSEUDO},
        {"symbolic link target", openFile(image), target, "2: Is a symbolic link; not replaced",
         linkTarget},
        {"folder a symbolic link", openFile(image), linkedFolder + "/kitboard.bin",
         "2: Its folder is a symbolic link"},
        {"folder others write", openFile(image), target,
         "2: " + drivers + " can be written by other users", [&] { chmod(drivers.c_str(), 0777); }},
        {"folder under one others write", openFile(image), target,
         "2: " + cwd.Path() + " can be written by other users",
         [&] { chmod(cwd.Path().c_str(), 0775); }},
        {"short write", openFile(image), target, "3: " + std::string(std::strerror(EFBIG)), nullptr,
         shortWrites},
    };
    for (const auto& refused : cases) {
        unlink(target.c_str());
        WriteFile(target, previous);
        ASSERT_EQ(chmod(drivers.c_str(), 0755), 0);
        ASSERT_EQ(chmod(cwd.Path().c_str(), 0700), 0);
        if (refused.arrange) {
            refused.arrange();
        }
        std::string outcome = CopyInChild(refused.target, refused.open, refused.inChild);
        EXPECT_EQ(outcome, refused.outcome) << refused.what;
        // Read through a symbolic link target: the file it names is untouched.
        EXPECT_TRUE(ReadFile(target) == previous) << refused.what;
        EXPECT_EQ(Entries(drivers), QStringList{"kitboard.bin"}) << refused.what;
    }

    // What it takes: a regular file, copied whole, from its start, even when handed at an offset.
    // (The new target's permission bits are CreateReplacement's, shown by the page's copy.)
    const auto atOffset = [&] {
        const int fd = open(image.c_str(), O_RDONLY);
        lseek(fd, 1000, SEEK_SET);
        return fd;
    };
    EXPECT_EQ(CopyInChild(target, atOffset), "0: ");
    EXPECT_TRUE(ReadFile(target) == fresh);
    EXPECT_EQ(Entries(drivers), QStringList{"kitboard.bin"});
}

// Reads an image in pieces and is killed at piece `killAt`, as a copier ended half-way is.
class CKilledReader final : public platform::IFileReader {
  public:
    CKilledReader(std::string bytes, int killAt) : bytes(std::move(bytes)), killAt(killAt) {}
    long long Read(void* buffer, std::size_t size) override {
        if (reads++ == killAt) {
            raise(SIGKILL);
        }
        const std::size_t count = std::min({size, bytes.size() - offset, std::size_t{4096}});
        std::memcpy(buffer, bytes.data() + offset, count);
        offset += count;
        return static_cast<long long>(count);
    }
    std::string FailureText() const override { return {}; }

  private:
    std::string bytes;
    int killAt;
    int reads = 0;
    std::size_t offset = 0;
};

TEST_F(FirmwareCopier, ACopyKilledHalfWayLeavesTheOldTargetAndTheNextCopyCleansUp) {
    // A replacement started first and still writing: its temporary file is no leftover.
    auto writing = platform::CreateReplacement(target);
    ASSERT_TRUE(writing && writing->Write("writing", 7));
    const std::string previous = Pattern(5000, 3), fresh = Pattern(64 * 1024, 4);
    WriteFile(target, previous);
    // At the first read, in the middle, and at the read that finds the end, before the commit.
    for (int killAt : {0, 7, 16}) {
        const pid_t child = fork();
        if (child == 0) {
            CKilledReader reader(fresh, killAt);
            CopyFirmwareImage(reader, FIRMWARE_IMAGE_LIMIT, target);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status)) << killAt;
        EXPECT_TRUE(ReadFile(target) == previous) << killAt;
    }
    EXPECT_GE(Entries(drivers).size(), 3) << "the killed copies left their temporary files";
    CKilledReader whole(fresh, -1);
    EXPECT_EQ(CopyFirmwareImage(whole, FIRMWARE_IMAGE_LIMIT, target).exitCode, COPIER_DONE);
    EXPECT_TRUE(ReadFile(target) == fresh);
    EXPECT_EQ(Entries(drivers).size(), 2) << "only the target and the one still writing";
    EXPECT_TRUE(writing->Commit());
    writing.reset();  // its lock, now on the target, with it

    // An image that grows past the limit while it is read is refused all the same.
    CKilledReader growing(fresh, -1);
    const CopierOutcome outcome = CopyFirmwareImage(growing, 10000, target);
    EXPECT_EQ(outcome.exitCode, COPIER_IMAGE_REFUSED);
    EXPECT_EQ(ReadFile(target), "writing");
    EXPECT_EQ(Entries(drivers), QStringList{"kitboard.bin"});
}

// Holds every read of `path` until `onRead` has run for it (fanotify permission events, root
// only): what a file does between the copier's pieces, at the moment of the first read.
class CReadGate {
  public:
    CReadGate(const std::string& path, std::function<void(pid_t reader)> onFirstRead)
        : fd(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC)),
          onFirstRead(std::move(onFirstRead)) {
        EXPECT_GE(fd, 0);
        EXPECT_EQ(fanotify_mark(fd, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()), 0);
        listener = std::thread([this] { Listen(); });
    }
    ~CReadGate() {
        stop = true;
        listener.join();
        close(fd);  // lets any read still held go on
    }

  private:
    void Listen() {
        bool first = true;
        while (!stop) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) {
                continue;
            }
            alignas(fanotify_event_metadata) char buffer[4096];
            const ssize_t length = read(fd, buffer, sizeof buffer);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = length; FAN_EVENT_OK(event, left);
                 event = FAN_EVENT_NEXT(event, left)) {
                if (first) {
                    onFirstRead(event->pid);
                    first = false;
                }
                const fanotify_response allow{event->fd, FAN_ALLOW};
                EXPECT_EQ(write(fd, &allow, sizeof allow), ssize_t(sizeof allow));
                close(event->fd);
            }
        }
    }
    int fd;
    std::function<void(pid_t)> onFirstRead;
    std::atomic<bool> stop{false};
    std::thread listener;
};

TEST_F(FirmwareCopier, ReadsTheImageAsTheAskerAndRefusesOneThatChangedMeanwhile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "holding another process's reads needs root";
    }
    const std::string image = cwd.Path("Test.bin"), fresh = Pattern(300 * 1024, 5);
    const struct {
        const char* what;
        std::function<void(int fd)> change;  // at the copier's first read
        std::string outcome;
    } cases[] = {
        {"cut short", [](int fd) { EXPECT_EQ(ftruncate(fd, 1000), 0); },
         "1: Changed while it was read"},
        {"grown", [](int fd) { EXPECT_EQ(pwrite(fd, "more", 4, 300 * 1024), 4); },
         "1: Changed while it was read"},
        {"rewritten, same size",
         [](int fd) {
             EXPECT_EQ(pwrite(fd, "other", 5, 0), 5);
             const timespec older[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
             EXPECT_EQ(futimens(fd, older), 0);
         },
         "1: Changed while it was read"},
        {"left alone", [](int) {}, "0: "},
    };
    for (const auto& c : cases) {
        WriteFile(image, fresh);
        WriteFile(target, "previous");
        std::string readerIds;  // the reader's "Uid:" line while its first read is held
        {
            const CReadGate gate(image, [&](pid_t reader) {
                std::ifstream status("/proc/" + std::to_string(reader) + "/status");
                for (std::string line; std::getline(status, line);) {
                    readerIds = line.rfind("Uid:", 0) == 0 ? line : readerIds;
                }
                const int fd = open(image.c_str(), O_WRONLY);
                c.change(fd);
                close(fd);
            });
            // As pkexec starts it for nobody: real and saved user root, the reads nobody's.
            EXPECT_EQ(CopyInChild(
                          target, [&] { return open(image.c_str(), O_RDONLY); },
                          [] { return setenv("PKEXEC_UID", "65534", 1) == 0; }),
                      c.outcome)
                << c.what;
        }
        EXPECT_EQ(readerIds, "Uid:\t0\t65534\t0\t65534") << c.what;
        EXPECT_TRUE(ReadFile(target) == (c.outcome == "0: " ? fresh : "previous")) << c.what;
        EXPECT_EQ(Entries(drivers), QStringList{"kitboard.bin"}) << c.what;
    }
}

// The hint an administrator pastes into a root shell copies the image whatever its folders
// are called, and runs nothing their names hold.
TEST_F(FirmwareCopier, TheCopyByHandHintRunsNothingAFolderNameHolds) {
    const std::string folder = cwd.Path("it's \"$(touch ran)\" `touch ran` \\ $HOME");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::string image = Pattern(5000, 6);
    WriteFile(folder + "/Test.bin", image);
    const std::string hint = platform::CopyByHandText(folder + "/Test.bin", target);
    const std::string shell = "as root: ";
    ASSERT_NE(hint.find(shell), std::string::npos) << hint;
    QProcess sh;
    sh.setWorkingDirectory(QString::fromStdString(cwd.Path()));
    sh.start("/bin/sh",
             {"-c", QString::fromStdString(hint.substr(hint.find(shell) + shell.size()))});
    ASSERT_TRUE(sh.waitForFinished(10000));
    EXPECT_EQ(sh.exitCode(), 0) << sh.readAllStandardError().toStdString();
    EXPECT_TRUE(ReadFile(target) == image) << hint;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(cwd.Path("ran")))) << hint;
}

}  // namespace
