// Runs part of a test in a forked child: what a test must not do to its own threaded process
// (drop privileges, limit file sizes, filter system calls) and what a crash does (_exit runs
// no destructor) happen there.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

// Runs `body` in a forked child and returns the text it returned.
inline std::string InChild(const std::function<std::string()>& body) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return "no pipe";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        const std::string text = body();
        _exit(write(report[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
    }
    close(report[1]);
    std::string text;
    char buffer[256];
    for (ssize_t count; (count = read(report[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    close(report[0]);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return text;
}

// Whether DropPrivileges can work: only root may become another user. Run by an ordinary
// user (scripts/test with sudo), the cases that need it are skipped and say so.
inline bool CanDropPrivileges() {
    return geteuid() == 0;
}

// Root to nobody: tests run as root, whom permission bits do not stop.
inline bool DropPrivileges() {
    return geteuid() == 0 && setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}
