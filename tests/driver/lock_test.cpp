// The cache lock with the real binary and a real second process holding it:
// waiting, giving up, stale files, unusable directories, signals during the
// wait, --background, and ten instances started at once.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "appliance.h"

namespace {

const char* const kLock = "/var/lock/updater";
const std::string kGaveUp = "ERROR: failed acquiring lock file '/var/lock/updater' (";

size_t linesWith(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (const std::string& line : splitLines(text)) {
        n += line.find(part) != std::string::npos;
    }
    return n;
}

// The lock file holds a process id as the lock holder writes it.
void pidInLock(Appliance& a, const RunResult&) {
    const std::string lock = a.sandbox.readFile(kLock);
    EXPECT_EQ(lock, pidLine(std::atoi(lock.c_str()))) << lock;
    EXPECT_NE(lock, pidLine(99999));
}

std::vector<Scenario> rows() {
    Scenario negative = Scenario("NegativeTimeoutMakesOneAttempt").bare();
    for (const char* timeout : {"-1", "-100"}) {
        negative.run({"--lock-timeout", timeout, "--log-level", "trace"}, 1)
            .script(holdLock(120))
            .logs({kGaveUp}, {"cache lock held", "--- MODE"})
            .check([](Appliance&, const RunResult& r) {
                EXPECT_EQ(linesWith(r.err, "TRACE: cache lock attempt"), 1u);
            });
    }
    Scenario stale = Scenario("StaleOrGarbageLockFileNeverBlocks").bare();
    // No file yet: created with 0666 less the umask.
    stale.run({"--lock-timeout", "5"}, 1).check([](Appliance& a, const RunResult& r) {
        pidInLock(a, r);
        const mode_t mask = umask(0);
        umask(mask);
        struct stat st;
        ASSERT_EQ(stat(a.sandbox.hostPath(kLock).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    });
    for (const std::string& content :
         {std::string(5000, 'x') + "\n\x01\x02\n", std::string("     99999\n"), std::string()}) {
        stale.run({"--lock-timeout", "5"}, 1)
            .put(kLock, content)
            .logs({"INFO: --- MODE update ---\n"}, {"cache lock held"})
            .check(pidInLock);
    }
    // A holder killed with the lock held: the lock is gone, the file remains.
    stale.run({"--lock-timeout", "5"}, 1)
        .put(kLock, pidLine(12345))
        .script(holdLock(120, true) + "kill -9 $!; wait $!\n")
        .lacks({"cache lock held", "other instance terminated"})
        .check(pidInLock);
    RunOptions readOnly, small;
    readOnly.tmpfs = {"/var/lock=64k"};
    small.tmpfs = {"/var/lock=8k"};
    return {
        // Attempts 1 and 11 of a 12 second timeout announce 12 and 2 seconds; 13 is the last.
        Scenario("TimeoutCountsDownEveryTenAttempts")
            .bare()
            .run({"--lock-timeout", "12", "--log-level", "trace"}, 1)
            .script(holdLock(120))
            .lines("INFO: cache lock held",
                   {"INFO: cache lock held by another instance, will timeout in 12 secs",
                    "INFO: cache lock held by another instance, will timeout in 2 secs"})
            .logs({kGaveUp + "Resource temporarily unavailable)\nINFO: --- EXIT ERROR ---\n"},
                  {"--- MODE"})
            .absent({"/var/log/updater/lastlog"})
            .file(kLock, "")
            .check([](Appliance&, const RunResult& r) {
                EXPECT_EQ(linesWith(r.err, "TRACE: cache lock attempt"), 13u);
            }),
        negative,
        stale,
        Scenario("UnusableLockDirectoryFailsCleanly")
            .bare()
            .run({}, 1)
            .options(readOnly)
            .script("mount -o remount,ro /var/lock\n")
            .logs({"ERROR: failed creating lock file '/var/lock/updater' (Read-only file system).\n"
                   "INFO: --- EXIT ERROR ---\n"},
                  {"--- MODE"})
            .absent({"/var/log/updater/lastlog"})
            // A link planted in the lock directory is not followed.
            .run({}, 1)
            .put("/etc/victim", "precious\n")
            .before([](Appliance& a) {
                ASSERT_EQ(symlink("/etc/victim", a.sandbox.hostPath(kLock).c_str()), 0);
            })
            .logs({"ERROR: failed creating lock file '/var/lock/updater' (Too many levels of "
                   "symbolic links).\n"})
            .file("/etc/victim", "precious\n"),
        // The lock is held all the same and the run goes on.
        Scenario("FullLockDirectoryStillGivesTheLock")
            .bare()
            .run({}, 1)
            .options(small)
            .script("dd if=/dev/zero of=/var/lock/filler bs=1k 2>/dev/null\n\"$UPDATER\" \"$@\"; "
                    "code=$?\n"
                    "stat -c %s /var/lock/updater > /tmp/lock-size\nexit $code\n")
            .logs({"WARNING: failed writing PID to lock file '/var/lock/updater'.\n",
                   "INFO: --- MODE update ---\n"})
            .file("/tmp/lock-size", "0\n")
            .check([](Appliance& a, const RunResult&) {
                EXPECT_NE(
                    a.sandbox.readFile("/var/log/updater/lastlog").find("--- MODE update ---"),
                    std::string::npos);
            }),
    };
}

SCENARIOS(CacheLock, rows());

// Waits until the running program's standard error contains the text.
bool waitForStderr(const Sandbox& sandbox, const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
        if (readHostFile(sandbox.dir() + "/out/stderr").find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Lock : public ::testing::Test {
protected:
    void SetUp() override { a.sandbox.writeConfig(Sandbox::simpleConfig()); }
    Appliance a;
};

TEST_F(Lock, SecondInstanceWaitsAndProceedsWhenTheFirstEnds) {
    a.sandbox.writeFile("/var/log/updater/lastlog", "INFO: the previous run\n");
    SandboxProcess p =
        startScript(a.sandbox, holdLock(2), {"--lock-timeout", "30", "--log-level", "trace"});
    pid_t pid = p.programPid();
    ASSERT_TRUE(waitForStderr(a.sandbox, "will timeout in"));
    // The waiting instance leaves the holder's per-run log alone.
    EXPECT_EQ(a.sandbox.readFile("/var/log/updater/lastlog"), "INFO: the previous run\n");
    RunResult r = p.wait();
    EXPECT_EQ(r.exitCode, 1) << r.describe();  // nothing to update from
    EXPECT_EQ(linesWith(r.err, "will timeout in"), 1u) << r.describe();
    EXPECT_GE(linesWith(r.err, "TRACE: cache lock attempt"), 2u);
    EXPECT_TRUE(r.errHas("INFO: cache lock held by another instance, will timeout in 30 secs\n"));
    const size_t got = r.err.find("INFO: other instance terminated, got cache lock\n");
    ASSERT_NE(got, std::string::npos) << r.describe();
    EXPECT_LT(r.err.find("will timeout in"), got);
    EXPECT_LT(got, r.err.find("INFO: --- MODE update ---\n"));
    EXPECT_FALSE(r.errHas("failed acquiring"));
    EXPECT_EQ(a.sandbox.readFile(kLock), pidLine(pid));
    const std::string lastlog = a.sandbox.readFile("/var/log/updater/lastlog");
    EXPECT_EQ(lastlog.find("the previous run"), std::string::npos) << lastlog;
    EXPECT_EQ(lastlog.find("cache lock"), std::string::npos) << lastlog;
    EXPECT_NE(lastlog.find("INFO: --- MODE update ---\n"), std::string::npos) << lastlog;
}

TEST_F(Lock, TerminationSignalEndsTheWaitSilently) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signal);
        RunOptions limit;  // without the signal the wait would outlast it
        limit.timeoutSeconds = 30;
        SandboxProcess p = startScript(a.sandbox, holdLock(120), {"--lock-timeout", "100"}, limit);
        pid_t pid = p.programPid();
        ASSERT_TRUE(waitForStderr(a.sandbox, "will timeout in 100 secs"));
        kill(pid, signal);
        RunResult r = p.wait();
        ASSERT_TRUE(r.signaled && r.signal == signal) << r.describe();
        EXPECT_FALSE(r.errHas("failed acquiring")) << r.describe();
        EXPECT_FALSE(r.errHas("--- MODE"));
        EXPECT_TRUE(r.errHas("INFO: --- EXIT ERROR ---\nERROR: terminated by signal #" +
                             std::to_string(signal) + ": " + strsignal(signal) + "\n"))
            << r.describe();
    }
}

TEST_F(Lock, BackgroundChildCarriesOnWithTheLockAfterTheParentEnded) {
    a.sandbox.writeConfig(
        "<updater><log level=\"info\"><logger type=\"stderr\"/><logger type=\"syslog\">"
        "<facility>daemon</facility></logger></log></updater>\n");
    // Another process holds the lock for a moment: the child still waits
    // for it when the parent has ended.
    SandboxProcess p =
        startScript(a.sandbox, holdLock(2, true),
                    {"--background", "--lock-timeout", "30", "--log-to", "/tmp/run.log"});
    pid_t parent = p.programPid();
    RunResult r = p.wait();
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    const size_t at = r.err.find("INFO: --- BACKGROUND PID ");
    ASSERT_NE(at, std::string::npos) << r.describe();
    const int child = std::atoi(r.err.c_str() + at + 25);
    EXPECT_NE(child, parent);
    // The parent's standard error shows only the parent.
    EXPECT_TRUE(
        r.errHas("INFO: --- MODE update ---\nINFO: updater switched to background\n"
                 "INFO: --- BACKGROUND PID " +
                 std::to_string(child) + " ---\nINFO: --- EXIT OK ---\n"))
        << r.describe();
    EXPECT_FALSE(r.errHas("cache lock") || r.errHas("no active repository")) << r.describe();
    // The child holds the lock and writes the per-run log.
    EXPECT_EQ(a.sandbox.readFile(kLock), pidLine(child));
    const std::string lastlog = a.sandbox.readFile("/var/log/updater/lastlog");
    for (const char* text :
         {"INFO: --- MODE update ---\n", "ERROR: no active repository, nothing to do\n",
          "INFO: --- EXIT ERROR ---\n"}) {
        EXPECT_NE(lastlog.find(text), std::string::npos) << text << lastlog;
    }
    EXPECT_EQ(lastlog.find("BACKGROUND"), std::string::npos) << lastlog;
    // The --log-to file: the parent's lines up to the fork report, then the child's.
    const std::string runLog = a.sandbox.readFile("/tmp/run.log");
    EXPECT_NE(runLog.find("INFO: --- BACKGROUND PID"), std::string::npos) << runLog;
    EXPECT_EQ(runLog.find("--- EXIT OK ---"), std::string::npos) << runLog;
    EXPECT_NE(runLog.find("INFO: other instance terminated, got cache lock\n"), std::string::npos)
        << runLog;
    EXPECT_NE(runLog.find("INFO: --- EXIT ERROR ---\n"), std::string::npos) << runLog;
    // Syslog: the parent had ended before the child got the lock.
    auto find = [&](int pid, const std::string& text) {
        return std::find_if(
                   r.syslog.begin(), r.syslog.end(),
                   [&](const SyslogRecord& rec) { return rec.pid == pid && rec.text == text; }) -
               r.syslog.begin();
    };
    const auto parentExit = find(parent, "--- EXIT OK ---"),
               childLock = find(child, "other instance terminated, got cache lock"),
               childExit = find(child, "--- EXIT ERROR ---"),
               end = r.syslog.end() - r.syslog.begin();
    EXPECT_TRUE(parentExit < childLock && childLock < childExit && childExit < end)
        << parentExit << " " << childLock << " " << childExit;
}

TEST_F(Lock, QuietBackgroundParentPrintsNothing) {
    a.sandbox.remove("/usr/libexec/updater/hook");
    SandboxProcess p = a.start({"--background", "--quiet"});
    pid_t parent = p.programPid();
    RunResult r = p.wait();
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.out + r.err, "");
    // The child ran: it took the lock and logged its error.
    const std::string lock = a.sandbox.readFile(kLock);
    EXPECT_EQ(lock, pidLine(std::atoi(lock.c_str())));
    EXPECT_NE(lock, pidLine(parent));
    // The test machine has neither a Serial line nor an identifiers file.
    EXPECT_EQ(a.sandbox.readFile("/var/log/updater/lastlog"),
              "WARNING: could not open /etc/vantorix/identifiers: No such file or directory\n"
              "INFO: running init hook\nWARNING: failed starting hook, continuing anyways\n"
              "ERROR: no active repository, nothing to do\n");
}

// Ten instances at once: one works at a time; the others wait and then find
// nothing to do, or give up with the lock message when their wait is short.
TEST(Concurrency, TenInstancesAtOnceWorkOneAtATime) {
    Appliance a;
    std::vector<TestPackage> installed = {TestPackage("updater", "1.17-1")}, offered = installed;
    Lines expected = {"updater-1.17-1"};
    for (int i = 0; i < 4; ++i) {
        const std::string name = "component" + std::to_string(i);
        installed.push_back(TestPackage(name, "1.0-1"));
        offered.push_back(TestPackage(name, "2.0-1").payload(200000));
        expected.push_back(name + "-2.0-1");
    }
    std::sort(expected.begin(), expected.end());
    a.install(installed);
    a.writeHook();
    a.repo.add(offered);
    a.publish();
    a.configure();
    std::string script;  // all in one sandbox namespace, as on a device
    for (int i = 0; i < 10; ++i) {
        const std::string n = std::to_string(i);
        script += "( \"$UPDATER\" --max-wait-time -1 --no-reboot --no-md-sig-check" +
                  std::string(i % 3 == 2 ? " --lock-timeout 1" : "") + " 2>/tmp/" + n +
                  ".err; echo $? >/tmp/" + n + ".rc ) &\n";
    }
    ASSERT_TRUE(startScript(a.sandbox, script + "wait\nexit 0\n").wait().exited);
    int installs = 0, gaveUp = 0;
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("instance " + std::to_string(i));
        RunResult r;
        r.err = a.sandbox.readFile("/tmp/" + std::to_string(i) + ".err");
        const std::string rc = a.sandbox.readFile("/tmp/" + std::to_string(i) + ".rc");
        ASSERT_FALSE(rc.empty());
        installs += r.errCount("INFO: packages installed OK");
        if (std::atoi(rc.c_str()) == 1) {  // only a short wait may end without the lock
            EXPECT_EQ(i % 3, 2) << r.err;
            EXPECT_TRUE(r.errHas(kGaveUp) && !r.errHas("--- MODE")) << r.err;
            ++gaveUp;
        } else {
            EXPECT_EQ(rc, "0\n") << r.err;
            EXPECT_TRUE(r.errHas("INFO: --- EXIT OK ---")) << r.err;
        }
    }
    EXPECT_EQ(installs, 1);
    EXPECT_LE(gaveUp, 3);
    std::printf("[ MEASURED ] %d instances proceeded, %d gave up waiting\n", 10 - gaveUp, gaveUp);
    // Each package once, in its new version, in a sound database.
    EXPECT_EQ(a.installed(), expected);
    RunOptions rpm;
    rpm.program = "/usr/bin/rpm";
    EXPECT_EQ(a.sandbox.run({"--verifydb"}, rpm).exitCode, 0);
    EXPECT_EQ(a.status(), "READY\n");
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
    EXPECT_TRUE(a.update({"--check-only"}).errHas("INFO: no updates\n"));
}

}  // namespace
