// Runs inside a sandbox: /var/lock is the sandbox's own. The lock is taken in
// a child process of its own, since it belongs to the process until it ends.
#include "driver/cache_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "config/config.h"
#include "death_test.h"
#include "harness/sandbox.h"
#include "support/child_process.h"
#include "support/paths.h"

namespace {

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
