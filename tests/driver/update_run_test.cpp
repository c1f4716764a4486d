// Whole update runs of the real binary on the standard appliance: a real
// repository over HTTP, real rpm installing into the sandbox's database.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "appliance.h"
#include "harness/command.h"

namespace {

const Lines kBefore = {"app-1.0-1",    "base-system-1.0-1",    "codec-addon-1.0-1",
                       "libfoo-1.0-1", "player-release-4.0-1", "updater-1.17-1"};
const Lines kAfter = {"app-2.0-1",    "base-system-1.0-1",    "codec-addon-1.1-1", "libfoo-2.0-1",
                      "newdep-1.0-1", "player-release-4.1-1", "updater-1.17-1"};
const Lines kReboot = {"telinit u", "shutdown -r +1 rebooting after upgrade"};
const std::string kCache = "/var/cache/updater/base/packages/";
// Packages of the run report, but for their fate.
const std::string kApp20 =
    "{\"name\": \"app\", \"installed\": \"1.0-1\", \"offered\": \"2.0-1\", \"kind\": "
    "\"rpm\", \"fate\": ";
const std::string kDevicePackage =
    "{\"name\": \"dsp-firmware\", \"installed\": \"1.0-1\", \"offered\": \"2.0-1\", "
    "\"kind\": \"device\", \"fate\": ";
const std::string kUnmet = "ERROR: requirement not met: firmware >= 9.0 is required to update\n";
const std::string kRetry =
    "ERROR: failed updating, will try updating updater only\nINFO: --- RETRY UPDATER ONLY ---\n";
const std::string kNeed =
    "INFO: need to update (6 packages):\nINFO: \tapp-2.0-1.noarch.rpm\n"
    "INFO: \tcodec-addon-1.1-1.noarch.rpm\nINFO: \tdsp-firmware-2.0-1.noarch.vtx\n"
    "INFO: \tlibfoo-2.0-1.noarch.rpm\nINFO: \tnewdep-1.0-1.noarch.rpm\n"
    "INFO: \tplayer-release-4.1-1.noarch.rpm\n";

std::string withProduct(const std::string& section) {
    std::string product = kProduct;
    return product.insert(product.find("  </packages>"), "    " + section + "\n");
}

// The standard appliance whose new app package is about 1.5 MB.
const std::string kApp = "packages/app-2.0-1.noarch.rpm";
const std::string kAppPart = kCache + "app-2.0-1.noarch.rpm.part";
Scenario largeApp(const std::string& name) {
    Scenario s(name);
    s.offered[0] = TestPackage("app", "2.0-1")
                       .require("libfoo >= 2.0")
                       .require("newdep")
                       .file("/opt/app/blob", incompressibleText(1500000));
    return s;
}
std::string appFile(const Appliance& a) {
    return readHostFile(a.repo.dir() + "/" + kApp);
}
// The app package served as a file of the repository, with the given ETag.
HttpServer::Response servedApp(const Appliance& a, const std::string& etag = "\"v1\"") {
    return HttpServer::Response::fromFile(a.repo.dir() + "/" + kApp).header("ETag", etag);
}
// The Range header of each request for the app package.
Lines appRanges(Appliance& a) {
    Lines ranges;
    for (const HttpServer::Request& r : a.server->requestsFor("/" + kApp)) {
        ranges.push_back(r.header("Range"));
    }
    return ranges;
}
// Script lines that stop the updater with the signal once its partial app
// file holds that many bytes.
std::string stopWhenHolding(size_t bytes, const std::string& signal) {
    return "(i=0; until [ \"$(stat -c %s " + kAppPart + " 2>/dev/null || echo 0)\" -ge " +
           std::to_string(bytes) + " ] || [ $i -ge 3000 ]; do sleep 0.01; i=$((i+1)); done; " +
           "kill -" + signal + " $$) &\n";
}

// The requirements package a site publishes.
TestPackage requirements(const std::string& evr, const std::string& need) {
    return TestPackage("os-update-requirements", evr).require("os-update-requirement/" + need);
}

// The running firmware and the requirement the repository states.
std::function<void(Appliance&)> firmware(const std::string& version,
                                         const std::string& need = "firmware >= 9.0") {
    return [=](Appliance& a) {
        a.sandbox.writeFile("/etc/os-release",
                            "NAME=\"Player OS\"\nVERSION_ID=\"" + version + "\"\n");
        a.repo.add(requirements("1.0-1", need));
    };
}

// A firmware upgrade package on offer, installed at the version given.
void fwUpgrade(Scenario& s, const std::string& installed) {
    s.product =
        withProduct("<fw-upgrade-pkg><package><name>fw-upgrade</name></package></fw-upgrade-pkg>");
    s.offeredDevice.push_back(DevicePackage("fw-upgrade", "9.0-1").content("upgrade image"));
    s.installedDevice = {DevicePackage("dsp-firmware", "1.0-1"),
                         DevicePackage("fw-upgrade", installed)};
}

std::vector<Scenario> rows() {
    const std::string hookOnly = "#!/bin/sh\necho \"$*\" >> /var/log/hook.calls\n";
    std::vector<Scenario> rows = {
        Scenario("CheckOnlyReportsAndDownloadsNothing")
            .run({"--check-only"})
            .logs({"INFO: --- 6 UPDATE(S) ---\nINFO: --- FIRMWARE 4.1-1 ---\n", kNeed}, {"pass 1"})
            .ends("READY\n", "AVAILABLE\n")
            .hooks({"init 1.17"})
            .requests(".rpm", 0)
            .requests(".vtx", 0)
            .reports({{"mode", "\"check\""},
                      {"result", "\"updates-available\""},
                      {"updates_available", "true"},
                      {"update_state", "\"AVAILABLE\""},
                      {"repository.id", "\"base\""},
                      {"packages.#", "6"},
                      {"packages.2", kDevicePackage + "\"available\"}"},
                      {"first_error", "null"}})
            .run({"--check-only", "--quiet"})
            .reports({{"history.#", "2"}, {"history.0.packages", "6"}})
            .logs({kNeed}, {"UPDATE(S)", "--- MODE", "updating packages from repository"}),
        Scenario("FullUpdateRunsEveryPassInstallsAndReboots")
            .run()
            .lines("INFO: pass ", {"INFO: pass 1: skipping since no preliminary packages",
                                   "INFO: pass 2: skipping since no preliminary packages",
                                   "INFO: pass 3: all but add-ons", "INFO: pass 4: add-ons"})
            .logs(
                {"INFO: starting update (3 packages):\nINFO: \tapp-2.0-1.noarch.rpm\n"
                 "INFO: \tlibfoo-2.0-1.noarch.rpm\nINFO: \tnewdep-1.0-1.noarch.rpm\n",
                 "INFO: starting update (3 packages):\nINFO: \tcodec-addon-1.1-1.noarch.rpm\n"
                 "INFO: \tdsp-firmware-2.0-1.noarch.vtx\nINFO: \tplayer-release-4.1-1.noarch.rpm\n",
                 "INFO: install of pkg file for dsp-firmware-2.0-1 succeeded\n",
                 "INFO: rebooting for upgrades to take full effect\n", "INFO: --- EXIT OK ---\n"})
            .count("INFO: packages installed OK", 2)
            .rpms(kAfter)
            .installer({kCache + "dsp-firmware-2.0-1.noarch.vtx"})
            .stubs(kReboot)
            .ends("REBOOTING\n", "COMPLETE\n")
            .reports({{"exit_code", "0"},
                      {"result", "\"updated\""},
                      {"reboot_scheduled", "true"},
                      {"status", "\"REBOOTING\""},
                      {"update_state", "\"COMPLETE\""},
                      {"updates_available", "false"},
                      {"packages.0", kApp20 + "\"installed\"}"},
                      {"packages.2", kDevicePackage + "\"installed\"}"},
                      {"packages.4", "{\"name\": \"newdep\", \"installed\": null, \"offered\": "
                                     "\"1.0-1\", \"kind\": \"rpm\", \"fate\": \"installed\"}"},
                      {"index.signed_at", "null"},
                      {"last_error", "null"}})
            // Lists stay in the cache, package files go.
            .present({"/opt/newdep/payload", "/var/cache/updater/base/repomd.xml"})
            // Hooks get the number of RPM packages, their size and the largest in KiB.
            .hooks({"init 1.17", "download 1.17", "update 1.17 3 8 5", "postupdate 1.17 3 8 5",
                    "download 1.17", "update 1.17 2 0 0", "postupdate 1.17 2 0 0"})
            .check([](Appliance& a, const RunResult&) {
                EXPECT_TRUE(a.sandbox.listDir(kCache).empty());
                struct stat st;  // readable by all whatever the umask
                ASSERT_EQ(stat(a.sandbox.hostPath("/var/lib/updater/status").c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 0777, 0644u);
                // The bodies received: every package file and less than what
                // the server sent with the headers.
                uint64_t files = 0;
                for (const HttpServer::Request& q : a.server->requests()) {
                    if (q.target.rfind("/packages/", 0) == 0) {
                        files += std::filesystem::file_size(a.repo.dir() + q.target);
                    }
                }
                const Lines bytes = reportFields(a.sandbox, {"bytes_downloaded"});
                ASSERT_EQ(bytes.size(), 1u);
                const uint64_t received = std::stoull(bytes[0].substr(bytes[0].find(' ')));
                EXPECT_GE(received, files);
                EXPECT_LT(received, static_cast<uint64_t>(a.server->bytesSent()));
            })
            .run({"--check-only"}, 1)
            .logs({"INFO: machine is rebooting after update, cannot start\n"})
            .status("REBOOTING\n")
            .reports({{"result", "\"refused\""},
                      {"updates_available", "null"},
                      {"status", "\"REBOOTING\""},
                      {"history.#", "2"},
                      {"history.0.reboot_scheduled", "true"}}),
        Scenario("PreliminaryPackagesGetAPassOfTheirOwn")
            .with([](Scenario& s) {
                s.product = withProduct(
                    "<preliminary><package><name>libfoo</name></package></preliminary>");
            })
            .run({"--no-reboot"})
            .lines("INFO: pass ",
                   {"INFO: pass 1: getting all but add-ons", "INFO: pass 2: preliminary packages",
                    "INFO: pass 3: all but add-ons", "INFO: pass 4: add-ons"})
            // Pass 1 fetches the files of pass 3; passes 2 and 3 install them from the cache.
            .logs({"INFO: getting package files (3 packages):\n",
                   "INFO: starting update (1 packages):\nINFO: \tlibfoo-2.0-1.noarch.rpm\n",
                   "INFO: starting update (2 packages):\nINFO: \tapp-2.0-1.noarch.rpm\n"
                   "INFO: \tnewdep-1.0-1.noarch.rpm\n"})
            .count("INFO: downloading 3 packages", 2)
            .count("INFO: downloading 2 packages", 0)
            .count("INFO: downloading 1 packages", 0)
            .count("INFO: packages installed OK", 3)
            .rpms(kAfter)
            .state("COMPLETE\n")
            .requests("/app-2.0-1.noarch.rpm", 1),
        Scenario("FirmwareUpgradePackageRestartsTheRunForItAlone")
            .with([](Scenario& s) { fwUpgrade(s, "1.0-1"); })
            .run({"--no-reboot"})
            .logs({"INFO: firmware upgrade pkg available, restarting process for it\n",
                   "INFO: --- 1 UPDATE(S) ---\nINFO: --- FIRMWARE 9.0-r1 ---\n",
                   "INFO: starting update (1 packages):\nINFO: \tfw-upgrade-9.0-1.noarch.vtx\n"},
                  {"pass 1", "re-trying upgrade"})
            .rpms(kBefore)
            .stubs({})
            .installer({kCache + "fw-upgrade-9.0-1.noarch.vtx"}),
        Scenario("UnmetRequirementsInstallTheFirmwareUpgradePackageAlone")
            .with([](Scenario& s) { fwUpgrade(s, "1.0-1"); })
            .prepared(firmware("5.0-7-g1234"))
            .run()
            .logs({kUnmet + "INFO: firmware upgrade pkg available, re-trying upgrade via pkg\n"
                            "INFO: firmware upgrade pkg available, restarting process for it\n",
                   "INFO: --- 1 UPDATE(S) ---\nINFO: --- FIRMWARE 9.0-r1 ---\n"
                   "INFO: starting update (1 packages):\nINFO: \tfw-upgrade-9.0-1.noarch.vtx\n",
                   "INFO: install of pkg file for fw-upgrade-9.0-1 succeeded\n"},
                  {"pass 1", "updating package(s)"})
            .rpms(kBefore)
            .installer({kCache + "fw-upgrade-9.0-1.noarch.vtx"})
            .hooks({"init 1.17", "download 1.17", "update 1.17 0 0 0", "postupdate 1.17 0 0 0"})
            .stubs(kReboot)
            .ends("REBOOTING\n", "COMPLETE\n"),
        Scenario("NoPackagesAfterTheFirmwareRestartRetriesTheUpdater")
            .with([](Scenario& s) { fwUpgrade(s, "9.0-1"); })  // offered, but already there
            .prepared(firmware("5.0"))
            .run({}, 1)
            .logs({"INFO: firmware upgrade pkg available, re-trying upgrade via pkg\n",
                   "INFO: firmware upgrade pkg available, restarting process for it\n",
                   "ERROR: got no packages after restarting for available firmware upgrade pkg\n" +
                       kRetry},
                  {"starting update"})
            .installer({})
            .rpms(kBefore)
            .hooks({"init 1.17"})
            .ends("READY\n", ""),
        Scenario("UnmetFirmwareRequirementRefuses")
            .prepared(firmware("5.0"))
            .run({"--check-only"}, 1)
            .logs({kUnmet, "INFO: --- EXIT ERROR ---\n"}, {"need to update", "UPDATE(S)"})
            .ends("READY\n", "")
            .hooks({"init 1.17"})
            .run({}, 1)
            .logs({kUnmet}, {"pass 1", "starting update", "downloading"})
            .rpms(kBefore)
            .installer({})
            .stubs({})
            .hooks({"init 1.17", "init 1.17"}),
        Scenario("BuildSuffixIsCutAndTheHigherRequirementsPackageCounts")
            .prepared([](Appliance& a) {
                firmware("9.1-123-gabc")(a);
                a.repo.add(requirements("0.9-1", "firmware >= 20"));
            })
            .run({"--no-reboot"})
            .logs({"INFO: loaded external packages from /var/run/updater/external.xml\n"},
                  {"requirement not met"})
            .rpms(kAfter)
            .ends("READY\n", "COMPLETE\n"),
        Scenario("BootloaderRequirementIsNeverMet")
            .prepared(firmware("9.1", "bootloader >= 2"))
            .run({"--no-reboot"}, 1)
            .logs({"ERROR: requirement not met: bootloader >= 2 is required to update\n"})
            .rpms(kBefore)
            .hooks({"init 1.17"})
            .ends("READY\n", ""),
        Scenario("UnreadableOsReleaseMeetsFirmwareRequirements")
            .prepared([](Appliance& a) {
                a.repo.add(requirements("1.0-1", "firmware >= 9.0"));
                a.sandbox.hide("/etc/os-release");
                a.sandbox.hide("/usr/lib/os-release");
            })
            .run({"--no-reboot"})
            .logs({"WARNING: cannot read current firmware version to check update requirements\n"})
            .rpms(kAfter)
            .ends("READY\n", "COMPLETE\n"),
        Scenario("NoRebootEndsReadyAndTheDevicePackageIsOfferedAgain")
            .run({"--no-reboot"})
            .rpms(kAfter)
            .stubs({})
            .ends("READY\n", "COMPLETE\n")
            // The external list still names the old device package; another cache directory.
            .run({"--check-only", "--cache-dir", "/tmp"})
            .logs({"INFO: need to update (1 packages):\nINFO: \tdsp-firmware-2.0-1.noarch.vtx\n"})
            .present({"/tmp/base/repomd.xml"}),
        Scenario("TestModeInstallsNothing")
            .run({"--test"})
            .logs({"INFO: --- MODE test ---",
                   "INFO: test of pkg file for dsp-firmware-2.0-1 succeeded\n"})
            .count("INFO: packages tested OK", 2)
            .rpms(kBefore)
            .stubs({})
            .installer({"--test -- " + kCache + "dsp-firmware-2.0-1.noarch.vtx"})
            .ends("READY\n", "COMPLETE\n")
            .lastHook("posttest 1.17 5 "),  // nothing stays installed: all five again
        Scenario("NamedPackagesRestrictOrInstall")
            .with([](Scenario& s) { s.offered.push_back(TestPackage("extra-tool", "1.0-1")); })
            .run({"--no-reboot", "libfoo"})
            .put("/var/lib/updater/update-state", "PENDING\n")
            .logs({"INFO: starting update (1 packages):\nINFO: \tlibfoo-2.0-1.noarch.rpm\n"},
                  {"pass "})
            .rpmsHave({"libfoo-2.0-1", "app-1.0-1"})
            .run({"--no-reboot", "extra-tool"})
            .logs({"INFO: no updates\n"})
            .run({"--no-reboot", "--install", "extra-tool"})
            .rpmsHave({"extra-tool-1.0-1"})
            .run({"--install", "no-such-package"}, 1)
            .logs({"ERROR: respository does not have all packages requested to install, "
                   "'no-such-package' is missing\n"})
            .state("PENDING\n"),
        Scenario("ChecksumFailingTwiceRetriesTheUpdaterAlone")
            .with([](Scenario& s) { s.offered.push_back(TestPackage("updater", "1.18-1")); })
            .run({"--no-reboot"})
            .before([](Appliance& a) {
                a.server->script("/packages/newdep-1.0-1.noarch.rpm",
                                 HttpServer::Response::ok("not it"));
            })
            .logs({"WARNING: invalid checksum on '" + kCache +
                       "newdep-1.0-1.noarch.rpm'; retrying with bypass of http caches\n",
                   "ERROR: invalid checksum on '" + kCache + "newdep-1.0-1.noarch.rpm'\n",
                   "ERROR: failed downloading packages\n" + kRetry})
            .rpmsHave({"updater-1.18-1", "app-1.0-1"})
            .state("PENDING\n")
            .check([](Appliance& a, const RunResult& r) {
                auto tries = a.server->requestsFor("/packages/newdep-1.0-1.noarch.rpm");
                ASSERT_EQ(tries.size(), 2u);
                EXPECT_EQ(tries[1].header("Cache-Control"), "no-cache");
                const Lines hooks = a.hookCalls();
                EXPECT_EQ(std::count(hooks.begin(), hooks.end(), "update 1.17 1 0 0 no-stop"), 1)
                    << r.describe();
            }),
        // Hooks that fail before anything is installed: the init hook ends
        // the run before any request, the download hook leaves the updates
        // available.
        Scenario("FailingOrKilledHooksBeforeTheInstallation")
            .run({}, 1)
            .put("/usr/libexec/updater/hook", hookOnly + "[ \"$1\" = init ] && exit 7\nexit 0\n")
            .logs({"ERROR: hook failed (exit code 7)\n", "INFO: --- EXIT ERROR ---\n"},
                  {"updating packages from repository"})
            .ends("READY\n", "")
            .requests("", 0)
            .run({}, 1)
            .put("/usr/libexec/updater/hook",
                 hookOnly + "[ \"$1\" = init ] && kill -9 $$\nexit 0\n")
            .logs({"ERROR: hook was interrupted\n", "INFO: --- EXIT ERROR ---\n"})
            .ends("READY\n", "")
            .requests("", 0)
            .run({}, 1)
            .put("/usr/libexec/updater/hook",
                 hookOnly + "[ \"$1\" = download ] && exit 5\nexit 0\n")
            .logs({"ERROR: hook failed (exit code 5)\n" + kRetry})
            .rpms(kBefore)
            .ends("READY\n", "AVAILABLE\n"),
        Scenario("KilledDeviceInstallerAfterRpmPackagesIsAWarning")
            .run({"--no-reboot"})
            .put("/usr/libexec/vtxpkg/install", "#!/bin/sh\nkill -9 $$\n")
            .logs({"WARNING: install of pkg file for dsp-firmware-2.0-1 was interrupted\n"
                   "INFO: --- EXIT OK ---\n"})
            .rpms(kAfter)
            .ends("READY\n", "COMPLETE\n"),
        Scenario("MissingPackageFileRetriesTheUpdaterAlone")
            .with([](Scenario& s) { s.offered.push_back(TestPackage("updater", "1.18-1")); })
            .run({"--no-reboot"})
            .before([](Appliance& a) {
                a.server->script("/packages/newdep-1.0-1.noarch.rpm",
                                 HttpServer::Response::withStatus(404));
            })
            .logs({"ERROR: failed getting package 'packages/newdep-1.0-1.noarch.rpm' from "
                   "repository\nERROR: failed downloading packages\n" +
                   kRetry},
                  {"invalid checksum"})
            .rpmsHave({"updater-1.18-1", "app-1.0-1"}),
        // A checksum of a type this program does not check: no transfer
        // could help, so none is made.
        Scenario("PackageChecksumOfAnUnsupportedTypeIsNotFetched")
            .run({"--no-reboot"}, 1)
            .before([](Appliance& a) {
                std::string xml = runShell("zcat '" + a.repo.listFile("primary") + "'").output;
                const std::string sha256 = "<checksum type=\"sha256\"";
                const size_t at = xml.find(sha256, xml.find("<name>newdep</name>"));
                xml.replace(at, sha256.size(), "<checksum type=\"sha3-256\"");
                a.repo.replaceList("primary", xml, true);
            })
            .logs({"ERROR: unsupported checksum type 'sha3-256'\nERROR: failed downloading "
                   "packages\n" +
                   kRetry},
                  {"invalid checksum"})
            .requests("/packages/newdep-1.0-1.noarch.rpm", 0)
            .rpmsHave({"app-1.0-1"}),
        Scenario("FailingScriptletFailsTheInstallation")
            .with([](Scenario& s) { s.offered[0].pre("echo refusing; exit 1"); })
            .run({"--no-reboot"}, 1)  // the updater-only pass finds nothing
            .logs({"ERROR: package installation FAILED (exit code ",
                   "INFO:   error: %prein(app-2.0-1.noarch) scriptlet failed, exit status 1\n",
                   kRetry})
            .rpmsHave({"app-1.0-1"})
            .status("READY\n")
            .reports({{"exit_code", "1"},
                      {"result", "\"failed\""},
                      {"packages.0", kApp20 + "\"failed\"}"},
                      {"updates_available", "true"},
                      {"first_error", "\"package installation FAILED (exit code 3)\""}}),
        Scenario("RpmKilledDuringTheInstallationMarksTheSystemCorrupted")
            .with([](Scenario& s) { s.offered[0].pre("kill -9 $PPID"); })
            .run({"--no-reboot"}, 2)
            .logs({"FATAL: rpm was interrupted, installation may be incomplete; SYSTEM MAY BE "
                   "CORRUPTED\n",
                   "INFO: --- EXIT FATAL ---\n"})
            .ends("CORRUPTED\n", "CORRUPTED\n")
            .lastHook("failupdate 1.17 3 ")
            .reports({{"result", "\"fatal\""},
                      {"first_error", "\"child 'rpm' terminated by signal 9\""},
                      {"last_error", "\"rpm was interrupted, installation may be incomplete; SYSTEM "
                                     "MAY BE CORRUPTED\""}})
            .run({"--check-only"}, 2)
            .logs({"FATAL: system is corrupted cannot update\n"})
            .reports({{"exit_code", "2"},
                      {"result", "\"refused\""},
                      {"status", "\"CORRUPTED\""},
                      {"update_state", "\"CORRUPTED\""},
                      {"repository", "null"},
                      {"last_error", "\"system is corrupted cannot update\""}}),
        // Pass 3 installs an app that replaces the release package, so pass 4
        // has less to do than the analysis found: the run cannot vouch for the system.
        Scenario("LaterPassesHandlingLessThanFoundEndFatal")
            .with([](Scenario& s) { s.offered[0].obsolete("player-release < 4.1"); })
            .run({}, 2)
            .logs({"FATAL: failed passing all updates but update process succeeded, SYSTEM MAY BE "
                   "CORRUPTED\n",
                   "INFO: --- EXIT FATAL ---\n"},
                  {"rebooting"})
            .rpmsHave({"app-2.0-1", "!player-release-4.0-1"})
            .stubs({})
            .ends("CORRUPTED\n", "CORRUPTED\n"),
        // Status files are replaced whole or not at all: on a read-only or a
        // full status folder the previous status stays, no temporary file
        // remains, and rpm is not started without UPDATING on record.
        Scenario("StatusThatCannotBeWrittenStopsBeforeRpm").with([](Scenario& s) {
            RunOptions dir;
            dir.tmpfs = {"/var/lib/updater=16k"};
            for (const std::string spoil : {"mount -o remount,ro /var/lib/updater",
                                            "dd if=/dev/zero of=/var/lib/updater/f bs=1k"}) {
                s.run({"--no-reboot", "--no-md-sig-check"}, 1)
                    .options(dir)
                    .script("echo READY > /var/lib/updater/status\n" + spoil +
                            " 2>/dev/null\n\"$UPDATER\" \"$@\"; code=$?\nls /var/lib/updater > "
                            "/tmp/ls\ncp /var/lib/updater/status /tmp/status\nexit $code\n")
                    .logs(
                        {"WARNING: failed updating status file\n",
                         "ERROR: failed setting status file for launching rpm, cannot continue\n"})
                    .file("/tmp/status", "READY\n")
                    .file("/tmp/ls", spoil[0] == 'd' ? "f\nstatus\nupdate-state\n" : "status\n")
                    .rpms(kBefore)
                    .installer({});
            }
        }),
        Scenario("FailingUpdateHookInstallsNothing")
            .with([](Scenario& s) {
                s.hookExits = {{"update", 3}};
            })
            .run({"--no-reboot"}, 1)
            .logs({"ERROR: hook failed (exit code 3)\n"}, {"updating package(s)"})
            .rpms(kBefore),
        Scenario("HookAndInstallerThatCannotBeExecutedStopNothing")
            .run({"--no-reboot"})
            .put("/usr/libexec/updater/hook", "#!/nonexistent/sh\n")
            .before([](Appliance& a) {
                a.sandbox.writeFile("/usr/libexec/vtxpkg/install", "#!/bin/sh\n", 0644);
            })
            .logs(
                {"ERROR: failed executing '/usr/libexec/updater/hook' (No such file or directory)\n"
                 "WARNING: failed starting hook, continuing anyways\n",
                 "WARNING: failed installing pkg file for dsp-firmware-2.0-1\n"})
            .lacks({"hook failed", "exit code"})
            .count("WARNING: failed starting hook, continuing anyways", 7)
            .rpms(kAfter)
            .ends("READY\n", "COMPLETE\n"),
        Scenario("RpmInterruptedWhileTesting")
            .run({"--test"}, 1)
            .put("/usr/bin/rpm", "#!/bin/sh\nkill -9 $$\n")
            .logs({"INFO: testing package(s) update\n",
                   "WARNING: rpm was interrupted while testing package(s) installation\n"},
                  {"posttest", "packages tested OK"})
            .installer({})
            .rpms(kBefore)
            .ends("READY\n", "PENDING\n")
            .lastHook("failtest 1.17 3 "),
        Scenario("RpmThatCannotBeExecutedIsNotStarted")
            .run({"--no-reboot"}, 1)
            .before([](Appliance& a) { a.sandbox.writeFile("/usr/bin/rpm", "#!/bin/sh\n", 0644); })
            .logs({"ERROR: failed executing 'rpm' (Permission denied)\n"
                   "ERROR: failed starting rpm to install packages, no packages upgraded\n",
                   "INFO: --- RETRY UPDATER ONLY ---\n"},
                  {"package installation FAILED"})
            .installer({})
            .rpms(kBefore)
            .stubs({})
            .ends("READY\n", "PENDING\n")
            .check([](Appliance& a, const RunResult&) {
                const Lines hooks = a.hookCalls();
                ASSERT_EQ(hooks.size(), 4u);
                EXPECT_EQ(hooks[2].rfind("update 1.17 3 ", 0), 0u);
                EXPECT_EQ(hooks[3], "fail" + hooks[2]);
            }),
        Scenario("DevicePackagesOnlyWithOneFailingInstaller")
            .with([](Scenario& s) {
                s.offered = {TestPackage("player-release", "4.0-1")};
                s.offeredDevice = {DevicePackage("dsp-firmware", "2.0-1").content("dsp"),
                                   DevicePackage("gpu-firmware", "3.0-1").content("gpu")};
                s.installedDevice = {DevicePackage("dsp-firmware", "1.0-1"),
                                     DevicePackage("gpu-firmware", "1.0-1")};
                s.installerExits = {{"gpu-firmware", 7}};
            })
            .run({"--no-reboot", "dsp-firmware", "gpu-firmware"}, 1)
            .logs({"ERROR: install of pkg file for gpu-firmware-3.0-1 FAILED (exit code 7)\n",
                   "INFO: install of pkg file for dsp-firmware-2.0-1 succeeded\n", kRetry},
                  {"updating package(s)"})
            // postupdate comes before the installers.
            .hooks({"init 1.17", "download 1.17", "update 1.17 0 0 0", "postupdate 1.17 0 0 0"})
            .installer({kCache + "dsp-firmware-2.0-1.noarch.vtx",
                        kCache + "gpu-firmware-3.0-1.noarch.vtx"}),
        Scenario("LowerFirmwareReleaseInstallsNothing")
            .with([](Scenario& s) {
                s.offered = {TestPackage("player-release", "3.9-1"), TestPackage("app", "2.0-1")};
            })
            .run({"--no-reboot"})
            .logs({"WARNING: available packages are from a lower firmware release, ignoring\n",
                   "INFO: no updates\n"})
            .rpms(kBefore)
            .state("COMPLETE\n"),
        Scenario("RepositoryOfAnotherProductIsRefused")
            .with([](Scenario& s) {
                s.product.replace(s.product.rfind("player-release"), 14, "studio-release");
            })
            .run({"--no-reboot"}, 1)
            .logs({"ERROR: repository is not for this product (missing required package "
                   "'studio-release')\n"},
                  {"UPDATE(S)"})
            .rpms(kBefore)
            .hooks({"init 1.17"})
            .state(""),
        Scenario("BrokenExternalListIsReportedAndTheRunGoesOn")
            .run({"--check-only"})
            .put("/var/run/updater/external.xml", "<metadata><package type=\"vtxpkg\">")
            .logs({"WARNING: failed to load external packages from /var/run/updater/external.xml\n",
                   "INFO: need to update ("},
                  {"loaded external packages"})
            .state("AVAILABLE\n"),
        // Device packages are known only from the external list.
        Scenario("WithoutExternalListNoDevicePackageIsUpdated")
            .with([](Scenario& s) { s.installedDevice.clear(); })
            .run({"--check-only", "--log-level", "debug"})
            .logs({"DEBUG: no /var/run/updater/external.xml to load\n",
                   "INFO: need to update (5 packages):\n"},
                  {"\tdsp-firmware"})
            .state("AVAILABLE\n"),
        // SIGHUP is ignored once the first download started.
        Scenario("HangupDuringTheInstallationIsIgnored")
            .run({"--no-reboot"})
            .put("/usr/libexec/updater/hook",
                 hookOnly + "[ \"$1\" = update ] && kill -HUP $PPID\nexit 0\n")
            .rpms(kAfter),
        // Two termination signals while a hook runs: the first is re-raised at the end.
        Scenario("TerminationDuringTheInstallationIsReraised")
            .run({"--no-reboot"})
            .killedBy(SIGTERM)
            .put("/usr/libexec/updater/hook",
                 hookOnly + "[ \"$1\" = update ] && kill -TERM $PPID && kill -INT $PPID\nexit 0\n")
            .logs({"ERROR: terminated by signal #15: Terminated\n"})
            .rpms(kBefore)
            .reports({{"result", "\"terminated\""},
                      {"signal", "15"},
                      {"exit_code", "1"},
                      {"status", "\"READY\""},
                      {"packages.0", kApp20 + "\"failed\"}"}}),
        // A signal recorded after the last installation: a reboot that was
        // started is a success, one that failed is fatal and the signal is
        // raised again.
        Scenario("TerminationAfterTheLastInstallationStillReboots")
            .run({"app"})
            .put("/usr/libexec/updater/hook",
                 hookOnly + "[ \"$1\" = postupdate ] && kill -TERM $PPID\nexit 0\n")
            .logs({"INFO: --- EXIT OK ---\n"})
            .rpmsHave({"app-2.0-1"})
            .stubs(kReboot)
            .status("REBOOTING\n"),
        Scenario("ShutdownThatCannotStartIsFatal")
            .run({"app"}, 2)
            .before(
                [](Appliance& a) { chmod(a.sandbox.hostPath("/usr/sbin/shutdown").c_str(), 0644); })
            .logs({"FATAL: failed to start reboot process\nINFO: --- EXIT FATAL ---\n"})
            .rpmsHave({"app-2.0-1"})
            .stubs({"telinit u"})
            .status("READY\n"),
        Scenario("InterruptedAndShutdownThatCannotStart")
            .run({"app"})
            .killedBy(SIGINT)
            .put("/usr/libexec/updater/hook",
                 hookOnly + "[ \"$1\" = postupdate ] && kill -INT $PPID\nexit 0\n")
            .before(
                [](Appliance& a) { chmod(a.sandbox.hostPath("/usr/sbin/shutdown").c_str(), 0644); })
            .logs({"FATAL: failed to start reboot process\nINFO: --- EXIT FATAL ---\n"
                   "ERROR: terminated by signal #2: Interrupt\n"})
            .status("READY\n"),
        // A termination signal during the random start delay ends the run before any network
        // access.
        Scenario("TerminationDuringTheStartDelay")
            .run({"--max-wait-time", "100000"})
            .killedBy(SIGTERM)
            .put("/usr/libexec/updater/hook", hookOnly +
                                                  "(while [ \"$(cat /var/lib/updater/status)\" != "
                                                  "DELAYING ]; do sleep 0.01; done\n"
                                                  " kill -TERM $PPID) >/dev/null 2>&1 &\nexit 0\n")
            .logs({" secs before connection\nERROR: wait interrupted\n",
                   "INFO: --- EXIT ERROR ---\n"})
            .ends("READY\n", "")
            .hooks({"init 1.17"})
            .requests("", 0),
    };
    // A pass whose download fails has installed nothing: the updates stay
    // available. Only a failure in the last pass, after the pass before it
    // installed the rest, leaves the update partly done.
    for (const auto& [name, file, state] :
         std::vector<std::tuple<const char*, std::string, const char*>>{
             {"FailedDownloadLeavesTheUpdatesAvailable", "newdep-1.0-1.noarch.rpm", "AVAILABLE\n"},
             {"FailedDownloadOfTheLastPassLeavesTheUpdatePending", "codec-addon-1.1-1.noarch.rpm",
              "PENDING\n"}}) {
        rows.push_back(Scenario(name)
                           .run({"--no-reboot"}, 1)
                           .before([file = file](Appliance& a) {
                               a.server->script("/packages/" + file,
                                                HttpServer::Response::ok("not it"));
                           })
                           .logs({"ERROR: invalid checksum on '" + kCache + file + "'\n"})
                           .rpmsHave({state[0] == 'A' ? "!newdep-1.0-1" : "newdep-1.0-1"})
                           .ends("READY\n", state));
    }
    // A package download that a signal or a power loss interrupts continues in
    // the next run: only the rest is asked for, and the package installs.
    auto slowApp = [](Appliance& a) {
        HttpServer::Response slow = servedApp(a);
        slow.slowChunk = 64 * 1024;
        slow.slowDelay = 0.3;
        a.server->script("/" + kApp, slow);
    };
    auto held = std::make_shared<size_t>(0);
    rows.push_back(largeApp("InterruptedDownloadContinuesInTheNextRun")
                       .run({"--no-reboot", "--no-md-sig-check"})
                       .before(slowApp)
                       .script(stopWhenHolding(200000, "TERM"))
                       .killedBy(SIGTERM)
                       .rpms(kBefore)
                       .run({"--no-reboot", "--no-md-sig-check"})
                       .before(slowApp)
                       .script(stopWhenHolding(600000, "KILL"))
                       .killedBy(SIGKILL)
                       .status("DOWNLOADING\n")
                       .run({"--no-reboot"})
                       .before([held](Appliance& a) {
                           a.server->clear();
                           a.server->script("/" + kApp, servedApp(a));
                           *held = a.sandbox.readFile(kAppPart).size();
                           ASSERT_GE(*held, 600000u);
                           ASSERT_TRUE(a.sandbox.readFile(kAppPart) == appFile(a).substr(0, *held));
                       })
                       .rpms(kAfter)
                       .absent({kAppPart, kAppPart + ".validator"})
                       .check([held](Appliance& a, const RunResult& r) {
                           const std::string from = std::to_string(*held);
                           EXPECT_EQ(appRanges(a), Lines{"bytes=" + from + "-"});
                           EXPECT_TRUE(r.errHas("INFO: continuing '" + kApp + "' at byte " + from))
                               << r.describe();
                       }));
    // What the cache holds cannot be continued: the package comes whole.
    const std::string again = "INFO: '" + kApp + "' starts again from its first byte\n";
    const std::string refused =
        "INFO: cannot continue '" + kApp + "' at byte 500000, starting again\n";
    const std::vector<
        std::tuple<const char*, size_t, std::function<void(Appliance&)>, Lines, std::string>>
        restarts = {
            {"ServerIgnoringRangesSendsTheWholePackage",
             500000,
             [](Appliance& a) {
                 HttpServer::Response whole = servedApp(a);
                 whole.ranges = false;
                 a.server->script("/" + kApp, whole);
             },
             {"bytes=500000-"},
             again},
            {"ChangedETagSendsTheWholePackage",
             500000,
             [](Appliance& a) { a.server->script("/" + kApp, servedApp(a, "\"v2\"")); },
             {"bytes=500000-"},
             again},
            {"RangeNotSatisfiableStartsAgain",
             500000,
             [](Appliance& a) {
                 a.server->script("/" + kApp,
                                  {HttpServer::Response::withStatus(416), servedApp(a)});
             },
             {"bytes=500000-", ""},
             refused},
            {"PartialFileLongerThanDeclaredStartsAgain",
             0,
             [](Appliance& a) { a.server->script("/" + kApp, servedApp(a)); },
             {""},
             "bytes, more than the "},
        };
    for (const auto& [name, prefix, serve, ranges, line] : restarts) {
        rows.push_back(largeApp(name)
                           .run({"--no-reboot"})
                           .before([prefix = prefix, serve = serve](Appliance& a) {
                               const std::string file = appFile(a);
                               a.sandbox.writeFile(kAppPart, prefix ? file.substr(0, prefix)
                                                                    : file + "trailing bytes");
                               a.sandbox.writeFile(kAppPart + ".validator", "\"v1\"\n");
                               serve(a);
                           })
                           .logs({line})
                           .rpms(kAfter)
                           .absent({kAppPart})
                           .check([ranges = ranges](Appliance& a, const RunResult&) {
                               EXPECT_EQ(appRanges(a), ranges);
                           }));
    }
    // Problems of telinit are only warnings: the shutdown is scheduled all the same.
    for (const auto& [name, telinit, line] :
         std::vector<std::tuple<const char*, const char*, const char*>>{
             {"FailingTelinitIsAWarning", "#!/bin/sh\nexit 1\n",
              "WARNING: failed re-execing init (exit code 1)\n"},
             {"KilledTelinitIsAWarning", "#!/bin/sh\nkill -9 $$\n",
              "WARNING: telinit was interrupted\n"},
             {"TelinitThatCannotBeExecutedIsAWarning", "exit 0\n",
              "WARNING: failed to call telinit\n"}}) {
        rows.push_back(Scenario(name)
                           .run({"app"})
                           .put("/usr/sbin/telinit", telinit)
                           .logs({line}, {"FATAL"})
                           .stubs({kReboot[1]})
                           .status("REBOOTING\n"));
    }
    return rows;
}

}  // namespace

TEST_P(Scenarios, Run) {
    runScenario(GetParam());
}

SCENARIOS(UpdateRun, rows());
