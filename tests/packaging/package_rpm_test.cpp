// The updater's own RPM as scripts/package.sh builds it (the ctest fixture
// packaging_build_rpms makes it once, and once more with a newer version):
// what it installs, that systemd and rpmlint accept it, that an appliance
// updates itself to the newer package through the updater-only retry, and that
// the installed units' own commands take it through update, reboot and boot.
#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <sstream>

#include "driver/appliance.h"
#include "harness/command.h"
#include "support/version.h"

namespace {

const std::string kSource = SOURCE_DIR;
const std::string kNewer = NEWER_VERSION;

// The one binary package of that version that the fixture made in the folder.
std::string binaryRpm(const std::string& folder, const std::string& version) {
    Lines files = splitLines(runShell("ls " + std::string(PACKAGE_DIR) + "/" + folder +
                                      "/updater-" + version + "-1.[!s]*.rpm")
                                 .output);
    EXPECT_EQ(files.size(), 1u) << folder;
    return files.empty() ? "" : files[0];
}

RunOptions program(const std::string& path) {
    RunOptions options;
    options.program = path;
    return options;
}

// An appliance with the released package installed for real, over a base
// system that provides what the package requires of it.
void installUpdater(Appliance& a, std::vector<TestPackage> packages) {
    const std::string rpm = binaryRpm("current", UPDATER_VERSION);
    a.sandbox.hide("/usr/bin/systemctl");
    TestPackage base("base-system", "1.0-1");
    for (const std::string& dep :
         splitLines(runCommand({"rpm", "-qp", "--requires", rpm}).output)) {
        if (dep.rfind("rpmlib(", 0) != 0) {
            base.provide(dep);
        }
    }
    packages.push_back(base);
    a.install(packages);
    RunResult r = a.sandbox.run({"-i", rpm}, program("/usr/bin/rpm"));
    ASSERT_EQ(r.exitCode, 0) << r.describe();
}

void publish(const TestKey& key, const std::string& rpms, const std::string& repo) {
    CommandResult p =
        runCommand({kSource + "/scripts/publish-repo.sh", "--key", key.name(), rpms, repo},
                   {{"GNUPGHOME", key.home()}});
    ASSERT_EQ(p.status, 0) << p.output;
}

// Runs the ExecStart= command of an installed unit, as systemd would.
RunResult runUnit(Sandbox& sandbox, const std::string& unit) {
    for (const std::string& line :
         splitLines(sandbox.readFile("/usr/lib/systemd/system/" + unit))) {
        if (line.rfind("ExecStart=", 0) == 0) {
            std::istringstream words(line.substr(10));
            Lines command{std::istream_iterator<std::string>(words), {}};
            return sandbox.run(Lines(command.begin() + 1, command.end()), program(command.at(0)));
        }
    }
    ADD_FAILURE() << "no command in " << unit;
    return {};
}

bool syslogHas(const RunResult& r, const std::string& text) {
    return std::any_of(r.syslog.begin(), r.syslog.end(),
                       [&](const SyslogRecord& record) { return record.text == text; });
}

TEST(UpdaterPackage, InstallsTheProgramConfigurationUnitsAndManualPages) {
    const std::string rpm = binaryRpm("current", UPDATER_VERSION);
    EXPECT_EQ(runCommand({"rpm", "-qp", "--qf", "%{NAME} %{VERSION}-%{RELEASE}", rpm}).output,
              std::string("updater ") + UPDATER_VERSION + "-1");
    // Every file but the documentation (manual pages with or without
    // compression); the only configuration file is kept when the site changed it.
    EXPECT_EQ(runShell("rpm -qp --qf '[%{FILENAMES} %{FILEFLAGS:fflags}\\n]' '" + rpm +
                       "' | grep -v ^/usr/share/doc/ | sed 's/[.]gz / /' | LC_ALL=C sort")
                  .output,
              "/etc/updater.conf cn\n"
              "/usr/lib/systemd/system/sysinit.target.wants/updater-clear-rebooting.service \n"
              "/usr/lib/systemd/system/updater-clear-rebooting.service \n"
              "/usr/lib/systemd/system/updater.service \n"
              "/usr/lib/systemd/system/updater.timer \n/usr/libexec/updater \n"
              "/usr/sbin/updater \n/usr/share/man/man5/updater.conf.5 d\n"
              "/usr/share/man/man8/updater.8 d\n/var/cache/updater \n/var/lib/updater \n"
              "/var/lib/updater/mnt-usb-updates \n/var/log/updater \n");

    // rpmlint finds no error in the package as a site publishes it: signed,
    // with the key known to rpm.
    ScratchDir lint("lint");
    TestKey key("Site Signing Key", lint.file("key"));
    writeHostFile(lint.file("rpms/updater.rpm"), readHostFile(rpm));
    ASSERT_TRUE(key.valid() && key.signPackage(lint.file("rpms/updater.rpm")));
    writeHostFile(lint.file("home/.rpmmacros"), "%_dbpath " + lint.file("home/rpmdb") + "\n");
    ASSERT_TRUE(importKey(lint.file("home/rpmdb"), key.publicKeyFile()));
    CommandResult l =
        runCommand({"rpmlint", lint.file("rpms/updater.rpm"), kSource + "/packaging/updater.spec"},
                   {{"HOME", lint.file("home")}});
    EXPECT_NE(l.output.find(" 0 errors,"), std::string::npos) << l.output;

    // Installed on an appliance, it leaves the example configuration as it is
    // and systemd accepts the units.
    Sandbox sandbox;
    sandbox.hide("/usr/bin/systemctl");
    ASSERT_TRUE(initRpmDb(sandbox.rpmDbPath()));
    RunResult r = sandbox.run({"-i", "--nodeps", rpm}, program("/usr/bin/rpm"));
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(sandbox.readFile("/etc/updater.conf"),
              readHostFile(kSource + "/packaging/updater.conf"));
    r = sandbox.run({"verify", "/usr/lib/systemd/system/updater.service",
                     "/usr/lib/systemd/system/updater.timer",
                     "/usr/lib/systemd/system/updater-clear-rebooting.service"},
                    program("/usr/bin/systemd-analyze"));
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.err, "") << r.describe();
}

TEST(UpdaterPackage, ApplianceUpdatesItselfThroughTheUpdaterOnlyRetry) {
    const std::string newer = binaryRpm("newer", kNewer);
    Appliance a;
    installUpdater(a, {TestPackage("app", "1.0-1")});
    a.writeHook();

    // The site publishes an application that needs a newer updater, and that
    // updater, signed with its key, which the appliance trusts.
    TestKey key("Site Signing Key", a.work.file("key"));
    ASSERT_TRUE(key.valid());
    const std::string rpms = a.work.file("rpms");
    ASSERT_NE(
        a.builder.build(TestPackage("app", "2.0-1").require("updater-running >= " + kNewer), rpms),
        "");
    writeHostFile(rpms + newer.substr(newer.rfind('/')), readHostFile(newer));
    publish(key, rpms, a.work.file("published"));
    ASSERT_TRUE(importKey(a.sandbox.rpmDbPath(), key.publicKeyFile()));
    HttpServer::Options serve;
    serve.root = a.work.file("published");
    a.server = std::make_unique<HttpServer>(serve);
    a.configure();
    const std::string siteConfig = a.sandbox.readFile("/etc/updater.conf");

    RunResult r = a.update({"--no-reboot"});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("ERROR: newer updater required to install: updater-running >= " + kNewer +
                         "\nERROR: failed updating, will try updating updater only\n" +
                         "INFO: --- RETRY UPDATER ONLY ---\n"))
        << r.describe();
    // One hook call of the updater-only retry, sizes in KiB.
    const std::regex retry(std::string("update ") + UPDATER_VERSION + " 1 [0-9]+ [0-9]+ no-stop");
    Lines hooks = a.hookCalls();
    EXPECT_EQ(std::count_if(hooks.begin(), hooks.end(),
                            [&](const std::string& h) { return std::regex_match(h, retry); }),
              1)
        << r.describe();
    EXPECT_EQ(a.installed(), (Lines{"app-1.0-1", "base-system-1.0-1", "updater-" + kNewer + "-1"}));
    EXPECT_EQ(a.updateState(), "PENDING\n");
    // The site's configuration stays as it was.
    EXPECT_EQ(a.sandbox.readFile("/etc/updater.conf"), siteConfig);
    EXPECT_FALSE(a.sandbox.exists("/etc/updater.conf.rpmnew"));

    // The next run is made by the new updater, which installs the application.
    r = a.update({"--no-reboot"}, program("/usr/sbin/updater"));
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: updater version " + kNewer + ", product \n")) << r.describe();
    EXPECT_EQ(a.installed(), (Lines{"app-2.0-1", "base-system-1.0-1", "updater-" + kNewer + "-1"}));
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
}

// The appliance's life with the package's configuration and units: the
// timer's run installs the site's update and schedules a reboot, which leaves
// REBOOTING; the boot unit clears it, so the next run updates again. Any other
// status outlives the boot: CORRUPTED, and UPDATING, which the next run still
// turns into CORRUPTED.
TEST(UpdaterPackage, BootUnitClearsTheRebootOfAnUpdateAndKeepsEveryOtherStatus) {
    Appliance a;
    installUpdater(a, {TestPackage("app", "1.0-1")});
    // The site's repository on USB storage, where the packaged configuration
    // looks (no start delay), signed with the key the appliance trusts.
    TestKey key("Site Signing Key", a.work.file("key"));
    ASSERT_TRUE(key.valid() && importKey(a.sandbox.rpmDbPath(), key.publicKeyFile()));
    auto offer = [&](const std::string& evr) {
        const std::string rpms = a.work.file("rpms-" + evr);
        ASSERT_NE(a.builder.build(TestPackage("app", evr), rpms), "");
        publish(key, rpms, a.sandbox.hostPath("/var/lib/updater/mnt-usb-updates"));
    };
    auto installed = [](const std::string& app) {
        return Lines{"app-" + app, "base-system-1.0-1",
                     std::string("updater-") + UPDATER_VERSION + "-1"};
    };
    const Lines reboot = {"telinit u", "shutdown -r +1 rebooting after upgrade"};

    offer("2.0-1");
    RunResult r = runUnit(a.sandbox, "updater.service");
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(a.installed(), installed("2.0-1"));
    EXPECT_EQ(a.sandbox.stubCalls(), reboot);
    EXPECT_EQ(a.status(), "REBOOTING\n");
    // Until the reboot, runs refuse.
    offer("3.0-1");
    r = runUnit(a.sandbox, "updater.service");
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(syslogHas(r, "machine is rebooting after update, cannot start")) << r.describe();

    r = runUnit(a.sandbox, "updater-clear-rebooting.service");
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(a.status(), "READY\n");
    r = runUnit(a.sandbox, "updater.service");
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(a.installed(), installed("3.0-1"));
    EXPECT_EQ(a.sandbox.stubCalls(), (Lines{reboot[0], reboot[1], reboot[0], reboot[1]}));
    EXPECT_EQ(a.status(), "REBOOTING\n");

    for (const std::string kept : {"CORRUPTED\n", "UPDATING\n"}) {
        a.sandbox.writeFile("/var/lib/updater/status", kept);
        r = runUnit(a.sandbox, "updater-clear-rebooting.service");
        EXPECT_EQ(r.exitCode, 0) << r.describe();
        EXPECT_EQ(a.status(), kept);
        r = runUnit(a.sandbox, "updater.service");
        EXPECT_EQ(r.exitCode, 2) << r.describe();
        EXPECT_EQ(a.status(), "CORRUPTED\n");
    }
}

}  // namespace
