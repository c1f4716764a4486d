// End-to-end tests of --background: the real binary in the sandbox; the
// sandbox waits for the detached child as well.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/script_run.h"

namespace {

class Background : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.writeConfig(
            "<updater><log level=\"info\"><logger type=\"stderr\"/><logger type=\"syslog\">"
            "<facility>daemon</facility></logger></log></updater>\n");
        sandbox.writeFile("/usr/share/resources/default/updater/defaults.conf", "<updater/>\n");
    }
    Sandbox sandbox;
};

int backgroundPid(const RunResult& r) {
    const std::string marker = "INFO: --- BACKGROUND PID ";
    size_t at = r.err.find(marker);
    return at == std::string::npos ? 0 : atoi(r.err.c_str() + at + marker.size());
}

TEST_F(Background, RefusingStatusIsReportedInTheForeground) {
    struct Case {
        const char* stored;
        int code;
        const char* message;
        const char* after;
    } cases[] = {
        {"UPDATING\n", 2,
         "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting\n",
         "CORRUPTED\n"},
        {"garbage\n", 1, "ERROR: cannot recover status, aborting\n", "garbage\n"},
    };
    for (const Case& c : cases) {
        sandbox.writeFile("/var/lib/updater/status", c.stored);
        RunResult r = sandbox.run({"--background"});
        ASSERT_TRUE(r.exited) << r.describe();
        EXPECT_EQ(r.exitCode, c.code) << r.describe();
        EXPECT_TRUE(r.errHas(c.message)) << r.describe();
        EXPECT_TRUE(
            r.errHas(c.code == 2 ? "INFO: --- EXIT FATAL ---\n" : "INFO: --- EXIT ERROR ---\n"));
        // No child was started: nobody took the lock or wrote a log.
        EXPECT_FALSE(r.errHas("BACKGROUND")) << r.describe();
        EXPECT_FALSE(r.errHas("--- MODE"));
        EXPECT_FALSE(sandbox.exists("/var/lock/updater"));
        EXPECT_FALSE(sandbox.exists("/var/log/updater/lastlog"));
        EXPECT_EQ(sandbox.readFile("/var/lib/updater/status"), c.after);
    }
}

TEST_F(Background, ChildCarriesOnWithTheLockAfterTheParentEnded) {
    sandbox.writeFile("/tmp/run.log", "");
    // The lock is taken by another process for a moment, so that the child
    // is still waiting for it when the parent has ended.
    SandboxProcess p = startScript(sandbox, holdLock(2, true) +
                                                "exec \"$UPDATER\" --background --lock-timeout 30 "
                                                "--log-to /tmp/run.log\n");
    pid_t parent = p.programPid();
    RunResult r = p.wait();
    ASSERT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    int child = backgroundPid(r);
    ASSERT_GT(child, 0) << r.describe();
    EXPECT_NE(child, parent);

    // The parent's standard error shows only the parent.
    EXPECT_TRUE(
        r.errHas("INFO: --- MODE update ---\n"
                 "INFO: updater switched to background\n"
                 "INFO: --- BACKGROUND PID " +
                 std::to_string(child) + " ---\nINFO: --- EXIT OK ---\n"))
        << r.describe();
    EXPECT_FALSE(r.errHas("cache lock")) << r.describe();
    EXPECT_FALSE(r.errHas("no active repository"));

    // The child holds the lock and writes the per-run log.
    EXPECT_EQ(sandbox.readFile("/var/lock/updater"), pidLine(child));
    std::string lastlog = sandbox.readFile("/var/log/updater/lastlog");
    EXPECT_NE(lastlog.find("INFO: --- MODE update ---\n"), std::string::npos) << lastlog;
    EXPECT_NE(lastlog.find("ERROR: no active repository, nothing to do\n"), std::string::npos)
        << lastlog;
    EXPECT_NE(lastlog.find("INFO: --- EXIT ERROR ---\n"), std::string::npos) << lastlog;
    EXPECT_EQ(lastlog.find("BACKGROUND"), std::string::npos) << lastlog;

    // The --log-to file has the parent's lines up to the fork report and then
    // only the child's.
    std::string runLog = sandbox.readFile("/tmp/run.log");
    EXPECT_NE(runLog.find("INFO: --- BACKGROUND PID"), std::string::npos) << runLog;
    EXPECT_EQ(runLog.find("--- EXIT OK ---"), std::string::npos) << runLog;
    EXPECT_NE(runLog.find("INFO: other instance terminated, got cache lock\n"), std::string::npos)
        << runLog;
    EXPECT_NE(runLog.find("INFO: --- EXIT ERROR ---\n"), std::string::npos) << runLog;

    // Syslog: the parent had ended before the child got the lock.
    auto find = [&](int pid, const std::string& text) {
        return std::find_if(r.syslog.begin(), r.syslog.end(), [&](const SyslogRecord& rec) {
            return rec.pid == pid && rec.text == text;
        });
    };
    auto parentExit = find(parent, "--- EXIT OK ---");
    auto childLock = find(child, "other instance terminated, got cache lock");
    auto childExit = find(child, "--- EXIT ERROR ---");
    ASSERT_NE(parentExit, r.syslog.end());
    ASSERT_NE(childLock, r.syslog.end());
    ASSERT_NE(childExit, r.syslog.end());
    EXPECT_LT(parentExit, childLock);
    EXPECT_LT(childLock, childExit);
}

TEST_F(Background, QuietParentPrintsNothing) {
    SandboxProcess p = sandbox.start({"--background", "--quiet"});
    pid_t parent = p.programPid();
    RunResult r = p.wait();
    ASSERT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    // The child ran: it took the lock and logged its error.
    std::string lock = sandbox.readFile("/var/lock/updater");
    ASSERT_EQ(lock.size(), 11u);
    EXPECT_NE(lock, pidLine(parent));
    // The test machine has neither a Serial line nor an identifiers file.
    EXPECT_EQ(sandbox.readFile("/var/log/updater/lastlog"),
              "WARNING: could not open /etc/vantorix/identifiers: No such file or directory\n"
              "INFO: running init hook\n"
              "WARNING: failed starting hook, continuing anyways\n"
              "ERROR: no active repository, nothing to do\n");
    ASSERT_FALSE(r.syslog.empty());
    for (const SyslogRecord& rec : r.syslog) {
        EXPECT_EQ(rec.pid, atoi(lock.c_str())) << rec.text;
    }
}

}  // namespace
