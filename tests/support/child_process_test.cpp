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

// How each way of ending is reported; output is drained even below the
// threshold (the child never blocks), and the child reads no input.
TEST(ChildProcessRun, ExitCodesSignalsAndInput) {
    const struct {
        const char* script;
        LogLevel level;
        bool exited;
        int status;
        const char* log;  // the whole captured log after the start
    } cases[] = {
        {"exit 0", LogLevel::Debug, true, 0, "DEBUG: child '/bin/sh' exited with code 0\n"},
        {"kill -9 $$", LogLevel::Error, false, 9,
         "ERROR: child '/bin/sh' terminated by signal 9\n"},
        {"head -c 8000000 /dev/urandom; exit 4", LogLevel::Warning, true, 4, ""},
        {"read line || echo no-input", LogLevel::Info, true, 0,
         "INFO: /bin/sh output:\nINFO:   no-input\n"},
    };
    for (const auto& c : cases) {
        LogCapture log(c.level);
        ChildProcess child = shell(c.script);
        ASSERT_TRUE(child.run());
        EXPECT_EQ(child.exited(), c.exited) << c.script;
        EXPECT_EQ(child.signaled(), !c.exited) << c.script;
        EXPECT_EQ(child.status(), c.status) << c.script;
        std::string text = log.text();
        if (text.rfind("DEBUG: started child '/bin/sh' with PID ", 0) == 0) {
            text.erase(0, text.find('\n') + 1);
        }
        EXPECT_EQ(text, c.log) << c.script;
    }
}

TEST(ChildProcessRun, OutputLinesAreSplitAsTheLogExpects) {
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
