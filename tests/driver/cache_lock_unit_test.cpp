// Runs inside a sandbox: /var/lock is the sandbox's own. Each case takes the
// lock in a child process of its own, since the lock belongs to the process.
#include "driver/cache_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "harness/sandbox.h"
#include "support/child_process.h"
#include "support/paths.h"

#define REQUIRE(condition)                                           \
    do {                                                             \
        if (!(condition)) {                                          \
            fprintf(stderr, "requirement failed: %s\n", #condition); \
            _exit(99);                                               \
        }                                                            \
    } while (0)

namespace {

TEST(CacheLockUnit, ZeroTimeoutMakesOneAttemptWithoutWaiting) {
    // An open file description lock conflicts with the updater's record
    // lock even within one process.
    int fd = open(paths::kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0) << strerror(errno);
    EXPECT_EXIT(
        {
            Config config;
            config.m_nLockTimeout = 0;
            REQUIRE(!acquireCacheLock(config));
            _exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^ERROR: failed acquiring lock file '/var/lock/updater' \\(Resource temporarily "
        "unavailable\\)\n$");
    close(fd);
}

TEST(CacheLockUnit, ChildProgramsDoNotInheritTheLock) {
    EXPECT_EXIT(
        {
            Config config;
            REQUIRE(acquireCacheLock(config));
            char expected[16];
            snprintf(expected, sizeof(expected), "%10i\n", static_cast<int>(getpid()));
            REQUIRE(readHostFile(paths::kLockFile) == expected);
            // A program we run (the shutdown lives on for a minute) must not
            // keep the lock after we are gone.
            ChildProcess child("/bin/sh");
            child.addArg("-c");
            child.addArg(
                "for f in /proc/$$/fd/*; do "
                "[ \"$(readlink \"$f\")\" = /var/lock/updater ] && exit 1; done; exit 0");
            REQUIRE(child.run() && child.exited() && child.status() == 0);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
