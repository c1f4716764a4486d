// What an appliance maker works with: the manual pages and
// scripts/publish-repo.sh, whose repositories the real updater must accept
// with every check on, and refuse once tampered with.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "driver/appliance.h"
#include "harness/command.h"

namespace {

const std::string kSource = SOURCE_DIR;

TEST(ManualPages, RenderWithoutWarningsAndDocumentEveryOptionStatusAndSetting) {
    // Every option the program lists in its help, and the words operators look for.
    CommandResult help = runCommand({Sandbox::updaterBinary(), "--help"});
    ASSERT_EQ(help.status, 0) << help.output;
    std::string options;
    std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(help.output.begin(), help.output.end(), option);
         it != std::sregex_iterator(); ++it) {
        options += it->str() + " ";
    }
    EXPECT_GE(std::count(options.begin(), options.end(), ' '), 22);
    const std::pair<std::string, std::string> pages[] = {
        {"updater.8",
         options + "READY DELAYING ANALYZING DOWNLOADING TESTING UPDATING PKGSDONE CORRUPTED "
                   "REBOOTING AVAILABLE PENDING COMPLETE init download posttest postupdate "
                   "failtest failupdate no-stop EXIT%STATUS EXAMPLES "
                   "/var/lib/updater/status /var/run/updater.norun RETRY%UPDATER%ONLY"},
        {"updater.conf.5",
         "<log%level= <logger%type=\"syslog\"> <facility> <repository%id= enabled= "
         "<location%href= <product> <release> <fw-upgrade-pkg> <addons> <group> <preliminary> "
         "<repo-required> <user-agent> <base> <prodname> <tls%ca-file= system-ca= client-key "
         "proxyconf bypassLocalNetwork "
         "creditentials xlink:href realm tlq100 LAYERS "
         "/usr/share/resources/default/updater/defaults.conf"}};
    for (const auto& page : pages) {
        const std::string file = kSource + "/docs/man/" + page.first;
        CommandResult warnings = runShell("man --warnings -l '" + file + "' >/dev/null");
        EXPECT_EQ(warnings.status, 0) << file;
        EXPECT_EQ(warnings.output, "") << file;
        CommandResult text =
            runShell("man -l '" + file + "' 2>/dev/null", {{"LC_ALL", "C"}, {"MANWIDTH", "250"}});
        std::istringstream words(page.second);
        for (std::string word; words >> word;) {
            std::replace(word.begin(), word.end(), '%', ' ');
            EXPECT_NE(text.output.find(word), std::string::npos) << page.first << ": " << word;
        }
    }
}

// A site: its signing key, a folder of new RPMs and a folder of device packages.
class Publishing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(key.valid());
        ASSERT_EQ(a.builder
                      .build({TestPackage("app", "2.0-1").require("newdep").payload(2000),
                              TestPackage("newdep", "1.0-1").payload(300)},
                             rpms)
                      .size(),
                  2u);
        DevicePackage dsp = DevicePackage("dsp-firmware", "2.0-1").content("dsp firmware 2.0");
        writeHostFile(devices + "/vtxdata.xml", deviceListXml({dsp}));
        writeHostFile(devices + "/" + dsp.location(), dsp.m_sContent);
    }

    CommandResult publish(std::vector<std::string> args) {
        args.insert(args.begin(), kSource + "/scripts/publish-repo.sh");
        return runCommand(args, {{"GNUPGHOME", key.home()}});
    }

    Appliance a;
    TestKey key{"Site Signing Key", a.work.file("key")};
    const std::string rpms = a.work.file("rpms");
    const std::string devices = a.work.file("devices");
};

TEST_F(Publishing, RepositoryIsAcceptedWithEveryCheckOnAndRefusedWhenAPackageIsReplaced) {
    // The appliance as installed: the packaged example configuration (USB
    // storage, syslog), the site's key imported, a firmware meeting the
    // repository's requirement.
    a.install({TestPackage("updater", "1.17-1"), TestPackage("app", "1.0-1"),
               TestPackage("base-system", "1.0-1").provide("/bin/sh")});
    a.installDevicePackages({DevicePackage("dsp-firmware", "1.0-1")});
    a.writeHook();
    a.writeDeviceInstaller();
    a.sandbox.writeConfig(readHostFile(kSource + "/packaging/updater.conf"));
    a.sandbox.writeFile("/etc/os-release", "NAME=\"Player OS\"\nVERSION_ID=4.2\n");
    ASSERT_TRUE(importKey(a.sandbox.rpmDbPath(), key.publicKeyFile()));
    a.checkIndexSignature = true;

    // Lists compressed with xz, SHA-512 checksums (the defaults:
    // package_rpm_test).
    const std::string repo = a.sandbox.hostPath("/var/lib/updater/mnt-usb-updates");
    CommandResult p =
        publish({"--key", key.name(), "--requirements", "os-update-requirement/firmware >= 4.0",
                 "--device-packages", devices, "--compress-type", "xz", "--checksum", "sha512",
                 rpms, repo});
    ASSERT_EQ(p.status, 0) << p.output;
    EXPECT_NE(p.output.find("published 3 signed package(s)"), std::string::npos) << p.output;
    const std::string index = readHostFile(repo + "/repodata/repomd.xml");
    for (const char* text : {"-primary.xml.xz\"", "-vtxdata.xml.xz\"", "type=\"sha512\""}) {
        EXPECT_NE(index.find(text), std::string::npos) << text << "\n" << index;
    }
    EXPECT_EQ(index.find("type=\"sha256\""), std::string::npos) << index;
    CommandResult needs = runShell("rpm -qp --requires '" + repo +
                                   "'/packages/os-update-requirements-1-*.noarch.rpm");
    EXPECT_NE(needs.output.find("os-update-requirement/firmware >= 4.0"), std::string::npos)
        << needs.output;

    // One package replaced after publishing: same name and version, other content.
    const std::string published = repo + "/packages/app-2.0-1.noarch.rpm";
    const std::string original = readHostFile(published);
    writeHostFile(published, readHostFile(a.builder.build(
                                 TestPackage("app", "2.0-1").require("newdep").payload(2001),
                                 a.work.file("forged"))));
    RunResult refused = a.update({"--no-reboot", "--log-to-stderr"});
    EXPECT_EQ(refused.exitCode, 1) << refused.describe();
    // Refused by its checksum, or at the list's size when it came out longer.
    EXPECT_TRUE(
        refused.errHas("ERROR: invalid checksum on "
                       "'/var/cache/updater/local-usb/packages/app-2.0-1.noarch.rpm'\n") ||
        refused.errHas("ERROR: failed getting package 'packages/app-2.0-1.noarch.rpm' from "
                       "repository\n"))
        << refused.describe();
    const Lines before = {"app-1.0-1", "base-system-1.0-1", "updater-1.17-1"};
    EXPECT_EQ(a.installed(), before);
    EXPECT_TRUE(a.installerCalls().empty());

    // As published, the same appliance takes the update: signed packages, a
    // signed index, the requirement met, the device package. The run logs to
    // syslog only, as the example configuration says.
    writeHostFile(published, original);
    RunResult r = a.update({"--no-reboot"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::any_of(r.syslog.begin(), r.syslog.end(), [](const SyslogRecord& record) {
        return record.text == "packages installed OK";
    }));
    EXPECT_EQ(a.installed(),
              (Lines{"app-2.0-1", "base-system-1.0-1", "newdep-1.0-1", "updater-1.17-1"}));
    ASSERT_EQ(a.installerCalls().size(), 1u);
    EXPECT_NE(a.installerCalls()[0].find("dsp-firmware-2.0-1.noarch.vtx"), std::string::npos);
}

TEST_F(Publishing, FailsClearlyAndPublishesNothing) {
    const std::string empty = a.work.file("empty");
    const std::string damaged = a.work.file("damaged");
    const std::string badDevices = a.work.file("bad-devices");
    makeDirs(empty);
    writeHostFile(damaged + "/broken-1.0-1.noarch.rpm", "not a package");
    writeHostFile(badDevices + "/vtxdata.xml",
                  deviceListXml({DevicePackage("dsp-firmware", "2.0-1").content("x")}));
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--key", "No Such Key", rpms}, "publish-repo: no secret key 'No Such Key' in GNUPGHOME"},
        {{"--key", key.name(), empty}, "publish-repo: no RPM packages in '" + empty + "'"},
        {{"--key", key.name(), damaged}, "publish-repo: could not sign '"},
        {{"--key", key.name(), "--device-packages", badDevices, rpms},
         "publish-repo: device package 'vtxpkg/dsp-firmware-2.0-1.noarch.vtx' named by the list "
         "is missing"},
        {{"--key", key.name(), "--device-packages", empty, rpms},
         "publish-repo: no device list '" + empty + "/vtxdata.xml'"},
        {{"--key", key.name(), "--compress-type", "zck", rpms},
         "publish-repo: compression 'zck' is not one of gz, xz, bz2, zstd"},
        {{"--key", key.name(), "--checksum", "md5", rpms},
         "publish-repo: checksum type 'md5' is not one of sha1, sha224, sha256, sha384, sha512"},
        {{rpms}, ""},  // no key: a usage error
    };
    for (const auto& c : cases) {
        const std::string repo = a.work.file("repo" + std::to_string(&c - cases));
        std::vector<std::string> args = c.first;
        args.push_back(repo);
        CommandResult r = publish(args);
        EXPECT_EQ(r.status, c.second.empty() ? 2 : 1) << r.output;
        EXPECT_NE(r.output.find(c.second), std::string::npos) << r.output;
        EXPECT_EQ(readHostFile(repo + "/repodata/repomd.xml"), "") << c.second;
    }
}

}  // namespace
