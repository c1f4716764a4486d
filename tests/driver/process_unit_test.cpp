// Units of the driver that work on the process and the system's fixed paths,
// inside one sandbox: the status directory and /var/lock are its own. Cases about dispositions, the
// recorded signal or the lock run in a child process (gtest death tests).
#include <gtest/gtest.h>
#include <rpm/rpmutil.h>

#include <dirent.h>
#include <rpm/rpmsq.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/config.h"
#include "driver/cache_lock.h"
#include "driver/reboot.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "harness/sandbox.h"
#include "support/child_process.h"
#include "support/paths.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// In a death test's child a failed requirement ends it with a code no case expects.
#define REQUIRE(condition)                                           \
    do {                                                             \
        if (!(condition)) {                                          \
            fprintf(stderr, "requirement failed: %s\n", #condition); \
            _exit(99);                                               \
        }                                                            \
    } while (0)

namespace {

// ---- status files: whole and unchanged whatever goes wrong while writing

const std::string kDir = "/var/lib/updater";

std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    DIR* dir = opendir(kDir.c_str());
    for (struct dirent* e = dir ? readdir(dir) : nullptr; e != nullptr; e = readdir(dir)) {
        if (std::string(e->d_name).rfind("status.", 0) == 0) {
            names.push_back(e->d_name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return names;
}

class StatusFiles : public ::testing::Test {
protected:
    void SetUp() override {
        removeTree(kDir);
        makeDirs(kDir);
        readUpdateState();  // a fresh in-memory update state
    }
    void TearDown() override {
        while (umount(kDir.c_str()) == 0) {
        }
        removeTree(kDir);
        makeDirs(kDir);
    }
    void mountTmpfs(const char* options, bool readOnly = false) {
        ASSERT_EQ(mount("tmpfs", kDir.c_str(), "tmpfs", 0, options), 0) << strerror(errno);
        if (readOnly) {
            ASSERT_EQ(mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        }
    }
};

TEST_F(StatusFiles, WriteThenReadEveryStatus) {
    for (int n = 0; n <= static_cast<int>(Status::REBOOTING); ++n) {
        const Status s = static_cast<Status>(n);
        ASSERT_TRUE(writeStatus(s, n % 2 == 0));
        Status read = Status::READY;
        ASSERT_TRUE(readStatus(read));
        EXPECT_EQ(read, s);
        EXPECT_EQ(readHostFile(paths::kStatusFile), std::string(statusName(s)) + "\n");
    }
    struct stat st;
    ASSERT_EQ(stat(paths::kStatusFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(StatusFiles, FailedWritesKeepThePreviousStatusAndNoTemporaryFile) {
    // A full file system.
    mountTmpfs("size=16k");
    ASSERT_TRUE(writeStatus(Status::READY, true));
    FILE* f = fopen((kDir + "/filler").c_str(), "w");
    ASSERT_NE(f, nullptr);
    const std::string filler(4096, 'x');
    while (fwrite(filler.data(), 1, filler.size(), f) == filler.size() && fflush(f) == 0) {
    }
    fclose(f);
    EXPECT_FALSE(writeStatus(Status::UPDATING, true));
    EXPECT_EQ(readHostFile(paths::kStatusFile), "READY\n");
    EXPECT_TRUE(leftovers().empty());
    ASSERT_EQ(umount(kDir.c_str()), 0);

    // A read-only one.
    mountTmpfs("size=64k");
    ASSERT_TRUE(writeStatus(Status::ANALYZING, false));
    ASSERT_EQ(mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_FALSE(writeStatus(Status::UPDATING, true));
    EXPECT_EQ(readHostFile(paths::kStatusFile), "ANALYZING\n");
    ASSERT_EQ(umount(kDir.c_str()), 0);

    // A non-empty directory in place of the status file makes the rename fail.
    makeDirs(std::string(paths::kStatusFile) + "/blocker");
    EXPECT_FALSE(writeStatus(Status::PKGSDONE, true));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(StatusFiles, UpdateStateIsWrittenWhenItChangesAndRetriedAfterAFailure) {
    saveUpdateState(UpdateState::NONE);
    EXPECT_EQ(access(paths::kUpdateStateFile, F_OK), -1);
    saveUpdateState(UpdateState::AVAILABLE);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "AVAILABLE\n");
    unlink(paths::kUpdateStateFile);
    saveUpdateState(UpdateState::AVAILABLE);
    EXPECT_EQ(access(paths::kUpdateStateFile, F_OK), -1);

    writeHostFile(paths::kUpdateStateFile, "PENDING extra\n");
    EXPECT_EQ(readUpdateState(), UpdateState::PENDING);
    writeHostFile(paths::kUpdateStateFile, "sentinel\n");
    saveUpdateState(UpdateState::PENDING);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "sentinel\n");
    EXPECT_EQ(readUpdateState(), UpdateState::NONE);  // unknown word

    mountTmpfs("size=64k", true);
    saveUpdateState(UpdateState::COMPLETE);
    ASSERT_EQ(mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT, "size=64k"), 0);
    saveUpdateState(UpdateState::COMPLETE);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "COMPLETE\n");
}

// ---- signal recording and the end of the process

void (*handlerOf(int signal))(int) {
    struct sigaction action;
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

volatile sig_atomic_t g_foreign = 0;
void foreignHandler(int signal) {
    g_foreign = signal;
}
void foreignAction(int, siginfo_t*, void*) {}

TEST(Signals, SignalsBelowErrorResultsAndBeforeSighupWasIgnored) {
    // A result below -1 ends as an error, and the first signal is re-raised.
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            raise(SIGQUIT);
            finishProcess(-3, false, true);
            _exit(98);
        },
        ::testing::KilledBySignal(SIGQUIT), "^ERROR: terminated by signal #3: Quit\n$");
    // A SIGHUP recorded before it was ignored does not end the process when raised again.
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            raise(SIGHUP);
            REQUIRE(ignoreSighup());
            _exit(finishProcess(1, false, true) == 1 ? 5 : 98);
        },
        ::testing::ExitedWithCode(5), "^ERROR: terminated by signal #1: Hangup\n$");
}

TEST(Signals, TransfersGetThePreviousActionsBack) {
    EXPECT_EXIT(
        {
            signal(SIGINT, foreignHandler);
            REQUIRE(initSignals());
            struct sigaction action;
            sigaction(SIGTERM, nullptr, &action);
            REQUIRE((action.sa_flags & (SA_SIGINFO | SA_RESTART)) == (SA_SIGINFO | SA_RESTART));
            raise(SIGINT);
            REQUIRE(g_foreign == 0 && pendingSignal() == SIGINT);
            REQUIRE(setTerminationSignals(true));
            REQUIRE(handlerOf(SIGINT) == foreignHandler && handlerOf(SIGTERM) == SIG_DFL);
            REQUIRE(signalRegistry().size() == 1);
            REQUIRE(rpmsqSetAction(SIGTERM, RPMSQ_DFL) == RPMSQ_DFL);  // the library's too
            raise(SIGINT);
            REQUIRE(g_foreign == SIGINT);
            REQUIRE(setTerminationSignals(false));
            raise(SIGTERM);
            REQUIRE(pendingSignal() == SIGINT);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Signals, TheRpmLibraryAndItsActions) {
    // While the library's queue is active its handler catches the signal and
    // later runs the action registered for it.
    EXPECT_EXIT(
        {
            REQUIRE(initSignals() && rpmsqActivate(1) == 0);
            raise(SIGQUIT);
            REQUIRE(!terminationPending() && rpmsqPoll() == 1 && pendingSignal() == SIGQUIT);
            raise(SIGPIPE);  // stays ignored there too
            rpmsqPoll();
            REQUIRE(rpmsqActivate(0) == 0 && pendingSignal() == SIGQUIT);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    // Actions others registered are not replaced.
    EXPECT_EXIT(
        {
            rpmsqSetAction(SIGINT, foreignAction);
            REQUIRE(!initSignals());
            REQUIRE(rpmsqSetAction(SIGINT, RPMSQ_DFL) == foreignAction);
            REQUIRE(!signalRegistry().isInstalled(SIGINT) && handlerOf(SIGINT) == SIG_DFL);
            REQUIRE(!signalRegistry().install(SIGUSR1, false));  // unknown to the library
            REQUIRE(!signalRegistry().isInstalled(SIGUSR1) && handlerOf(SIGUSR1) == SIG_DFL);
            _exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^ERROR: handler for signal 2 was already registered in rpmlib\n"
        "ERROR: failed intializing signal handlers\n"
        "ERROR: failed to register signal handler for signal 10 in rpmlib\n$");
}

TEST(Signals, SigpipeIsIgnoredHereButNotInChildren) {
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            int fds[2];
            REQUIRE(pipe(fds) == 0);
            close(fds[0]);
            REQUIRE(write(fds[1], "x", 1) == -1 && errno == EPIPE);
            ChildProcess child("/bin/sh");  // a shell cannot undo an inherited ignore
            child.addArg("-c");
            child.addArg("kill -PIPE $$; exit 3");
            REQUIRE(child.run() && child.signaled() && child.status() == SIGPIPE);
            REQUIRE(!terminationPending());
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The lock belongs to the process: programs it runs (the shutdown lives on
// for a minute) must not keep it after it is gone.
TEST(CacheLockUnit, ChildProgramsDoNotInheritTheLock) {
    EXPECT_EXIT(
        {
            Config config;
            REQUIRE(acquireCacheLock(config));
            char expected[16];
            snprintf(expected, sizeof(expected), "%10i\n", static_cast<int>(getpid()));
            REQUIRE(readHostFile(paths::kLockFile) == expected);
            ChildProcess child("/bin/sh");
            child.addArg("-c");
            child.addArg(
                "for f in /proc/$$/fd/*; do [ \"$(readlink \"$f\")\" = /var/lock/updater ] && exit "
                "1; done; exit 0");
            REQUIRE(child.run() && child.exited() && child.status() == 0);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
