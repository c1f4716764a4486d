// Ten instances of the real binary started at once on one appliance: the
// cache lock lets one work at a time; the others wait and then proceed, or
// give up with the lock message when their wait is short. The RPM database,
// the status and the update state stay consistent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "appliance.h"

namespace {

TEST(Concurrency, TenInstancesAtOnceWorkOneAtATime) {
    Appliance a;
    std::vector<TestPackage> installed = {TestPackage("updater", "1.17-1")};
    std::vector<TestPackage> offered = {TestPackage("updater", "1.17-1")};
    for (int i = 0; i < 4; ++i) {
        const std::string name = "component" + std::to_string(i);
        installed.push_back(TestPackage(name, "1.0-1"));
        offered.push_back(TestPackage(name, "2.0-1").payload(200000));
    }
    a.install(installed);
    a.writeHook();
    a.writeDeviceInstaller();
    a.repo.add(offered);
    a.publish();
    a.configure();

    // All ten in one sandbox namespace (started by one shell), as on a device.
    constexpr int kInstances = 10;
    std::string script;
    for (int i = 0; i < kInstances; ++i) {
        // Every third instance waits one second only.
        const std::string args = std::string("--max-wait-time -1 --no-reboot --no-md-sig-check") +
                                 (i % 3 == 2 ? " --lock-timeout 1" : "");
        const std::string n = std::to_string(i);
        script += "( '" + Sandbox::updaterBinary() + "' " + args + " 2>/tmp/instance" + n +
                  ".err; echo $? >/tmp/instance" + n + ".rc ) &\n";
    }
    script += "wait\n";
    RunOptions shell;
    shell.program = "/bin/sh";
    RunResult all = a.sandbox.run({"-c", script}, shell);
    ASSERT_TRUE(all.exited) << all.describe();
    std::vector<RunResult> results(kInstances);
    for (int i = 0; i < kInstances; ++i) {
        const std::string n = std::to_string(i);
        results[i].err = a.sandbox.readFile("/tmp/instance" + n + ".err");
        const std::string rc = a.sandbox.readFile("/tmp/instance" + n + ".rc");
        results[i].exited = !rc.empty();
        results[i].exitCode = rc.empty() ? -1 : std::atoi(rc.c_str());
    }
    int installedRuns = 0;
    int gaveUp = 0;
    int proceeded = 0;
    for (int i = 0; i < kInstances; ++i) {
        SCOPED_TRACE("instance " + std::to_string(i));
        const RunResult& r = results[i];
        ASSERT_TRUE(r.exited) << r.describe();
        installedRuns += r.errCount("INFO: packages installed OK");
        if (r.exitCode == 1) {
            // Only a short wait may end without the lock, and with its message.
            EXPECT_EQ(i % 3, 2) << r.describe();
            EXPECT_TRUE(r.errHas("ERROR: failed acquiring lock file '/var/lock/updater' ("))
                << r.describe();
            EXPECT_FALSE(r.errHas("--- MODE")) << r.describe();
            ++gaveUp;
        } else {
            EXPECT_EQ(r.exitCode, 0) << r.describe();
            EXPECT_TRUE(r.errHas("INFO: --- EXIT OK ---")) << r.describe();
            ++proceeded;
        }
    }
    // The update was made once; every later instance found nothing to do.
    EXPECT_EQ(installedRuns, 1);
    EXPECT_GE(proceeded, 7);
    std::printf("[ MEASURED ] %d instances proceeded, %d gave up waiting\n", proceeded, gaveUp);

    // The database holds each package once, in its new version, and is sound.
    std::vector<std::string> expected = {"updater-1.17-1"};
    for (int i = 0; i < 4; ++i) {
        expected.push_back("component" + std::to_string(i) + "-2.0-1");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(a.installed(), expected);
    RunOptions rpm;
    rpm.program = "/usr/bin/rpm";
    EXPECT_EQ(a.sandbox.run({"--verifydb"}, rpm).exitCode, 0);
    EXPECT_EQ(a.status(), "READY\n");
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
    // And one more run agrees that nothing is left.
    RunResult check = a.update({"--check-only"});
    EXPECT_TRUE(check.errHas("INFO: no updates\n")) << check.describe();
}

}  // namespace
