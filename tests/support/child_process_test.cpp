#include "support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "harness/log_capture.h"
#include "harness/sandbox.h"

namespace {

ChildProcess shell(const std::string& script) {
    ChildProcess child("/bin/sh");
    child.addArg("-c");
    child.addArg(script);
    return child;
}

TEST(ChildProcessRun, SilentProgramLogsNoOutputHeader) {
    LogCapture log;
    ChildProcess child("/bin/true");
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.status(), 0);
    EXPECT_FALSE(log.contains("output:"));
    EXPECT_TRUE(log.contains("DEBUG: started child '/bin/true' with PID "));
    EXPECT_TRUE(log.has("DEBUG: child '/bin/true' exited with code 0"));
}

TEST(ChildProcessRun, OutputLinesAreSplitAsTheLogExpects) {
    LogCapture log(LogLevel::Info);
    ChildProcess child = shell(
        "printf 'x\\nlonger line\\n\\n'; printf 'err\\n' >&2; "
        "printf 'last'; exit 3");
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.status(), 3);
    // A one-character line keeps its line feed, which the log shows escaped
    // as it does every control character a child writes.
    EXPECT_EQ(log.text(),
              "INFO: /bin/sh output:\n"
              "INFO:   x\\n\n"
              "INFO:   longer line\n"
              "INFO:   err\n"
              "INFO:   last\n");
}

TEST(ChildProcessRun, OverLongLinesArriveInPieces) {
    LogCapture log(LogLevel::Info);
    ChildProcess child = shell("head -c 2500 /dev/zero | tr '\\0' a; echo");
    ASSERT_TRUE(child.run());
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 4u) << log.text();
    EXPECT_EQ(lines[1], "INFO:   " + std::string(1023, 'a'));
    EXPECT_EQ(lines[2], "INFO:   " + std::string(1023, 'a'));
    EXPECT_EQ(lines[3], "INFO:   " + std::string(2500 - 2046, 'a'));
}

TEST(ChildProcessRun, ProgramThatCannotBeExecutedIsNotStarted) {
    ScratchDir scratch;
    std::string plain = scratch.file("not-executable");
    writeHostFile(plain, "#!/bin/sh\nexit 0\n", 0644);
    std::string badInterpreter = scratch.file("bad-interpreter");
    writeHostFile(badInterpreter, "#!/nonexistent/sh\nexit 0\n", 0755);
    struct Case {
        std::string path;
        std::string error;
    };
    const Case cases[] = {
        {"/nonexistent/program", "No such file or directory"},
        {"no-such-program-anywhere", "No such file or directory"},
        {plain, "Permission denied"},
        {badInterpreter, "No such file or directory"},
        {scratch.path(), "Permission denied"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        ChildProcess child(c.path);
        EXPECT_FALSE(child.run()) << c.path;
        EXPECT_FALSE(child.exited());
        EXPECT_EQ(child.status(), -1);
        EXPECT_TRUE(log.has("ERROR: failed executing '" + c.path + "' (" + c.error + ")"))
            << log.text();
        // Nothing of the failed attempt reaches the log as program output.
        EXPECT_FALSE(log.contains("output:")) << log.text();
        EXPECT_FALSE(log.contains("started child")) << log.text();
        EXPECT_FALSE(child.wait());
    }
    ChildProcess child("/nonexistent/program");
    EXPECT_EQ(child.args()[0], "program");
    // A program that exits with 1 by itself is still started.
    LogCapture log;
    ChildProcess one = shell("echo failing; exit 1");
    ASSERT_TRUE(one.run());
    EXPECT_TRUE(one.exited());
    EXPECT_EQ(one.status(), 1);
    EXPECT_TRUE(log.has("INFO:   failing")) << log.text();
}

TEST(ChildProcessRun, KilledChildIsReportedBySignal) {
    LogCapture log;
    ChildProcess child = shell("kill -9 $$");
    ASSERT_TRUE(child.run());
    EXPECT_FALSE(child.exited());
    EXPECT_TRUE(child.signaled());
    EXPECT_EQ(child.status(), 9);
    EXPECT_TRUE(log.has("ERROR: child '/bin/sh' terminated by signal 9"));
    EXPECT_FALSE(child.wait());
}

TEST(ChildProcessRun, MegabytesOfBinaryOutputAreReadToTheEnd) {
    {
        // With the output below the threshold it is still drained.
        LogCapture log(LogLevel::Warning);
        ChildProcess child = shell("head -c 8000000 /dev/urandom; exit 4");
        ASSERT_TRUE(child.run());
        EXPECT_EQ(child.status(), 4);
        EXPECT_EQ(log.text(), "");
    }
    LogCapture log(LogLevel::Info);
    ChildProcess child = shell("head -c 300000 /dev/urandom; printf '\\000\\001\\377\\n'");
    ASSERT_TRUE(child.run());
    EXPECT_EQ(child.status(), 0);
    EXPECT_TRUE(log.contains("INFO: /bin/sh output:"));
}

TEST(ChildProcessRun, ChildGetsNullInputAndDefaultSigpipe) {
    LogCapture log(LogLevel::Info);
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    // SIGPIPE is signal 13: bit 0x1000 of the ignored-signal mask.
    ChildProcess child = shell(
        "mask=$(sed -n 's/^SigIgn:\\t//p' /proc/self/status); "
        "if [ $(( 0x$mask & 0x1000 )) -eq 0 ]; then echo sigpipe-default; fi; "
        "if read line; then echo got-input; else echo no-input; fi");
    ASSERT_TRUE(child.run());
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_TRUE(log.has("INFO:   sigpipe-default")) << log.text();
    EXPECT_TRUE(log.has("INFO:   no-input")) << log.text();
}

TEST(ChildProcessSpawn, DetachedChildRunsInItsOwnSessionOnNullStreams) {
    ScratchDir scratch;
    std::string report = scratch.file("report");
    ChildProcess child = shell(
        "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); "
        "ps -o sid= -p $$ > " +
        report + "; echo $$ >> " + report + "; echo \"$fds\" >> " + report + "; echo to-nowhere");
    ASSERT_TRUE(child.spawn());
    pid_t pid = child.pid();
    ASSERT_TRUE(child.wait());
    EXPECT_EQ(child.status(), 0);
    std::vector<std::string> lines = splitLines(readHostFile(report));
    ASSERT_EQ(lines.size(), 5u) << readHostFile(report);
    EXPECT_EQ(atoi(lines[0].c_str()), pid);  // session leader
    EXPECT_EQ(atoi(lines[1].c_str()), pid);
    EXPECT_EQ(lines[2], "/dev/null");
    EXPECT_EQ(lines[3], "/dev/null");
    EXPECT_EQ(lines[4], "/dev/null");
}

TEST(ChildProcessSpawn, ProgramThatCannotBeExecutedIsNotStarted) {
    LogCapture log;
    ChildProcess child("/nonexistent/shutdown");
    EXPECT_FALSE(child.spawn());
    EXPECT_FALSE(child.exited());
    EXPECT_TRUE(
        log.has("ERROR: failed executing '/nonexistent/shutdown' (No such file or directory)"))
        << log.text();
    EXPECT_FALSE(child.wait());
}

TEST(ChildProcessSpawn, StartingAgainWithoutWaitingWarns) {
    LogCapture log;
    ChildProcess child = shell("exit 0");
    ASSERT_TRUE(child.spawn());
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(log.has("WARNING: Did not wait on previously spawned helper"));
    // Reap the forgotten first child so that the test leaves nothing behind.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace
