#include "support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

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

TEST(ChildProcessRun, OutputLinesAreSplitAsTheLogExpects) {
    {
        LogCapture log;
        ChildProcess child("/bin/true");
        ASSERT_TRUE(child.run());
        EXPECT_TRUE(child.exited());
        EXPECT_EQ(child.status(), 0);
        EXPECT_FALSE(log.contains("output:"));
        EXPECT_TRUE(log.has("DEBUG: child '/bin/true' exited with code 0"));
    }
    LogCapture log(LogLevel::Info);
    ChildProcess child = shell(
        "printf 'x\\nlonger line\\n\\n'; printf 'err\\n' >&2; head -c 2500 /dev/zero | tr '\\0' a;"
        " echo; printf 'last'; exit 3");
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.status(), 3);
    // A one-character line keeps its line feed, which the log shows escaped
    // as it does every control character a child writes; over-long lines
    // arrive in pieces.
    EXPECT_EQ(log.text(),
              "INFO: /bin/sh output:\nINFO:   x\\n\nINFO:   longer line\nINFO:   err\n"
              "INFO:   " +
                  std::string(1023, 'a') + "\nINFO:   " + std::string(1023, 'a') +
                  "\nINFO:   " + std::string(454, 'a') + "\nINFO:   last\n");
}

TEST(ChildProcessRun, ProgramThatCannotBeExecutedIsNotStarted) {
    ScratchDir scratch;
    const std::string plain = scratch.file("not-executable");
    writeHostFile(plain, "#!/bin/sh\nexit 0\n", 0644);
    const std::string badInterpreter = scratch.file("bad-interpreter");
    writeHostFile(badInterpreter, "#!/nonexistent/sh\nexit 0\n", 0755);
    const std::pair<std::string, const char*> cases[] = {
        {"/nonexistent/program", "No such file or directory"},
        {"no-such-program-anywhere", "No such file or directory"},
        {plain, "Permission denied"},
        {badInterpreter, "No such file or directory"},
        {scratch.path(), "Permission denied"},
    };
    for (const auto& c : cases) {
        for (bool detached : {false, true}) {
            SCOPED_TRACE(c.first + (detached ? " (spawned)" : ""));
            LogCapture log;
            ChildProcess child(c.first);
            EXPECT_FALSE(detached ? child.spawn() : child.run());
            EXPECT_FALSE(child.exited());
            EXPECT_EQ(child.status(), -1);
            EXPECT_TRUE(log.has("ERROR: failed executing '" + c.first + "' (" + c.second + ")"))
                << log.text();
            // Nothing of the failed attempt reaches the log as program output.
            EXPECT_FALSE(log.contains("output:")) << log.text();
            EXPECT_FALSE(log.contains("started child")) << log.text();
            EXPECT_FALSE(child.wait());
        }
    }
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
}

// Output below the threshold is still drained: the child never blocks.
TEST(ChildProcessRun, MegabytesOfBinaryOutputAreReadToTheEnd) {
    LogCapture log(LogLevel::Warning);
    ChildProcess child = shell("head -c 8000000 /dev/urandom; exit 4");
    ASSERT_TRUE(child.run());
    EXPECT_EQ(child.status(), 4);
    EXPECT_EQ(log.text(), "");
}

TEST(ChildProcessRun, ChildGetsNullInput) {
    LogCapture log(LogLevel::Info);
    ChildProcess child = shell("if read line; then echo got-input; else echo no-input; fi");
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(log.has("INFO:   no-input")) << log.text();
}

TEST(ChildProcessSpawn, DetachedChildRunsInItsOwnSessionOnNullStreams) {
    ScratchDir scratch;
    const std::string report = scratch.file("report");
    ChildProcess child = shell(
        "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); ps -o sid= -p $$ > " + report +
        "; echo $$ >> " + report + "; echo \"$fds\" >> " + report + "; echo to-nowhere");
    ASSERT_TRUE(child.spawn());
    const pid_t pid = child.pid();
    ASSERT_TRUE(child.wait());
    EXPECT_EQ(child.status(), 0);
    const std::vector<std::string> lines = splitLines(readHostFile(report));
    ASSERT_EQ(lines.size(), 5u) << readHostFile(report);
    EXPECT_EQ(atoi(lines[0].c_str()), pid);  // session leader
    EXPECT_EQ(atoi(lines[1].c_str()), pid);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              std::vector<std::string>(3, "/dev/null"));
}

}  // namespace
