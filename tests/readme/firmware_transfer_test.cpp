// The firmware transfer through the page's button handler, against the real file system:
// whole copies, and failures that say why and leave an existing target as it was.
#include "readme/firmware_transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QPushButton>
#include <QtTest/QTest>
#include <cstddef>
#include <cstring>
#include <functional>

#include "platform/exclusive_file.h"
#include "readme/readme_page.h"
#include "readme_fixture.h"
#include "tests/common/child_process.h"

namespace {

// Every box shown, one after another.
std::string Boxes(const CRecordingBoxes& sink) {
    std::string boxes;
    for (const std::string& box : sink.Entries()) {
        boxes += (boxes.empty() ? "" : " | ") + box;
    }
    return boxes;
}

// The page's transfer in a child made ready by `prepare`; returns the boxes it showed.
std::string TransferInChild(CReadMePage& page, CRecordingBoxes& sink,
                            const std::function<bool()>& prepare) {
    return InChild([&] {
        sink.Clear();
        if (!prepare()) {
            return std::string("the child could not be prepared");
        }
        page.OnTransfer();
        return Boxes(sink);
    });
}

bool LimitFileSize(rlim_t bytes) {  // writes past it come out short, then fail
    const rlimit limit{bytes, bytes};
    return signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool RefuseLocks() {  // every flock fails with EBADF, as NFS answers an exclusive one
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_flock, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EBADF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class FirmwareTransferTest : public CReadMePageTest {
  protected:
    const std::string source = cwd.Path("Test.bin");
};

// (That the next copy removes the temporary files of one that crashed, but not of one still
// writing, firmware_copier_test.cpp shows through the platform code both copies use.)
TEST_F(FirmwareTransferTest, CopiesAnyImageWholeAndSilently) {
    CReadMePage page(nullptr, platform);
    sink.Clear();  // no Readme.rtf here

    // Each over the one before, which the page holds no lock on any more.
    for (std::size_t size : {std::size_t{0}, std::size_t{32000}, std::size_t{100 * 1024}}) {
        const std::string image = Pattern(size, static_cast<char>(size / 1000));
        WriteFile(source, image);
        page.OnTransfer();
        EXPECT_TRUE(ReadFile(target) == image) << size;
    }

    // A target that is a symbolic link becomes a regular file with the permission bits of the
    // file it named, set-id bits dropped; that file stays as it was.
    const std::string named = cwd.Path("named.bin");
    WriteFile(named, "named");
    ASSERT_EQ(chmod(named.c_str(), 04750), 0);
    ASSERT_EQ(unlink(target.c_str()), 0);
    ASSERT_EQ(symlink(named.c_str(), target.c_str()), 0);
    page.OnTransfer();
    struct stat status {};
    ASSERT_EQ(lstat(target.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0750u);
    EXPECT_TRUE(ReadFile(target) == ReadFile(source));
    EXPECT_EQ(ReadFile(named), "named");

    // Where the file system refuses the locks (NFS refuses an exclusive one on a file opened
    // for reading), the files are used without them.
    WriteFile(source, "unlocked");
    EXPECT_EQ(TransferInChild(page, sink, RefuseLocks), "");
    EXPECT_EQ(ReadFile(target), "unlocked");

    EXPECT_TRUE(sink.Entries().empty());
    EXPECT_EQ(Entries(drivers), QStringList{"kitboard.bin"});
}

TEST_F(FirmwareTransferTest, FailuresSayWhyAndKeepThePreviousTarget) {
    const std::string previous = Pattern(5000, 7);
    WriteFile(target, previous);
    const std::string image = Pattern(200 * 1024, 8);
    ASSERT_EQ(chmod(cwd.Path().c_str(), 0755), 0);  // the unprivileged child reads Test.bin
    const std::string locked = "In use by another program";
    const std::string missing = cwd.Path("missing"), inFile = source + "/d";
    const auto noSource = [&] { unlink(source.c_str()); };
    const auto fifoSource = [&] {
        unlink(source.c_str());
        mkfifo(source.c_str(), 0644);
    };
    const auto sticky = [&] { chmod(drivers.c_str(), 01777); };
    const auto shortWrites = [] { return LimitFileSize(100 * 1024); };
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::string held;               // locked by another program meanwhile
        std::function<bool()> inChild;  // the transfer runs in a child so made; null: here
        std::string directory;          // the drivers directory
        std::string path;               // the detail the box shows
        std::string reason;
        bool asOtherUser = false;  // the child becomes another user, which only root can do
    } cases[] = {
        {"no Test.bin", noSource, {}, {}, drivers, source, std::strerror(ENOENT)},
        {"FIFO Test.bin", fifoSource, {}, {}, drivers, source, "Not a regular file"},
        {"Test.bin locked", {}, source, {}, drivers, source, locked},
        {"target locked", {}, target, {}, drivers, target, locked},
        {"no directory", {}, {}, {}, missing, missing + "/kitboard.bin", std::strerror(ENOENT)},
        {"under a file", {}, {}, {}, inFile, inFile + "/kitboard.bin", std::strerror(ENOTDIR)},
        {"no drivers directory", {}, {}, {}, "", "", "No drivers directory is known"},
        {"read-only dir", {}, {}, DropPrivileges, drivers, target, std::strerror(EACCES), true},
        // The rename is refused: another user's target in a sticky directory.
        {"sticky", sticky, {}, DropPrivileges, drivers, target, std::strerror(EPERM), true},
        {"short write", {}, {}, shortWrites, drivers, target, std::strerror(EFBIG)},
    };
    std::string needRoot;
    for (const auto& fault : cases) {
        if (fault.asOtherUser && !CanDropPrivileges()) {
            needRoot += std::string(" \"") + fault.what + "\"";
            continue;
        }
        unlink(source.c_str());
        WriteFile(source, image);
        ASSERT_EQ(chmod(drivers.c_str(), 0755), 0);
        if (fault.arrange) {
            fault.arrange();
        }
        platform::Platform elsewhere = platform;
        elsewhere.driversDirectory = fault.directory;
        CReadMePage page(nullptr, elsewhere);
        sink.Clear();
        std::string box;
        if (fault.inChild) {
            box = TransferInChild(page, sink, fault.inChild);
        } else {
            QProcess holder;  // another program, flock(1), holding the file until its input ends
            if (!fault.held.empty()) {
                holder.start("flock", {QString::fromStdString(fault.held), "-c", "echo; cat"});
                EXPECT_TRUE(holder.waitForReadyRead(10000)) << fault.what;
            }
            page.OnTransfer();
            box = Boxes(sink);
            holder.closeWriteChannel();
            holder.waitForFinished(10000);
        }
        const std::string detail = fault.path.empty() ? "" : fault.path + ": ";
        // The remedy follows a failure of the target, never one of Test.bin.
        const bool ofTarget =
            !fault.directory.empty() && fault.path == fault.directory + "/kitboard.bin";
        EXPECT_EQ(box, FILE_ERROR_BOX + "\n\n" + detail + fault.reason +
                           (ofTarget ? std::string("\n\n") + REMEDY : ""))
            << fault.what;
        EXPECT_TRUE(ReadFile(target) == previous) << fault.what;
        EXPECT_EQ(Entries(drivers), QStringList{"kitboard.bin"}) << fault.what;
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(missing)));

    // After all that, the same image still replaces the target: the faults made the failures.
    ASSERT_EQ(chmod(drivers.c_str(), 0755), 0);
    CReadMePage page(nullptr, platform);
    sink.Clear();
    page.OnTransfer();
    EXPECT_TRUE(sink.Entries().empty());
    EXPECT_TRUE(ReadFile(target) == image);
    EXPECT_EQ(Entries(drivers), QStringList{"kitboard.bin"});
    if (!needRoot.empty()) {
        GTEST_SKIP() << "every case ran but" << needRoot << ", which need root";
    }
}

// The direct copy must be refused for want of rights, which root never is: as root a test
// runs itself again in a child process that becomes nobody first. True in the parent, which
// has checked the child's result; false where the test is to run.
bool RanAsNobodyInChild() {
    if (geteuid() != 0) {
        return false;
    }
    if (!qEnvironmentVariableIsEmpty("PALVEX_TEST_AS_NOBODY")) {
        EXPECT_TRUE(DropPrivileges());
        return false;
    }
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    QProcess self;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PALVEX_TEST_AS_NOBODY", "1");
    self.setProcessEnvironment(environment);
    self.setProcessChannelMode(QProcess::MergedChannels);
    self.start(QCoreApplication::applicationFilePath(),
               {QString("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
    EXPECT_TRUE(self.waitForFinished(60000));
    const QByteArray output = self.readAll();
    EXPECT_EQ(self.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    return true;
}

TEST(FirmwareElevation, ADeniedCopyGoesThroughTheElevatedCopierWhileThePageKeepsWorking) {
    if (RanAsNobodyInChild()) {
        return;
    }
    CTempWorkingDirectory cwd;
    CRecordingBoxes sink;
    platform::Platform platform;
    platform.messageBoxes = &sink;
    platform.documentFolders = {"."};
    platform.driversDirectory = cwd.Path("drivers");
    platform.driversRemedy = {};
    ASSERT_EQ(mkdir(platform.driversDirectory.c_str(), 0555), 0);
    const std::string source = cwd.Path("Test.bin"), target = cwd.Path("drivers/kitboard.bin");
    const std::string image = Pattern(100 * 1024, 9);
    WriteFile(source, image);
    const std::string byHand =
        "\n\nTo copy it by hand, as root: install -m 644 '" + source + "' '" + target + "'";
    const std::string noAgent =
        "Error executing command as another user: No authentication agent found.";
    const struct {
        const char* what;
        std::vector<std::string> copier;
        std::string box;  // after the usual text
    } cases[] = {
        {"dismissed",
         {"/bin/sh", "-c", "exit 126"},
         target + ": The request for the right to write here was dismissed"},
        {"no agent",
         {"/bin/sh", "-c", "echo '" + noAgent + "' >&2; exit 127"},
         target + ": " + noAgent + byHand},
        {"no pkexec",
         {cwd.Path("pkexec"), "copier"},
         target + ": " + cwd.Path("pkexec") + " could not be started" + byHand},
        {"target refused",
         {"/bin/sh", "-c", "echo 'Is a symbolic link; not replaced' >&2; exit 2"},
         target + ": Is a symbolic link; not replaced"},
        {"image refused",
         {"/bin/sh", "-c", "echo 'Not a regular file' >&2; exit 1"},
         source + ": Not a regular file"},
        {"killed",
         {"/bin/sh", "-c", "kill -9 $$"},
         target + ": The copy with an administrator's rights failed" + byHand},
    };
    for (const auto& refused : cases) {
        platform.elevatedCopier = refused.copier;
        CReadMePage page(nullptr, platform);
        sink.Clear();  // no Readme.rtf here
        page.OnTransfer();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !page.TransferRunning(); }, 10000));
        EXPECT_EQ(Boxes(sink), FILE_ERROR_BOX + "\n\n" + refused.box) << refused.what;
        EXPECT_TRUE(page.TransferButton()->isEnabled()) << refused.what;
    }

    // Each time the user was first asked, naming the image in full and its size; "No" asks
    // for no rights and shows nothing.
    const std::string question = "Transfer:Only an administrator may write " + target +
                                 ". The system will ask for an administrator's password or "
                                 "consent to copy this firmware image there:\n\n" +
                                 source + "\n102,400 bytes\n\nCopy this image?";
    EXPECT_EQ(sink.Questions(), std::vector<std::string>{question});
    const std::string copied = cwd.Path("copied.bin"), runs = cwd.Path("runs");
    platform.elevatedCopier = {"/bin/sh", "-c", "echo run >> '" + runs + "'"};
    CReadMePage declined(nullptr, platform);
    sink.Clear();
    sink.answer = false;
    declined.OnTransfer();
    sink.answer = true;
    EXPECT_FALSE(declined.TransferRunning());
    EXPECT_TRUE(sink.Entries().empty()) << Boxes(sink);
    EXPECT_EQ(sink.Questions().size(), 1);

    // Given the right, the copier gets the image as its input. Until it ends (here, until the
    // test lets it) the page keeps running its events, the button is off and a click does
    // nothing; afterwards no box.
    const std::string gate = cwd.Path("gate");
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    platform.elevatedCopier = {
        "/bin/sh", "-c",
        "cat > '" + copied + "'; echo run >> '" + runs + "'; read line < '" + gate + "'"};
    CReadMePage page(nullptr, platform);
    sink.Clear();
    page.OnTransfer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(QString::fromStdString(runs)); }));
    EXPECT_TRUE(page.TransferRunning());
    EXPECT_FALSE(page.TransferButton()->isEnabled());
    page.OnTransfer();
    const int release = open(gate.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(release, 0);
    EXPECT_EQ(write(release, "go\n", 3), 3);
    close(release);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !page.TransferRunning(); }, 10000));
    EXPECT_TRUE(sink.Entries().empty()) << Boxes(sink);
    EXPECT_TRUE(ReadFile(copied) == image);
    EXPECT_EQ(ReadFile(runs), "run\n") << "a second click started nothing";
    EXPECT_TRUE(page.TransferButton()->isEnabled());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(target)));
}

// The page, the real pkexec, polkit daemon and copier, as scripts/polkit-test sets them up:
// nobody may not write /lib/firmware, and a polkit rule gives the copier the right.
TEST(FirmwareElevation, ThroughPkexecAndPolkit) {
    const std::string copier = qEnvironmentVariable("PALVEX_POLKIT_COPIER").toStdString();
    if (copier.empty()) {
        GTEST_SKIP() << "scripts/polkit-test runs it, with a polkit daemon of its own";
    }
    if (RanAsNobodyInChild()) {
        return;
    }
    CTempWorkingDirectory cwd;
    CRecordingBoxes sink;
    platform::Platform platform;
    platform.messageBoxes = &sink;
    platform.documentFolders = {"."};
    platform.elevatedCopier = {"pkexec", copier};
    const std::string image = Pattern(70 * 1024, 10);
    WriteFile(cwd.Path("Test.bin"), image);
    CReadMePage page(nullptr, platform);
    sink.Clear();
    page.OnTransfer();
    EXPECT_TRUE(page.TransferRunning()) << "the direct copy was not refused: " << Boxes(sink);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !page.TransferRunning(); }, 30000));
    EXPECT_TRUE(sink.Entries().empty()) << Boxes(sink);
    EXPECT_TRUE(ReadFile(FirmwareTargetPath(platform.driversDirectory)) == image);
}

}  // namespace
