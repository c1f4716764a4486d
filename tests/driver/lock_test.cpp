// The cache lock with the real binary and a real second process holding it:
// waiting, giving up, stale files, unusable directories, signals during the
// wait, --background, and ten instances started at once.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "appliance.h"

namespace {

const char* const kLock = "/var/lock/updater";
const std::string kGaveUp = "ERROR: failed acquiring lock file '/var/lock/updater' (";
const std::string kLastLog = "/var/log/updater/lastlog";
const std::string kHeld = "INFO: cache lock held by another instance, will timeout in ";

int scriptPid(const Appliance& a) {
    return std::atoi(a.sandbox.readFile("/tmp/updater.pid").c_str());
}

// The lock file holds the process id of the updater the script started.
void pidInLock(Appliance& a, const RunResult&) {
    EXPECT_EQ(a.sandbox.readFile(kLock), pidLine(scriptPid(a)));
}

std::vector<Scenario> rows() {
    Scenario negative = bare("NegativeTimeoutMakesOneAttempt");
    for (const char* timeout : {"-1", "-100"}) {
        negative.run({"--lock-timeout", timeout, "--log-level", "trace"}, 1)
            .script(holdLock(120))
            .logs({kGaveUp}, {"cache lock held", "--- MODE"})
            .logs({"TRACE: cache lock attempt 1 failed"}, {"attempt 2 failed"});
    }
    Scenario stale = bare("StaleOrGarbageLockFileNeverBlocks");
    // No file yet: created with 0666 less the umask.
    stale.run({"--lock-timeout", "5"}, 1).script(":\n").check([](Appliance& a, const RunResult& r) {
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
            .script(":\n")
            .logs({"INFO: --- MODE update ---\n"}, {"cache lock held"})
            .check(pidInLock);
    }
    // A holder killed with the lock held: the lock is gone, the file remains.
    stale.run({"--lock-timeout", "5"}, 1)
        .put(kLock, pidLine(12345))
        .script(holdLock(120, true) + "kill -9 $!; wait $!\n")
        .lacks({"cache lock held", "other instance terminated"})
        .check(pidInLock);
    // A termination signal while waiting ends the run at once, with the signal.
    Scenario signals = bare("TerminationSignalEndsTheWaitSilently");
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        const std::string n = std::to_string(signal);
        signals.run({"--lock-timeout", "100"})
            .killedBy(signal)
            .script(holdLock(120) + whenLogged("will timeout in 100 secs", "kill -" + n + " $$"))
            .logs({"INFO: --- EXIT ERROR ---\nERROR: terminated by signal #" + n + ": " +
                   strsignal(signal) + "\n"},
                  {"failed acquiring", "--- MODE"});
    }
    RunOptions readOnly, small;
    readOnly.tmpfs = {"/var/lock=64k"};
    small.tmpfs = {"/var/lock=8k"};
    const std::string hookOnly = "#!/bin/sh\necho \"$*\" >> /var/log/hook.calls\n";
    // Ten instances in one namespace, as on a device; every third waits only a second.
    std::string ten;
    for (int i = 0; i < 10; ++i) {
        const std::string n = std::to_string(i);
        ten += "( \"$UPDATER\" --max-wait-time -1 --no-reboot --no-md-sig-check" +
               std::string(i % 3 == 2 ? " --lock-timeout 1" : "") + " 2>/tmp/" + n +
               ".err; echo $? >/tmp/" + n + ".rc ) &\n";
    }
    return {
        // Attempts 1 and 11 of a 12 second timeout announce 12 and 2 seconds; 13 is the last.
        bare("TimeoutCountsDownEveryTenAttempts")
            .run({"--lock-timeout", "12", "--log-level", "trace"}, 1)
            .script(holdLock(120))
            .lines("INFO: cache lock held", {kHeld + "12 secs", kHeld + "2 secs"})
            .logs({kGaveUp + "Resource temporarily unavailable)\nINFO: --- EXIT ERROR ---\n",
                   "TRACE: cache lock attempt 13 failed"},
                  {"--- MODE", "attempt 14"})
            .absent({kLastLog})
            .file(kLock, ""),
        negative,
        stale,
        signals,
        // A run that hangs is ended, with every process it started, when the
        // runner's time is up, and reported as such.
        bare("HungRunEndsAtTheRunnersTimeout")
            .run({"--lock-timeout", "100"})
            .options([] {
                RunOptions shortly;
                shortly.timeoutSeconds = 3;
                return shortly;
            }())
            .script(holdLock(120, true))
            .timesOut()
            .logs({kHeld + "100 secs"}, {"--- MODE"}),
        // The waiting instance leaves the holder's per-run log alone.
        bare("SecondInstanceWaitsAndProceedsWhenTheFirstEnds")
            .run({"--lock-timeout", "30"}, 1)  // nothing to update from
            .put(kLastLog, "INFO: the previous run\n")
            .script(holdLock(2) + whenLogged("will timeout in", "cp " + kLastLog + " /tmp/during"))
            .logs({kHeld + "30 secs\nINFO: other instance terminated, got cache lock\nINFO: "
                           "updater version 1.17, product \nINFO: --- MODE update ---\n"},
                  {"failed acquiring"})
            .count(kHeld + "30 secs", 1)
            .file("/tmp/during", "INFO: the previous run\n")
            .check(pidInLock)
            .fileHas(kLastLog, {"INFO: --- MODE update ---\n"}, {"the previous run", "cache lock"}),
        // Programs the updater runs (the shutdown lives on for a minute) do
        // not keep the lock, and get SIGPIPE at its default action.
        bare("ChildProgramsGetNeitherTheLockNorAnIgnoredSigpipe")
            .run({}, 1)
            .put("/usr/libexec/updater/hook",
                 hookOnly + "for f in /proc/$$/fd/*; do [ \"$(readlink $f)\" = " + kLock +
                     " ] && exit 1; done\necho checked > /tmp/fds\n")
            .file("/tmp/fds", "checked\n")
            .run({}, 1)
            .put("/usr/libexec/updater/hook",
                 "#!/bin/sh\nkill -PIPE $PPID; kill -PIPE $$\nexit 0\n")
            .logs({"ERROR: child '/usr/libexec/updater/hook' terminated by signal 13\nERROR: hook "
                   "was interrupted\nINFO: --- EXIT ERROR ---\n"},
                  {"terminated by signal #"}),
        bare("UnusableLockDirectoryFailsCleanly")
            .run({}, 1)
            .options(readOnly)
            .script("mount -o remount,ro /var/lock\n")
            .logs({"ERROR: failed creating lock file '/var/lock/updater' (Read-only file system).\n"
                   "INFO: --- EXIT ERROR ---\n"},
                  {"--- MODE"})
            .absent({kLastLog})
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
        bare("FullLockDirectoryStillGivesTheLock")
            .run({}, 1)
            .options(small)
            .script("dd if=/dev/zero of=/var/lock/filler bs=1k 2>/dev/null\n\"$UPDATER\" \"$@\"; "
                    "code=$?\n"
                    "stat -c %s /var/lock/updater > /tmp/lock-size\nexit $code\n")
            .logs({"WARNING: failed writing PID to lock file '/var/lock/updater'.\n",
                   "INFO: --- MODE update ---\n"})
            .file("/tmp/lock-size", "0\n")
            .fileHas(kLastLog, {"--- MODE update ---"}, {}),
        // Another process holds the lock for a moment: the child still waits
        // for it when the parent has ended.
        bare("BackgroundChildCarriesOnWithTheLockAfterTheParentEnded")
            .with([](Scenario& s) {
                s.config =
                    "<updater><log level=\"info\"><logger type=\"stderr\"/><logger "
                    "type=\"syslog\"><facility>daemon</facility></logger></log></updater>\n";
            })
            .run({"--background", "--lock-timeout", "30", "--log-to", "/tmp/run.log"})
            .script(holdLock(2, true))
            // The parent's standard error shows only the parent.
            .logs({"INFO: --- MODE update ---\nINFO: updater switched to background\n"
                   "INFO: --- BACKGROUND PID "},
                  {"cache lock", "no active repository"})
            // The child writes the per-run log.
            .fileHas(kLastLog,
                     {"INFO: --- MODE update ---\n", "ERROR: no active repository, nothing to do\n",
                      "INFO: --- EXIT ERROR ---\n"},
                     {"BACKGROUND"})
            .check([](Appliance& a, const RunResult& r) {
                const int parent = scriptPid(a);
                const size_t at = r.err.find("INFO: --- BACKGROUND PID ");
                ASSERT_NE(at, std::string::npos);
                const int child = std::atoi(r.err.c_str() + at + 25);
                EXPECT_NE(child, parent);
                EXPECT_TRUE(
                    r.errHas("PID " + std::to_string(child) + " ---\nINFO: --- EXIT OK ---\n"))
                    << r.describe();
                EXPECT_EQ(a.sandbox.readFile(kLock), pidLine(child));
                // The --log-to file: the parent's lines up to the fork report, then the child's.
                const std::string runLog = a.sandbox.readFile("/tmp/run.log");
                const size_t fork = runLog.find("INFO: --- BACKGROUND PID"),
                             got = runLog.find("INFO: other instance terminated, got cache lock\n");
                EXPECT_TRUE(fork < got && got < runLog.find("INFO: --- EXIT ERROR ---\n") &&
                            runLog.find("--- EXIT OK ---") == std::string::npos)
                    << runLog;
                // Syslog: the parent had ended before the child got the lock.
                auto find = [&](int pid, const std::string& text) {
                    return std::find_if(r.syslog.begin(), r.syslog.end(),
                                        [&](const SyslogRecord& rec) {
                                            return rec.pid == pid && rec.text == text;
                                        }) -
                           r.syslog.begin();
                };
                const auto parentExit = find(parent, "--- EXIT OK ---"),
                           childLock = find(child, "other instance terminated, got cache lock"),
                           childExit = find(child, "--- EXIT ERROR ---");
                EXPECT_TRUE(parentExit < childLock && childLock < childExit &&
                            childExit < static_cast<long>(r.syslog.size()))
                    << parentExit << " " << childLock << " " << childExit;
            }),
        // The test machine has neither a Serial line nor an identifiers file.
        bare("QuietBackgroundParentPrintsNothing")
            .run({"--background", "--quiet"})
            .script(":\n")
            .before([](Appliance& a) { a.sandbox.remove("/usr/libexec/updater/hook"); })
            .file(kLastLog,
                  "WARNING: could not open /etc/vantorix/identifiers: No such file or directory\n"
                  "INFO: running init hook\nWARNING: failed starting hook, continuing anyways\n"
                  "ERROR: no active repository, nothing to do\n")
            .check([](Appliance& a, const RunResult& r) {
                EXPECT_EQ(r.out + r.err, "");
                const std::string lock = a.sandbox.readFile(kLock);
                EXPECT_EQ(lock, pidLine(std::atoi(lock.c_str())));
                EXPECT_NE(lock, pidLine(scriptPid(a)));
            }),
        // One works at a time; the others wait and then find nothing to do,
        // or give up with the lock message when their wait is short.
        Scenario("TenInstancesAtOnceWorkOneAtATime")
            .with([](Scenario& s) {
                s.installed = {TestPackage("updater", "1.17-1")};
                s.offered = s.installed;
                for (int i = 0; i < 4; ++i) {
                    const std::string name = "component" + std::to_string(i);
                    s.installed.push_back(TestPackage(name, "1.0-1"));
                    s.offered.push_back(TestPackage(name, "2.0-1").payload(200000));
                }
                s.installedDevice = s.offeredDevice = {};
                s.product.clear();
            })
            .run()
            .script(ten + "wait\nexit 0\n")
            .rpms({"component0-2.0-1", "component1-2.0-1", "component2-2.0-1", "component3-2.0-1",
                   "updater-1.17-1"})
            .ends("READY\n", "COMPLETE\n")
            .check([](Appliance& a, const RunResult&) {
                int installs = 0, gaveUp = 0;
                for (int i = 0; i < 10; ++i) {
                    SCOPED_TRACE("instance " + std::to_string(i));
                    RunResult r;
                    r.err = a.sandbox.readFile("/tmp/" + std::to_string(i) + ".err");
                    const std::string rc = a.sandbox.readFile("/tmp/" + std::to_string(i) + ".rc");
                    installs += r.errCount("INFO: packages installed OK");
                    if (rc == "1\n") {  // only a short wait may end without the lock
                        EXPECT_EQ(i % 3, 2) << r.err;
                        EXPECT_TRUE(r.errHas(kGaveUp) && !r.errHas("--- MODE")) << r.err;
                        ++gaveUp;
                    } else {
                        EXPECT_EQ(rc, "0\n") << r.err;
                        EXPECT_TRUE(r.errHas("INFO: --- EXIT OK ---")) << r.err;
                    }
                }
                EXPECT_EQ(installs, 1);
                std::printf("[ MEASURED ] %d instances proceeded, %d gave up waiting\n",
                            10 - gaveUp, gaveUp);
                // A sound database.
                RunOptions rpm;
                rpm.program = "/usr/bin/rpm";
                EXPECT_EQ(a.sandbox.run({"--verifydb"}, rpm).exitCode, 0);
            })
            .run({"--check-only"})
            .logs({"INFO: no updates\n"}),
    };
}

}  // namespace

SCENARIOS(CacheLock, rows());
