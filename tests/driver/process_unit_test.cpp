// Units of the driver that work on the process and the system's fixed paths,
// inside one sandbox: the status directory is its own. Cases about
// dispositions or the recorded signal run in a child process (gtest death tests).
#include <gtest/gtest.h>
#include <rpm/rpmutil.h>

#include <rpm/rpmsq.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include "driver/reboot.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "harness/sandbox.h"
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

// ---- the update state: written when it changes, again after a failed write

const std::string kDir = "/var/lib/updater";

TEST(UpdateState, WrittenWhenItChangesAndRetriedAfterAFailure) {
    removeTree(kDir);
    makeDirs(kDir);
    writeHostFile(paths::kUpdateStateFile, "PENDING extra\n");
    EXPECT_EQ(readUpdateState(), UpdateState::PENDING);
    writeHostFile(paths::kUpdateStateFile, "sentinel\n");
    saveUpdateState(UpdateState::PENDING);  // unchanged: not written
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "sentinel\n");
    EXPECT_EQ(readUpdateState(), UpdateState::NONE);  // unknown word
    ASSERT_EQ(mount("tmpfs", kDir.c_str(), "tmpfs", MS_RDONLY, "size=64k"), 0) << strerror(errno);
    saveUpdateState(UpdateState::COMPLETE);
    ASSERT_EQ(mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT, "size=64k"), 0);
    saveUpdateState(UpdateState::COMPLETE);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "COMPLETE\n");
    umount(kDir.c_str());
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

TEST(Signals, SighupRecordedBeforeItWasIgnoredDoesNotEndTheProcess) {
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
            REQUIRE(setTerminationSignals(TerminationActions::DEFAULT));
            REQUIRE(handlerOf(SIGINT) == foreignHandler && handlerOf(SIGTERM) == SIG_DFL);
            REQUIRE(signalRegistry().size() == 1);
            REQUIRE(rpmsqSetAction(SIGTERM, RPMSQ_DFL) == RPMSQ_DFL);  // the library's too
            raise(SIGINT);
            REQUIRE(g_foreign == SIGINT);
            REQUIRE(setTerminationSignals(TerminationActions::RECORDED));
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
            REQUIRE(
                !signalRegistry().install(SIGUSR1, Disposition::RECORD));  // unknown to the library
            REQUIRE(!signalRegistry().isInstalled(SIGUSR1) && handlerOf(SIGUSR1) == SIG_DFL);
            _exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^ERROR: handler for signal 2 was already registered in rpmlib\n"
        "ERROR: failed intializing signal handlers\n"
        "ERROR: failed to register signal handler for signal 10 in rpmlib\n$");
}

}  // namespace
