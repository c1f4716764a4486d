// End-to-end tests of the cache lock and of termination signals during its
// wait: the real binary in the sandbox, with a real second process holding
// the lock and real signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "driver/script_run.h"

namespace {

const char* const kLockFile = "/var/lock/updater";

class CacheLock : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.writeConfig(Sandbox::simpleConfig());
        sandbox.writeFile("/usr/share/resources/default/updater/defaults.conf", "<updater/>\n");
    }
    Sandbox sandbox;
};

size_t positionOf(const RunResult& r, const std::string& text) {
    return r.err.find(text);
}

TEST_F(CacheLock, SecondInstanceWaitsAndProceedsWhenTheFirstEnds) {
    sandbox.writeFile("/var/log/updater/lastlog", "INFO: the previous run\n");
    SandboxProcess p = startScript(sandbox, holdLock(2) +
                                                "exec \"$UPDATER\" --lock-timeout 30 "
                                                "--log-level trace\n");
    pid_t pid = p.programPid();
    ASSERT_TRUE(waitForStderr(sandbox, "will timeout in"));
    // The waiting instance leaves the holder's per-run log alone.
    EXPECT_EQ(sandbox.readFile("/var/log/updater/lastlog"), "INFO: the previous run\n");

    RunResult r = p.wait();
    ASSERT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();  // the update run itself is not there yet
    EXPECT_EQ(r.errCount("INFO: cache lock held by another instance, will timeout in 30 secs"), 1)
        << r.describe();
    EXPECT_EQ(linesWith(r.err, "will timeout in").size(), 1u) << r.describe();
    EXPECT_GE(linesWith(r.err, "TRACE: cache lock attempt").size(), 2u) << r.describe();
    size_t got = positionOf(r, "INFO: other instance terminated, got cache lock\n");
    ASSERT_NE(got, std::string::npos) << r.describe();
    EXPECT_LT(positionOf(r, "will timeout in"), got);
    EXPECT_LT(got, positionOf(r, "INFO: --- MODE update ---\n"));
    EXPECT_FALSE(r.errHas("failed acquiring"));

    EXPECT_EQ(sandbox.readFile(kLockFile), pidLine(pid));
    std::string lastlog = sandbox.readFile("/var/log/updater/lastlog");
    EXPECT_EQ(lastlog.find("the previous run"), std::string::npos) << lastlog;
    EXPECT_EQ(lastlog.find("cache lock"), std::string::npos) << lastlog;
    EXPECT_NE(lastlog.find("INFO: --- MODE update ---\n"), std::string::npos) << lastlog;
}

TEST_F(CacheLock, TimeoutCountsDownEveryTenAttempts) {
    // A timeout of 12 seconds: attempts 1 and 11 announce 12 and 2 seconds,
    // and attempt 13 is the last.
    RunResult r = runScript(
        sandbox, holdLock(120) + "exec \"$UPDATER\" --lock-timeout 12 --log-level trace\n");
    ASSERT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 1);
    std::vector<std::string> waiting = linesWith(r.err, "cache lock held");
    EXPECT_EQ(waiting, (std::vector<std::string>{
                           "INFO: cache lock held by another instance, will timeout in 12 secs",
                           "INFO: cache lock held by another instance, will timeout in 2 secs"}))
        << r.describe();
    EXPECT_EQ(linesWith(r.err, "TRACE: cache lock attempt").size(), 13u) << r.describe();
    EXPECT_TRUE(
        r.errHas("ERROR: failed acquiring lock file '/var/lock/updater' (Resource "
                 "temporarily unavailable)\nINFO: --- EXIT ERROR ---\n"))
        << r.describe();
    EXPECT_FALSE(r.errHas("--- MODE"));
    EXPECT_FALSE(sandbox.exists("/var/log/updater/lastlog"));
    EXPECT_EQ(sandbox.readFile(kLockFile), "");
}

TEST_F(CacheLock, NegativeTimeoutMakesOneAttempt) {
    for (const char* timeout : {"-1", "-100"}) {
        RunResult r = runScript(sandbox, holdLock(120) + "exec \"$UPDATER\" --lock-timeout " +
                                             timeout + " --log-level trace\n");
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_EQ(linesWith(r.err, "TRACE: cache lock attempt").size(), 1u) << r.describe();
        EXPECT_FALSE(r.errHas("cache lock held")) << r.describe();
        EXPECT_TRUE(r.errHas("ERROR: failed acquiring lock file '/var/lock/updater' ("));
        EXPECT_FALSE(r.errHas("--- MODE"));
    }
}

TEST_F(CacheLock, TerminationSignalEndsTheWaitSilently) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signal);
        // Without the signal the wait would outlast the sandbox's limit.
        RunOptions limit;
        limit.timeoutSeconds = 30;
        SandboxProcess p =
            startScript(sandbox, holdLock(120) + "exec \"$UPDATER\" --lock-timeout 100\n", limit);
        pid_t pid = p.programPid();
        ASSERT_TRUE(waitForStderr(sandbox, "will timeout in 100 secs"));
        kill(pid, signal);
        RunResult r = p.wait();
        ASSERT_TRUE(r.signaled) << r.describe();
        EXPECT_EQ(r.signal, signal);
        EXPECT_FALSE(r.errHas("failed acquiring")) << r.describe();
        EXPECT_FALSE(r.errHas("--- MODE"));
        std::string ending =
            std::string("INFO: --- EXIT ERROR ---\nERROR: terminated by signal #") +
            std::to_string(signal) + ": " + strsignal(signal) + "\n";
        EXPECT_TRUE(r.errHas(ending)) << r.describe();
    }
}

TEST_F(CacheLock, StaleOrGarbageLockFileNeverBlocks) {
    mode_t mask = umask(0);
    umask(mask);
    // No file yet: it is created with 0666 less the umask.
    SandboxProcess p = sandbox.start({"--lock-timeout", "5"});
    pid_t pid = p.programPid();
    RunResult r = p.wait();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(sandbox.readFile(kLockFile), pidLine(pid));
    struct stat st;
    ASSERT_EQ(stat(sandbox.hostPath(kLockFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    // Whatever an earlier holder left behind is replaced, without waiting.
    std::string garbage(5000, 'x');
    garbage += "\n\x01\x02binary\n";
    for (const std::string& content : {garbage, std::string("     99999\n"), std::string("")}) {
        sandbox.writeFile(kLockFile, content, 0600);
        p = sandbox.start({"--lock-timeout", "5"});
        pid = p.programPid();
        r = p.wait();
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_FALSE(r.errHas("cache lock held")) << r.describe();
        EXPECT_TRUE(r.errHas("INFO: --- MODE update ---\n"));
        EXPECT_EQ(sandbox.readFile(kLockFile), pidLine(pid));
    }

    // A holder killed with the lock held: the kernel released the lock, the
    // file with its content remains.
    sandbox.writeFile(kLockFile, pidLine(12345));
    p = startScript(sandbox, holdLock(120, true) +
                                 "kill -9 $!; wait $!\n"
                                 "exec \"$UPDATER\" --lock-timeout 5\n");
    pid = p.programPid();
    r = p.wait();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_FALSE(r.errHas("cache lock held")) << r.describe();
    EXPECT_FALSE(r.errHas("other instance terminated"));
    EXPECT_EQ(sandbox.readFile(kLockFile), pidLine(pid));
}

TEST_F(CacheLock, UnusableLockDirectoryFailsCleanly) {
    RunOptions options;
    options.tmpfs = {"/var/lock=64k"};
    RunResult r =
        runScript(sandbox, "mount -o remount,ro /var/lock && exec \"$UPDATER\"\n", options);
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(
        r.errHas("ERROR: failed creating lock file '/var/lock/updater' (Read-only file "
                 "system).\nINFO: --- EXIT ERROR ---\n"))
        << r.describe();
    EXPECT_FALSE(r.errHas("--- MODE"));
    EXPECT_FALSE(sandbox.exists("/var/log/updater/lastlog"));

    // A link planted in the lock directory is not followed.
    sandbox.writeFile("/etc/victim", "precious\n");
    ASSERT_EQ(symlink("/etc/victim", sandbox.hostPath(kLockFile).c_str()), 0);
    r = sandbox.run({});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(
        r.errHas("ERROR: failed creating lock file '/var/lock/updater' (Too many levels "
                 "of symbolic links).\n"))
        << r.describe();
    EXPECT_EQ(sandbox.readFile("/etc/victim"), "precious\n");
}

TEST_F(CacheLock, FullLockDirectoryStillGivesTheLock) {
    RunOptions options;
    options.tmpfs = {"/var/lock=8k"};
    RunResult r = runScript(sandbox,
                            "dd if=/dev/zero of=/var/lock/filler bs=1k 2>/dev/null\n"
                            "\"$UPDATER\"; code=$?\n"
                            "stat -c %s /var/lock/updater > /tmp/lock-size\n"
                            "exit $code\n",
                            options);
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(r.errHas("WARNING: failed writing PID to lock file '/var/lock/updater'.\n"))
        << r.describe();
    // The lock is held all the same and the run goes on.
    EXPECT_TRUE(r.errHas("INFO: --- MODE update ---\n"));
    EXPECT_EQ(sandbox.readFile("/tmp/lock-size"), "0\n");
    EXPECT_NE(sandbox.readFile("/var/log/updater/lastlog").find("--- MODE update ---"),
              std::string::npos);
}

}  // namespace
