// Signal recording, the registry of dispositions and the end of the process.
// Every case runs in a child process of its own (gtest death tests), since
// dispositions and the recorded signal belong to the whole process.
#include "driver/signals.h"

#include <gtest/gtest.h>
#include <rpm/rpmutil.h>

#include <rpm/rpmsq.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "death_test.h"
#include "driver/reboot.h"
#include "support/child_process.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

void (*handlerOf(int signal))(int) {
    struct sigaction action;
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

volatile sig_atomic_t g_nForeign = 0;
void foreignHandler(int signal) {
    g_nForeign = signal;
}
void foreignAction(int, siginfo_t*, void*) {}

TEST(Signals, FirstSignalIsRecordedAndReraisedWhenTheRunFailed) {
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            REQUIRE(!terminationPending() && pendingSignal() == 0);
            raise(SIGTERM);
            raise(SIGINT);
            raise(SIGQUIT);
            raise(SIGHUP);
            REQUIRE(terminationPending() && pendingSignal() == SIGTERM);
            finishProcess(1, false, false);
            _exit(98);
        },
        ::testing::KilledBySignal(SIGTERM),
        "INFO: --- EXIT ERROR ---\nERROR: terminated by signal #15: Terminated\n");

    // A result below -1 ends as an error, and is re-raised as well.
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            raise(SIGQUIT);
            finishProcess(-3, false, true);
            _exit(98);
        },
        ::testing::KilledBySignal(SIGQUIT), "^ERROR: terminated by signal #3: Quit\n$");
}

TEST(Signals, SuccessIsNotReraised) {
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            raise(SIGINT);
            REQUIRE(finishProcess(0, false, false) == 0);
            // Default actions are back, SIGPIPE stays ignored.
            REQUIRE(handlerOf(SIGINT) == SIG_DFL && handlerOf(SIGTERM) == SIG_DFL);
            REQUIRE(handlerOf(SIGPIPE) == SIG_IGN);
            REQUIRE(signalRegistry().size() == 1);
            _exit(7);
        },
        ::testing::ExitedWithCode(7), "^INFO: --- EXIT OK ---\n$");
}

TEST(Signals, IgnoredSighupStaysIgnored) {
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            REQUIRE(ignoreSighup() && ignoreSighup());
            REQUIRE(handlerOf(SIGHUP) == SIG_IGN);
            raise(SIGHUP);
            REQUIRE(!terminationPending());
            // Around transfers: one entry per signal however often it is called.
            REQUIRE(setTerminationSignals(false) && setTerminationSignals(false));
            REQUIRE(signalRegistry().size() == 5 && signalRegistry().isIgnored(SIGHUP));
            REQUIRE(setTerminationSignals(true) && setTerminationSignals(true));
            REQUIRE(signalRegistry().size() == 2 && signalRegistry().isIgnored(SIGHUP));
            raise(SIGHUP);
            REQUIRE(!terminationPending());
            REQUIRE(setTerminationSignals(false));
            raise(SIGHUP);
            REQUIRE(!terminationPending());
            REQUIRE(setTerminationSignals(true));
            // The others have their default actions.
            raise(SIGINT);
            _exit(98);
        },
        ::testing::KilledBySignal(SIGINT), "");

    // A SIGHUP recorded before it was ignored: raising it again does not end
    // the process, which then exits with its code.
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
            REQUIRE(g_nForeign == 0 && pendingSignal() == SIGINT);

            REQUIRE(setTerminationSignals(true));
            REQUIRE(handlerOf(SIGINT) == foreignHandler && handlerOf(SIGTERM) == SIG_DFL);
            REQUIRE(signalRegistry().size() == 1);
            // The RPM library has its default back as well.
            REQUIRE(rpmsqSetAction(SIGTERM, RPMSQ_DFL) == RPMSQ_DFL);
            raise(SIGINT);
            REQUIRE(g_nForeign == SIGINT);

            REQUIRE(setTerminationSignals(false));
            raise(SIGTERM);
            REQUIRE(pendingSignal() == SIGINT);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Signals, SignalsCaughtByTheRpmLibraryAreRecorded) {
    EXPECT_EXIT(
        {
            REQUIRE(initSignals());
            // While the library's queue is active its own handler catches the
            // signal and later runs the action registered for it.
            REQUIRE(rpmsqActivate(1) == 0);
            raise(SIGQUIT);
            REQUIRE(!terminationPending());
            REQUIRE(rpmsqPoll() == 1);
            REQUIRE(pendingSignal() == SIGQUIT);
            // An ignored signal stays ignored there too.
            raise(SIGPIPE);
            rpmsqPoll();
            REQUIRE(rpmsqActivate(0) == 0);
            REQUIRE(pendingSignal() == SIGQUIT);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Signals, ActionsOfOthersAreNotReplaced) {
    EXPECT_EXIT(
        {
            rpmsqSetAction(SIGINT, foreignAction);
            REQUIRE(!initSignals());
            REQUIRE(rpmsqSetAction(SIGINT, RPMSQ_DFL) == foreignAction);
            REQUIRE(!signalRegistry().isInstalled(SIGINT) && handlerOf(SIGINT) == SIG_DFL);
            // A signal the library does not know cannot be recorded.
            REQUIRE(!signalRegistry().install(SIGUSR1, false));
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
            // A shell cannot take back a signal ignored when it started.
            ChildProcess child("/bin/sh");
            child.addArg("-c");
            child.addArg("kill -PIPE $$; exit 3");
            REQUIRE(child.run());
            REQUIRE(child.signaled() && child.status() == SIGPIPE);
            REQUIRE(!terminationPending());
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
