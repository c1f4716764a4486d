// End-to-end tests of whole update runs: the real binary in the sandbox, a
// real repository over HTTP, real rpm installing into the sandbox.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "appliance.h"
#include "harness/command.h"

namespace {

using Lines = std::vector<std::string>;

const char* kProduct =
    "  <product><name>demo-player</name><packages>\n"
    "    <release><package><name>player-release</name></package></release>\n"
    "    <addons><package><name>codec-addon</name></package></addons>\n"
    "    <repo-required><package><name>player-release</name></package></repo-required>\n"
    "  </packages></product>\n";

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Installed size in KiB, rounded up, of built package files, as the hook gets it.
long kib(long long bytes) {
    return static_cast<long>((bytes + 1023) / 1024);
}

long long installedSize(const std::string& rpmFile) {
    CommandResult r = runCommand({"rpm", "-qp", "--qf", "%{SIZE}", rpmFile});
    return std::atoll(r.output.c_str());
}

class UpdateRun : public ::testing::Test {
protected:
    void SetUp() override {
        a.install({TestPackage("updater", "1.17-1"), TestPackage("player-release", "4.0-1"),
                   TestPackage("app", "1.0-1").require("libfoo >= 1.0").payload(1000),
                   TestPackage("libfoo", "1.0-1"), TestPackage("codec-addon", "1.0-1"),
                   // Scriptlets need a shell.
                   TestPackage("base-system", "1.0-1").provide("/bin/sh")});
        a.installDevicePackages({DevicePackage("dsp-firmware", "1.0-1"),
                                 DevicePackage("player-image", "4.0-1", "flashedfw").noFile()});
        a.writeHook();
        a.writeDeviceInstaller();
    }

    // The standard repository: newer app (needing a newer libfoo and a new
    // package), a newer release, add-on and device package.
    void publishStandard(TestPackage app = TestPackage("app", "2.0-1")) {
        a.repo.add({app.require("libfoo >= 2.0").require("newdep").payload(5000),
                    TestPackage("libfoo", "2.0-1").payload(100),
                    TestPackage("newdep", "1.0-1").payload(3000),
                    TestPackage("player-release", "4.1-1"), TestPackage("codec-addon", "1.1-1"),
                    TestPackage("updater", "1.17-1")});
        a.repo.addDevicePackage(DevicePackage("dsp-firmware", "2.0-1").content("dsp blob"));
        // The image the new firmware brings: listed, never fetched or installed.
        a.repo.addDevicePackage(DevicePackage("player-image", "4.1-1", "flashedfw").noFile());
        a.publish();
        a.configure(kProduct);
    }

    std::string repoFile(const std::string& name) const {
        for (const std::string& file :
             splitLines(runShell("ls " + a.repo.dir() + "/packages").output)) {
            if (file.rfind(name + "-", 0) == 0) {
                return a.repo.dir() + "/packages/" + file;
            }
        }
        return "";
    }

    size_t packageRequests() {
        size_t n = 0;
        for (const HttpServer::Request& r : a.server->requests()) {
            n += r.target.find("/packages/") != std::string::npos ||
                         r.target.find("/vtxpkg/") != std::string::npos
                     ? 1
                     : 0;
        }
        return n;
    }

    Appliance a;
};

TEST_F(UpdateRun, CheckOnlyReportsWhatIsNeededAndDownloadsNothing) {
    publishStandard();
    RunResult r = a.update({"--check-only"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- 6 UPDATE(S) ---\nINFO: --- FIRMWARE 4.1-1 ---\n"))
        << r.describe();
    EXPECT_TRUE(
        r.errHas("INFO: need to update (6 packages):\n"
                 "INFO: \tapp-2.0-1.noarch.rpm\n"
                 "INFO: \tcodec-addon-1.1-1.noarch.rpm\n"
                 "INFO: \tdsp-firmware-2.0-1.noarch.vtx\n"
                 "INFO: \tlibfoo-2.0-1.noarch.rpm\n"
                 "INFO: \tnewdep-1.0-1.noarch.rpm\n"
                 "INFO: \tplayer-release-4.1-1.noarch.rpm\n"))
        << r.describe();
    EXPECT_FALSE(r.errHas("pass 1"));
    EXPECT_EQ(packageRequests(), 0u);
    EXPECT_EQ(a.updateState(), "AVAILABLE\n");
    EXPECT_EQ(a.status(), "READY\n");
    EXPECT_EQ(a.hookCalls(), (Lines{"init 1.17"}));

    RunResult quiet = a.update({"--check-only", "--quiet"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.describe();
    EXPECT_FALSE(quiet.errHas("UPDATE(S)"));
    EXPECT_FALSE(quiet.errHas("--- MODE"));
    EXPECT_FALSE(quiet.errHas("updating packages from repository"));
    EXPECT_TRUE(quiet.errHas("INFO: need to update (6 packages):\nINFO: \tapp-2.0-1.noarch.rpm\n"));
}

TEST_F(UpdateRun, FullUpdateRunsEveryPassInstallsAndReboots) {
    publishStandard();
    RunResult r = a.update();
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    Lines passes = linesStartingWith(r, "INFO: pass ");
    EXPECT_EQ(passes, (Lines{"INFO: pass 1: skipping since no preliminary packages",
                             "INFO: pass 2: skipping since no preliminary packages",
                             "INFO: pass 3: all but add-ons", "INFO: pass 4: add-ons"}))
        << r.describe();
    EXPECT_TRUE(
        r.errHas("INFO: starting update (3 packages):\n"
                 "INFO: \tapp-2.0-1.noarch.rpm\n"
                 "INFO: \tlibfoo-2.0-1.noarch.rpm\n"
                 "INFO: \tnewdep-1.0-1.noarch.rpm\n"))
        << r.describe();
    EXPECT_TRUE(
        r.errHas("INFO: starting update (3 packages):\n"
                 "INFO: \tcodec-addon-1.1-1.noarch.rpm\n"
                 "INFO: \tdsp-firmware-2.0-1.noarch.vtx\n"
                 "INFO: \tplayer-release-4.1-1.noarch.rpm\n"));
    EXPECT_EQ(r.errCount("INFO: packages installed OK"), 2);
    EXPECT_TRUE(r.errHas("INFO: install of pkg file for dsp-firmware-2.0-1 succeeded\n"));
    EXPECT_TRUE(r.errHas("INFO: rebooting for upgrades to take full effect\n"));
    EXPECT_TRUE(r.errHas("INFO: --- EXIT OK ---\n"));

    EXPECT_EQ(a.installed(),
              (Lines{"app-2.0-1", "base-system-1.0-1", "codec-addon-1.1-1", "libfoo-2.0-1",
                     "newdep-1.0-1", "player-release-4.1-1", "updater-1.17-1"}));
    EXPECT_TRUE(a.sandbox.exists("/opt/newdep/payload"));
    EXPECT_EQ(a.installerCalls().size(), 1u);
    EXPECT_NE(a.installerCalls()[0].find("/var/cache/updater/base/packages/dsp-firmware-2.0-1"),
              std::string::npos);

    // Hooks with the phases and the sizes of the RPM packages in KiB.
    long long appSize = installedSize(repoFile("app"));
    long long libSize = installedSize(repoFile("libfoo"));
    long long depSize = installedSize(repoFile("newdep"));
    long long addonSize = installedSize(repoFile("codec-addon"));
    long long releaseSize = installedSize(repoFile("player-release"));
    std::string pass3 = "3 " + std::to_string(kib(appSize + libSize + depSize)) + " " +
                        std::to_string(kib(std::max({appSize, libSize, depSize})));
    std::string pass4 = "2 " + std::to_string(kib(addonSize + releaseSize)) + " " +
                        std::to_string(kib(std::max(addonSize, releaseSize)));
    EXPECT_EQ(a.hookCalls(), (Lines{"init 1.17", "download 1.17", "update 1.17 " + pass3,
                                    "postupdate 1.17 " + pass3, "download 1.17",
                                    "update 1.17 " + pass4, "postupdate 1.17 " + pass4}));

    EXPECT_EQ(a.sandbox.stubCalls(),
              (Lines{"telinit u", "shutdown -r +1 rebooting after upgrade"}));
    EXPECT_EQ(a.status(), "REBOOTING\n");
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
    EXPECT_TRUE(a.cacheFiles().size() >= 3);  // index and lists stay, packages go
    for (const std::string& file : a.cacheFiles()) {
        EXPECT_EQ(file.find("packages/"), std::string::npos) << file;
    }

    // The next start is refused until the machine has rebooted.
    RunResult again = a.update({"--check-only"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.errHas("INFO: machine is rebooting after update, cannot start\n"));
}

TEST_F(UpdateRun, PreliminaryPackagesGetAPassOfTheirOwnAfterAllFilesAreFetched) {
    publishStandard();
    a.configure(std::string(kProduct).insert(
        std::string(kProduct).find("  </packages>"),
        "    <preliminary><package><name>libfoo</name></package></preliminary>\n"));
    RunResult r = a.update({"--no-reboot"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(linesStartingWith(r, "INFO: pass "),
              (Lines{"INFO: pass 1: getting all but add-ons", "INFO: pass 2: preliminary packages",
                     "INFO: pass 3: all but add-ons", "INFO: pass 4: add-ons"}))
        << r.describe();
    // Pass 1 fetches the files of pass 3 and installs nothing; pass 2 installs
    // libfoo alone from the cache; pass 3 the rest without fetching again.
    EXPECT_TRUE(r.errHas("INFO: getting package files (3 packages):\n")) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: starting update (1 packages):\nINFO: \tlibfoo-2.0-1.noarch.rpm\n"));
    EXPECT_TRUE(
        r.errHas("INFO: starting update (2 packages):\n"
                 "INFO: \tapp-2.0-1.noarch.rpm\n"
                 "INFO: \tnewdep-1.0-1.noarch.rpm\n"))
        << r.describe();
    // Passes 2 and 3 find their files in the cache and say so only at debug level.
    EXPECT_EQ(r.errCount("INFO: downloading 3 packages"), 2) << r.describe();
    EXPECT_EQ(r.errCount("INFO: downloading 1 packages"), 0);
    EXPECT_EQ(r.errCount("INFO: downloading 2 packages"), 0);
    EXPECT_EQ(a.server->requestsFor("/packages/" + TestPackage("app", "2.0-1").fileName()).size(),
              1u);
    EXPECT_EQ(r.errCount("INFO: packages installed OK"), 3);
    EXPECT_TRUE(contains(a.installed(), "app-2.0-1"));
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
}

TEST_F(UpdateRun, FirmwareUpgradePackageRestartsTheRunForItAlone) {
    publishStandard();
    a.repo.addDevicePackage(DevicePackage("fw-upgrade", "9.0-1").content("upgrade image"));
    a.installDevicePackages(
        {DevicePackage("dsp-firmware", "1.0-1"), DevicePackage("fw-upgrade", "1.0-1")});
    a.server.reset();
    a.publish();
    a.configure(std::string(kProduct).insert(
        std::string(kProduct).find("  </packages>"),
        "    <fw-upgrade-pkg><package><name>fw-upgrade</name></package></fw-upgrade-pkg>\n"));
    RunResult r = a.update({"--no-reboot"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: firmware upgrade pkg available, restarting process for it\n"))
        << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- 1 UPDATE(S) ---\nINFO: --- FIRMWARE 9.0-r1 ---\n"));
    EXPECT_TRUE(
        r.errHas("INFO: starting update (1 packages):\n"
                 "INFO: \tfw-upgrade-9.0-1.noarch.vtx\n"));
    EXPECT_FALSE(r.errHas("pass 1"));
    ASSERT_EQ(a.installerCalls().size(), 1u);
    EXPECT_NE(a.installerCalls()[0].find("fw-upgrade-9.0-1"), std::string::npos);
    // Only the upgrade package was installed; the rest waits for the new firmware.
    EXPECT_TRUE(contains(a.installed(), "app-1.0-1"));
}

TEST_F(UpdateRun, NoRebootEndsReadyAndASecondRunFindsNothing) {
    publishStandard();
    RunResult r = a.update({"--no-reboot"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(a.sandbox.stubCalls().empty());
    EXPECT_EQ(a.status(), "READY\n");
    EXPECT_EQ(a.updateState(), "COMPLETE\n");

    // The device package is still listed at its old version as installed, so
    // it is offered again; the RPM packages are not.
    RunResult check = a.update({"--check-only"});
    ASSERT_EQ(check.exitCode, 0) << check.describe();
    EXPECT_TRUE(
        check.errHas("INFO: need to update (1 packages):\n"
                     "INFO: \tdsp-firmware-2.0-1.noarch.vtx\n"))
        << check.describe();
}

TEST_F(UpdateRun, TestModeInstallsNothing) {
    publishStandard();
    RunResult r = a.update({"--test"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- MODE test ---"));
    EXPECT_EQ(r.errCount("INFO: packages tested OK"), 2) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: test of pkg file for dsp-firmware-2.0-1 succeeded\n"));
    EXPECT_EQ(a.installed(), (Lines{"app-1.0-1", "base-system-1.0-1", "codec-addon-1.0-1",
                                    "libfoo-1.0-1", "player-release-4.0-1", "updater-1.17-1"}));
    ASSERT_EQ(a.installerCalls().size(), 1u);
    EXPECT_EQ(a.installerCalls()[0].rfind("--test -- /var/cache/updater/base/packages/", 0), 0u);
    // Nothing stays installed, so the last pass tests everything again.
    EXPECT_EQ(a.hookCalls().back().rfind("posttest 1.17 5 ", 0), 0u) << a.hookCalls().back();
    EXPECT_TRUE(a.sandbox.stubCalls().empty());
    EXPECT_EQ(a.status(), "READY\n");
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
}

TEST_F(UpdateRun, NamedPackagesRestrictOrInstall) {
    publishStandard();
    a.repo.add(TestPackage("extra-tool", "1.0-1"));
    a.server.reset();
    a.publish();
    a.configure(kProduct);
    a.sandbox.writeFile("/var/lib/updater/update-state", "PENDING\n");

    RunResult r = a.update({"--no-reboot", "libfoo"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_FALSE(r.errHas("pass "));
    EXPECT_TRUE(r.errHas("INFO: starting update (1 packages):\nINFO: \tlibfoo-2.0-1.noarch.rpm\n"))
        << r.describe();
    EXPECT_TRUE(contains(a.installed(), "libfoo-2.0-1"));
    EXPECT_TRUE(contains(a.installed(), "app-1.0-1"));

    // Not installed: only with --install.
    r = a.update({"--no-reboot", "extra-tool"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: no updates\n")) << r.describe();
    r = a.update({"--no-reboot", "--install", "extra-tool"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(contains(a.installed(), "extra-tool-1.0-1"));

    r = a.update({"--install", "no-such-package"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(
        r.errHas("ERROR: respository does not have all packages requested to install, "
                 "'no-such-package' is missing\n"));
    EXPECT_EQ(a.updateState(), "PENDING\n");
}

TEST_F(UpdateRun, ChecksumFailingTwiceRetriesTheUpdaterAlone) {
    publishStandard();
    a.repo.add(TestPackage("updater", "1.18-1"));
    a.server.reset();
    a.publish();
    a.configure(kProduct);
    a.server->script("/packages/" + TestPackage("newdep", "1.0-1").fileName(),
                     HttpServer::Response::ok("not the package"));
    RunResult r = a.update({"--no-reboot"});
    EXPECT_TRUE(
        r.errHas("ERROR: invalid checksum on '/var/cache/updater/base/packages/"
                 "newdep-1.0-1.noarch.rpm'\n"))
        << r.describe();
    EXPECT_TRUE(r.errHas("ERROR: failed downloading packages\n"));
    EXPECT_TRUE(
        r.errHas("ERROR: failed updating, will try updating updater only\n"
                 "INFO: --- RETRY UPDATER ONLY ---\n"));
    EXPECT_EQ(a.server->requestsFor("/packages/newdep-1.0-1.noarch.rpm").size(), 2u);
    EXPECT_EQ(a.server->requestsFor("/packages/newdep-1.0-1.noarch.rpm")[1].header("Cache-Control"),
              "no-cache");
    long long updaterSize = installedSize(repoFile("updater-1.18"));
    EXPECT_TRUE(contains(a.hookCalls(), "update 1.17 1 " + std::to_string(kib(updaterSize)) + " " +
                                            std::to_string(kib(updaterSize)) + " no-stop"))
        << r.describe();
    EXPECT_TRUE(contains(a.installed(), "updater-1.18-1"));
    EXPECT_TRUE(contains(a.installed(), "app-1.0-1"));
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(a.updateState(), "PENDING\n");
}

TEST_F(UpdateRun, FailingScriptletFailsTheInstallation) {
    publishStandard(TestPackage("app", "2.0-1").pre("echo refusing; exit 1"));
    RunResult r = a.update({"--no-reboot"});
    EXPECT_TRUE(r.errHas("ERROR: package installation FAILED (exit code ")) << r.describe();
    EXPECT_TRUE(
        r.errHas("INFO:   error: %prein(app-2.0-1.noarch) scriptlet failed, exit status 1\n"));
    EXPECT_TRUE(r.errHas("INFO: --- RETRY UPDATER ONLY ---\n"));
    EXPECT_TRUE(contains(a.installed(), "app-1.0-1"));
    // The updater-only pass finds nothing to do, so the run fails.
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(a.status(), "READY\n");
}

TEST_F(UpdateRun, RpmKilledDuringTheInstallationMarksTheSystemCorrupted) {
    publishStandard(TestPackage("app", "2.0-1").pre("kill -9 $PPID"));
    RunResult r = a.update({"--no-reboot"});
    EXPECT_EQ(r.exitCode, 2) << r.describe();
    EXPECT_TRUE(
        r.errHas("FATAL: rpm was interrupted, installation may be incomplete; SYSTEM MAY "
                 "BE CORRUPTED\n"));
    EXPECT_TRUE(r.errHas("INFO: --- EXIT FATAL ---\n"));
    ASSERT_FALSE(a.hookCalls().empty());
    EXPECT_EQ(a.hookCalls().back().rfind("failupdate 1.17 3 ", 0), 0u) << a.hookCalls().back();
    EXPECT_EQ(a.status(), "CORRUPTED\n");
    EXPECT_EQ(a.updateState(), "CORRUPTED\n");
    RunResult next = a.update({"--check-only"});
    EXPECT_EQ(next.exitCode, 2);
    EXPECT_TRUE(next.errHas("FATAL: system is corrupted cannot update\n"));
}

TEST_F(UpdateRun, FailingUpdateHookInstallsNothingAndMissingHookIsHarmless) {
    publishStandard();
    a.writeHook({{"update", 3}});
    RunResult r = a.update({"--no-reboot"});
    EXPECT_TRUE(r.errHas("ERROR: hook failed (exit code 3)\n")) << r.describe();
    EXPECT_EQ(a.installed(), (Lines{"app-1.0-1", "base-system-1.0-1", "codec-addon-1.0-1",
                                    "libfoo-1.0-1", "player-release-4.0-1", "updater-1.17-1"}));
    EXPECT_FALSE(r.errHas("updating package(s)"));

    a.sandbox.remove("/usr/libexec/updater/hook");
    r = a.update({"--no-reboot"});
    EXPECT_EQ(r.errCount("WARNING: failed starting hook, continuing anyways"), 7) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(contains(a.installed(), "app-2.0-1"));
}

TEST_F(UpdateRun, DevicePackagesOnlyWithOneFailingInstaller) {
    a.repo.add(TestPackage("player-release", "4.0-1"));
    a.repo.addDevicePackage(DevicePackage("dsp-firmware", "2.0-1").content("dsp"));
    a.repo.addDevicePackage(DevicePackage("gpu-firmware", "3.0-1").content("gpu"));
    a.installDevicePackages(
        {DevicePackage("dsp-firmware", "1.0-1"), DevicePackage("gpu-firmware", "1.0-1")});
    a.writeDeviceInstaller({{"gpu-firmware", 7}});
    a.publish();
    a.configure(kProduct);
    RunResult r = a.update({"--no-reboot", "dsp-firmware", "gpu-firmware"});
    EXPECT_TRUE(
        r.errHas("ERROR: install of pkg file for gpu-firmware-3.0-1 FAILED (exit code 7)\n"))
        << r.describe();
    EXPECT_TRUE(r.errHas("INFO: install of pkg file for dsp-firmware-2.0-1 succeeded\n"));
    EXPECT_FALSE(r.errHas("updating package(s)"));
    EXPECT_EQ(a.installerCalls().size(), 2u);
    // postupdate comes before the installers; the failure retries the updater alone.
    Lines hooks = a.hookCalls();
    ASSERT_GE(hooks.size(), 4u);
    EXPECT_EQ(hooks[2], "update 1.17 0 0 0");
    EXPECT_EQ(hooks[3], "postupdate 1.17 0 0 0");
    EXPECT_TRUE(r.errHas("INFO: --- RETRY UPDATER ONLY ---\n"));
}

TEST_F(UpdateRun, LowerFirmwareReleaseInstallsNothing) {
    a.repo.add({TestPackage("player-release", "3.9-1"), TestPackage("app", "2.0-1")});
    a.publish();
    a.configure(kProduct);
    RunResult r = a.update({"--no-reboot"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(
        r.errHas("WARNING: available packages are from a lower firmware release, ignoring\n"));
    EXPECT_TRUE(r.errHas("INFO: no updates\n"));
    EXPECT_TRUE(contains(a.installed(), "app-1.0-1"));
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
}

TEST_F(UpdateRun, SignalsDuringTheInstallation) {
    publishStandard();
    // SIGHUP is ignored once the first download started.
    a.sandbox.writeFile("/usr/libexec/updater/hook",
                        "#!/bin/sh\necho \"$*\" >> /var/log/hook.calls\n"
                        "[ \"$1\" = update ] && kill -HUP $PPID\nexit 0\n",
                        0755);
    RunResult r = a.update({"--no-reboot"});
    ASSERT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(contains(a.installed(), "app-2.0-1"));

    // Two termination signals while a hook runs: the first is re-raised at the end.
    Appliance b;
    b.repo.add(TestPackage("app", "2.0-1"));
    b.install({TestPackage("app", "1.0-1")});
    b.sandbox.writeFile("/usr/libexec/updater/hook",
                        "#!/bin/sh\n[ \"$1\" = update ] && kill -TERM $PPID && kill -INT $PPID\n"
                        "exit 0\n",
                        0755);
    b.publish();
    b.configure();
    r = b.update({"--no-reboot"});
    EXPECT_TRUE(r.signaled) << r.describe();
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_TRUE(r.errHas("ERROR: terminated by signal #15: Terminated\n")) << r.describe();
    EXPECT_TRUE(contains(b.installed(), "app-1.0-1"));

    // A signal recorded after the last installation is not re-raised on success.
    Appliance c;
    c.repo.add(TestPackage("app", "2.0-1"));
    c.install({TestPackage("app", "1.0-1")});
    c.sandbox.writeFile("/usr/libexec/updater/hook",
                        "#!/bin/sh\n[ \"$1\" = postupdate ] && kill -TERM $PPID\nexit 0\n", 0755);
    c.publish();
    c.configure();
    r = c.update({"--no-reboot", "app"});
    ASSERT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(contains(c.installed(), "app-2.0-1"));
}

}  // namespace
