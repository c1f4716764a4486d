// End-to-end runs of the real binary through the less common ways an update
// run takes: update requirements of the repository against the running
// firmware, the restart for the firmware upgrade package, programs that
// cannot be started or are interrupted, a repository of another product, the
// external package list and the interrupted start delay.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "appliance.h"

namespace {

using Lines = std::vector<std::string>;

const Lines kInstalledBefore = {"app-1.0-1",    "base-system-1.0-1",    "codec-addon-1.0-1",
                                "libfoo-1.0-1", "player-release-4.0-1", "updater-1.17-1"};
const char* kExternal = "/var/run/updater/external.xml";

std::string product(const std::string& extra = "", const std::string& required = "player-release") {
    return "  <product><name>demo-player</name><packages>\n"
           "    <release><package><name>player-release</name></package></release>\n"
           "    <addons><package><name>codec-addon</name></package></addons>\n"
           "    <repo-required><package><name>" +
           required + "</name></package></repo-required>\n" + extra + "  </packages></product>\n";
}

const std::string kFwUpgrade =
    "    <fw-upgrade-pkg><package><name>fw-upgrade</name></package></fw-upgrade-pkg>\n";

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

struct RunCase {
    const char* name;
    // Before the repository is published: firmware, packages, programs.
    std::function<void(Appliance&)> prepare;
    Lines args;
    int exitCode;
    Lines expected;  // texts the log must hold
    Lines absent;    // texts it must not hold
    std::string status;
    std::string updateState;  // empty: the file was not written
    // Further checks of what the run left.
    std::function<void(const Appliance&, const RunResult&)> check;
    std::string productXml = product();
    TestPackage app = TestPackage("app", "2.0-1");
};

// gtest names a failing case by its name rather than by its bytes.
void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class ApplianceRun : public ::testing::Test {
protected:
    void SetUp() override {
        a.install({TestPackage("updater", "1.17-1"), TestPackage("player-release", "4.0-1"),
                   TestPackage("app", "1.0-1").require("libfoo >= 1.0"),
                   TestPackage("libfoo", "1.0-1"), TestPackage("codec-addon", "1.0-1"),
                   TestPackage("base-system", "1.0-1").provide("/bin/sh")});
        a.installDevicePackages({DevicePackage("dsp-firmware", "1.0-1")});
        a.writeHook();
        a.writeDeviceInstaller();
    }

    // A newer app (needing a newer libfoo), release, add-on and device package.
    void publish(const RunCase& c) {
        TestPackage app = c.app;
        a.repo.add({app.require("libfoo >= 2.0"), TestPackage("libfoo", "2.0-1"),
                    TestPackage("player-release", "4.1-1"), TestPackage("codec-addon", "1.1-1"),
                    TestPackage("updater", "1.17-1")});
        a.repo.addDevicePackage(DevicePackage("dsp-firmware", "2.0-1").content("dsp blob"));
        if (c.prepare) {
            c.prepare(a);
        }
        a.publish();
        a.configure(c.productXml);
    }

    Appliance a;
};

class RunPaths : public ApplianceRun, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RunPaths, ExitCodeLogStatusAndUpdateState) {
    const RunCase& c = GetParam();
    publish(c);
    RunResult r = a.update(c.args);
    EXPECT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, c.exitCode) << r.describe();
    for (const std::string& text : c.expected) {
        EXPECT_TRUE(r.errHas(text)) << "missing: " << text << "\n" << r.describe();
    }
    for (const std::string& text : c.absent) {
        EXPECT_FALSE(r.errHas(text)) << "unexpected: " << text << "\n" << r.describe();
    }
    EXPECT_EQ(a.status(), c.status);
    EXPECT_EQ(a.updateState(), c.updateState);
    if (c.check) {
        c.check(a, r);
    }
}

void nothingInstalled(const Appliance& a, const RunResult&) {
    EXPECT_EQ(a.installed(), kInstalledBefore);
    EXPECT_TRUE(a.installerCalls().empty());
    EXPECT_TRUE(a.sandbox.stubCalls().empty());
}

void onlyInitHook(const Appliance& a, const RunResult& r) {
    nothingInstalled(a, r);
    EXPECT_EQ(a.hookCalls(), Lines{"init 1.17"});
}

void appUpdated(const Appliance& a, const RunResult&) {
    EXPECT_TRUE(contains(a.installed(), "app-2.0-1"));
    EXPECT_TRUE(contains(a.installed(), "player-release-4.1-1"));
}

void firmware(Appliance& a, const std::string& version, const Lines& needs) {
    a.setFirmwareVersion(version);
    a.repo.add(requirementsPackage("1.0-1", needs));
}

void replaceRpm(Appliance& a, const std::string& script, mode_t mode) {
    // Only inside this sandbox: /usr is an overlay there.
    a.sandbox.writeFile("/usr/bin/rpm", script, mode);
}

const std::string kUnmet = "ERROR: requirement not met: firmware >= 9.0 is required to update\n";

const RunCase kCases[] = {
    {"UnmetFirmwareRequirementRefusesTheCheck",
     [](Appliance& a) { firmware(a, "5.0", {"os-update-requirement/firmware >= 9.0"}); },
     {"--check-only"},
     1,
     {kUnmet, "INFO: --- EXIT ERROR ---\n"},
     {"need to update", "UPDATE(S)"},
     "READY\n",
     "",
     onlyInitHook},
    {"UnmetFirmwareRequirementRefusesTheUpdate",
     [](Appliance& a) { firmware(a, "5.0", {"os-update-requirement/firmware >= 9.0"}); },
     {},
     1,
     {kUnmet},
     {"pass 1", "starting update", "downloading"},
     "READY\n",
     "",
     onlyInitHook},
    {"BuildSuffixIsCutAndTheHigherRequirementsPackageCounts",
     [](Appliance& a) {
         firmware(a, "9.1-123-gabc", {"os-update-requirement/firmware >= 9.0"});
         a.repo.add(requirementsPackage("0.9-1", {"os-update-requirement/firmware >= 20"}));
     },
     {"--no-reboot"},
     0,
     {"INFO: loaded external packages from /var/run/updater/external.xml\n",
      "INFO: packages installed OK\n"},
     {"requirement not met"},
     "READY\n",
     "COMPLETE\n",
     appUpdated},
    {"BootloaderRequirementIsNeverMet",
     [](Appliance& a) { firmware(a, "9.1", {"os-update-requirement/bootloader >= 2"}); },
     {"--no-reboot"},
     1,
     {"ERROR: requirement not met: bootloader >= 2 is required to update\n"},
     {"starting update"},
     "READY\n",
     "",
     onlyInitHook},
    {"UnreadableOsReleaseMeetsFirmwareRequirements",
     [](Appliance& a) {
         a.repo.add(requirementsPackage("1.0-1", {"os-update-requirement/firmware >= 9.0"}));
         a.sandbox.hide("/etc/os-release");
         a.sandbox.hide("/usr/lib/os-release");
     },
     {"--no-reboot"},
     0,
     {"WARNING: cannot read current firmware version to check update requirements\n"},
     {"requirement not met"},
     "READY\n",
     "COMPLETE\n",
     appUpdated},
    // Pass 3 installs an app that replaces the release package, so pass 4
    // has less to do than the analysis found: the run cannot vouch for the
    // system.
    {"LaterPassesHandlingLessThanFoundEndFatal",
     nullptr,
     {},
     2,
     {"FATAL: failed passing all updates but update process succeeded, SYSTEM MAY BE "
      "CORRUPTED\n",
      "INFO: --- EXIT FATAL ---\n"},
     {"rebooting"},
     "CORRUPTED\n",
     "CORRUPTED\n",
     [](const Appliance& a, const RunResult&) {
         EXPECT_TRUE(contains(a.installed(), "app-2.0-1"));
         EXPECT_FALSE(contains(a.installed(), "player-release-4.0-1"));
         EXPECT_TRUE(a.sandbox.stubCalls().empty());
     },
     product(),
     TestPackage("app", "2.0-1").obsolete("player-release < 4.1")},
    {"NoPackagesAfterTheFirmwareRestartRetriesTheUpdater",
     [](Appliance& a) {
         firmware(a, "5.0", {"os-update-requirement/firmware >= 9.0"});
         // Offered, but the device already runs it.
         a.repo.addDevicePackage(DevicePackage("fw-upgrade", "9.0-1").content("image"));
         a.installDevicePackages(
             {DevicePackage("dsp-firmware", "1.0-1"), DevicePackage("fw-upgrade", "9.0-1")});
     },
     {},
     1,
     {"INFO: firmware upgrade pkg available, re-trying upgrade via pkg\n",
      "INFO: firmware upgrade pkg available, restarting process for it\n",
      "ERROR: got no packages after restarting for available firmware upgrade pkg\n"
      "ERROR: failed updating, will try updating updater only\n"
      "INFO: --- RETRY UPDATER ONLY ---\n"},
     {"starting update"},
     "READY\n",
     "",
     onlyInitHook,
     product(kFwUpgrade)},
    {"RpmInterruptedWhileTesting",
     [](Appliance& a) { replaceRpm(a, "#!/bin/sh\nkill -9 $$\n", 0755); },
     {"--test"},
     1,
     {"INFO: testing package(s) update\n",
      "WARNING: rpm was interrupted while testing package(s) installation\n"},
     {"posttest", "packages tested OK"},
     "READY\n",
     "PENDING\n",
     [](const Appliance& a, const RunResult& r) {
         nothingInstalled(a, r);
         ASSERT_FALSE(a.hookCalls().empty());
         EXPECT_TRUE(startsWith(a.hookCalls().back(), "failtest 1.17 2 ")) << r.describe();
     }},
    {"RpmThatCannotBeExecutedIsNotStarted",
     [](Appliance& a) { replaceRpm(a, "#!/bin/sh\nexit 0\n", 0644); },
     {"--no-reboot"},
     1,
     {"ERROR: failed executing 'rpm' (Permission denied)\n"
      "ERROR: failed starting rpm to install packages, no packages upgraded\n",
      "INFO: --- RETRY UPDATER ONLY ---\n"},
     {"package installation FAILED", "postupdate"},
     "READY\n",
     "PENDING\n",
     [](const Appliance& a, const RunResult& r) {
         nothingInstalled(a, r);
         Lines hooks = a.hookCalls();
         ASSERT_EQ(hooks.size(), 4u) << r.describe();
         EXPECT_TRUE(startsWith(hooks[2], "update 1.17 2 "));
         EXPECT_EQ(hooks[3], "fail" + hooks[2]);
     }},
    {"HookAndInstallerThatCannotBeExecutedStopNothing",
     [](Appliance& a) {
         a.sandbox.writeFile("/usr/libexec/updater/hook", "#!/nonexistent/sh\n", 0755);
         a.sandbox.writeFile("/usr/libexec/vtxpkg/install", "#!/bin/sh\nexit 0\n", 0644);
     },
     {"--no-reboot"},
     0,
     {"ERROR: failed executing '/usr/libexec/updater/hook' (No such file or directory)\n"
      "WARNING: failed starting hook, continuing anyways\n",
      "WARNING: failed installing pkg file for dsp-firmware-2.0-1\n"},
     {"hook failed", "exit code"},
     "READY\n",
     "COMPLETE\n",
     [](const Appliance& a, const RunResult& r) {
         appUpdated(a, r);
         EXPECT_EQ(r.errCount("WARNING: failed starting hook, continuing anyways"), 7);
     }},
    {"RepositoryOfAnotherProductIsRefused",
     nullptr,
     {"--no-reboot"},
     1,
     {"ERROR: repository is not for this product (missing required package "
      "'studio-release')\n"},
     {"UPDATE(S)"},
     "READY\n",
     "",
     onlyInitHook,
     product("", "studio-release")},
    {"BrokenExternalListIsReportedAndTheRunGoesOn",
     [](Appliance& a) { a.sandbox.writeFile(kExternal, "<metadata><package type=\"vtxpkg\">"); },
     {"--check-only"},
     0,
     {"WARNING: failed to load external packages from /var/run/updater/external.xml\n",
      "INFO: need to update ("},
     {"loaded external packages"},
     "READY\n",
     "AVAILABLE\n",
     nullptr},
    // Device packages are known only from the external list.
    {"WithoutExternalListNoDevicePackageIsUpdated",
     [](Appliance& a) { a.sandbox.remove(kExternal); },
     {"--check-only", "--log-level", "debug"},
     0,
     {"DEBUG: no /var/run/updater/external.xml to load\n", "INFO: need to update (4 packages):\n"},
     {"\tdsp-firmware"},
     "READY\n",
     "AVAILABLE\n",
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, RunPaths, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RunCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ApplianceRun, UnmetRequirementsInstallTheFirmwareUpgradePackageAlone) {
    RunCase c;
    c.productXml = product(kFwUpgrade);
    c.prepare = [](Appliance& a) {
        firmware(a, "5.0-7-g1234", {"os-update-requirement/firmware >= 9.0"});
        a.repo.addDevicePackage(DevicePackage("fw-upgrade", "9.0-1").content("upgrade image"));
        a.installDevicePackages(
            {DevicePackage("dsp-firmware", "1.0-1"), DevicePackage("fw-upgrade", "1.0-1")});
    };
    publish(c);
    RunResult r = a.update();
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas(kUnmet +
                         "INFO: firmware upgrade pkg available, re-trying upgrade via pkg\n"
                         "INFO: firmware upgrade pkg available, restarting process for it\n"))
        << r.describe();
    EXPECT_TRUE(
        r.errHas("INFO: --- 1 UPDATE(S) ---\n"
                 "INFO: --- FIRMWARE 9.0-r1 ---\n"
                 "INFO: starting update (1 packages):\n"
                 "INFO: \tfw-upgrade-9.0-1.noarch.vtx\n"))
        << r.describe();
    EXPECT_FALSE(r.errHas("pass 1"));
    EXPECT_FALSE(r.errHas("updating package(s)"));
    EXPECT_TRUE(r.errHas("INFO: install of pkg file for fw-upgrade-9.0-1 succeeded\n"));

    // The device installer alone, with the cached upgrade package.
    EXPECT_EQ(a.installerCalls(),
              Lines{"/var/cache/updater/base/packages/fw-upgrade-9.0-1.noarch.vtx"});
    EXPECT_EQ(a.hookCalls(),
              (Lines{"init 1.17", "download 1.17", "update 1.17 0 0 0", "postupdate 1.17 0 0 0"}));
    EXPECT_EQ(a.installed(), kInstalledBefore);
    EXPECT_EQ(a.sandbox.stubCalls(),
              (Lines{"telinit u", "shutdown -r +1 rebooting after upgrade"}));
    EXPECT_EQ(a.status(), "REBOOTING\n");
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
}

// A termination signal during the random start delay ends the run before
// any network access.
TEST_F(ApplianceRun, SignalDuringTheStartDelay) {
    publish(RunCase());
    RunOptions options;
    options.timeoutSeconds = 60;
    SandboxProcess p = a.start({"--max-wait-time", "100000"}, options);
    pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 2000 && a.status() != "DELAYING\n"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(a.status(), "DELAYING\n");
    kill(pid, SIGTERM);
    RunResult r = p.wait();
    ASSERT_TRUE(r.signaled) << r.describe();
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_TRUE(r.errHas("ERROR: wait interrupted\n")) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- EXIT ERROR ---\n"));
    EXPECT_TRUE(r.errHas(" secs before connection\nERROR: wait interrupted\n"));
    EXPECT_TRUE(a.server->requests().empty());
    EXPECT_EQ(a.status(), "READY\n");
    EXPECT_EQ(a.updateState(), "");
    EXPECT_EQ(a.hookCalls(), Lines{"init 1.17"});
}

}  // namespace
