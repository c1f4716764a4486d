// What an appliance maker works with: the manual pages, the example
// configuration and scripts/publish-repo.sh, whose repositories the real
// updater must accept with every check on, and refuse once tampered with.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "driver/appliance.h"
#include "harness/command.h"

namespace {

const std::string kSource = SOURCE_DIR;
const std::string kPublish = kSource + "/scripts/publish-repo.sh";
const char* kUsbRepo = "/var/lib/updater/mnt-usb-updates";

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The manual page as a reader sees it, in plain ASCII on one long line width.
std::string renderManPage(const std::string& file) {
    CommandResult r = runShell("man -l '" + file + "' 2>/dev/null",
                               {{"LC_ALL", "C"}, {"MANWIDTH", "250"}, {"MAN_KEEP_FORMATTING", ""}});
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

TEST(ManualPages, RenderWithoutWarningsAndDocumentEveryOptionStatusAndHook) {
    const std::string page8 = kSource + "/docs/man/updater.8";
    const std::string page5 = kSource + "/docs/man/updater.conf.5";
    for (const std::string& page : {page8, page5}) {
        CommandResult r = runShell("man --warnings -l '" + page + "' >/dev/null");
        EXPECT_EQ(r.status, 0) << page;
        EXPECT_EQ(r.output, "") << page;
    }

    std::string text = renderManPage(page8);
    // Every option the program itself lists in its help.
    CommandResult help = runCommand({Sandbox::updaterBinary(), "--help"});
    ASSERT_EQ(help.status, 0) << help.output;
    std::set<std::string> options;
    std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(help.output.begin(), help.output.end(), option);
         it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    EXPECT_GE(options.size(), 22u);
    for (const std::string& name : options) {
        EXPECT_NE(text.find(name), std::string::npos) << name << " is not documented";
    }
    for (const char* word : {"READY",
                             "DELAYING",
                             "ANALYZING",
                             "DOWNLOADING",
                             "TESTING",
                             "UPDATING",
                             "PKGSDONE",
                             "CORRUPTED",
                             "REBOOTING",
                             "AVAILABLE",
                             "PENDING",
                             "COMPLETE",
                             "init",
                             "download",
                             "posttest",
                             "postupdate",
                             "failtest",
                             "failupdate",
                             "no-stop",
                             "EXIT STATUS",
                             "EXAMPLES",
                             "/var/lib/updater/status",
                             "/var/run/updater.norun",
                             "RETRY UPDATER ONLY"}) {
        EXPECT_NE(text.find(word), std::string::npos) << word;
    }

    std::string conf = renderManPage(page5);
    for (const char* word : {"<log level=",
                             "<logger type=\"syslog\">",
                             "<facility>",
                             "<repository id=",
                             "enabled=",
                             "<location href=",
                             "<product>",
                             "<release>",
                             "<fw-upgrade-pkg>",
                             "<addons>",
                             "<group>",
                             "<preliminary>",
                             "<repo-required>",
                             "<user-agent>",
                             "<base>",
                             "<prodname>",
                             "proxyconf",
                             "bypassLocalNetwork",
                             "creditentials",
                             "xlink:href",
                             "realm",
                             "tlq100",
                             "LAYERS",
                             "/usr/share/resources/default/updater/defaults.conf"}) {
        EXPECT_NE(conf.find(word), std::string::npos) << word;
    }
}

// A site: its signing key, a folder of new RPMs and a folder of device packages.
class Publishing : public ::testing::Test {
protected:
    Publishing() : key("Site Signing Key", a.work.file("key")) {}

    void SetUp() override {
        ASSERT_TRUE(key.valid());
        PackageBuilder builder(a.work.file("site-build"));
        rpms = a.work.file("rpms");
        ASSERT_EQ(builder
                      .build({TestPackage("app", "2.0-1").require("newdep").payload(2000),
                              TestPackage("newdep", "1.0-1").payload(300)},
                             rpms)
                      .size(),
                  2u);
        DevicePackage dsp = DevicePackage("dsp-firmware", "2.0-1").content("dsp firmware 2.0");
        devices = a.work.file("devices");
        writeHostFile(devices + "/vtxdata.xml", deviceListXml({dsp}));
        writeHostFile(devices + "/" + dsp.location(), dsp.m_sContent);
    }

    CommandResult publish(std::vector<std::string> args) {
        args.insert(args.begin(), kPublish);
        return runCommand(args, {{"GNUPGHOME", key.home()}});
    }

    Appliance a;
    TestKey key;
    std::string rpms;
    std::string devices;
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

    std::string repo = a.sandbox.hostPath(kUsbRepo);
    CommandResult p =
        publish({"--key", key.name(), "--requirements", "os-update-requirement/firmware >= 4.0",
                 "--device-packages", devices, rpms, repo});
    ASSERT_EQ(p.status, 0) << p.output;
    EXPECT_NE(p.output.find("published 3 signed package(s)"), std::string::npos) << p.output;
    for (const char* file : {"app-2.0-1.noarch.rpm", "newdep-1.0-1.noarch.rpm"}) {
        CommandResult sig =
            runCommand({"rpm", "-qp", "--qf", "%{RSAHEADER:pgpsig}", repo + "/packages/" + file});
        EXPECT_NE(sig.output.find("Key ID " + key.keyId()), std::string::npos) << sig.output;
    }
    CommandResult req = runShell("rpm -qp --requires '" + repo +
                                 "'/packages/os-update-requirements-1-*.noarch.rpm");
    EXPECT_NE(req.output.find("os-update-requirement/firmware >= 4.0"), std::string::npos)
        << req.output;
    EXPECT_TRUE(
        readHostFile(repo + "/repodata/repomd.xml.asc").rfind("-----BEGIN PGP SIGNATURE-----", 0) ==
        0);
    EXPECT_TRUE(a.sandbox.exists(std::string(kUsbRepo) + "/vtxpkg/dsp-firmware-2.0-1.noarch.vtx"));

    // One package replaced after publishing: same name and version, other content.
    const std::string published = repo + "/packages/app-2.0-1.noarch.rpm";
    ASSERT_EQ(runCommand({"cp", published, a.work.file("app-as-published.rpm")}).status, 0);
    PackageBuilder other(a.work.file("other-build"));
    std::string forged =
        other.build(TestPackage("app", "2.0-1").require("newdep").payload(2001), a.work.file("f"));
    ASSERT_EQ(runCommand({"cp", forged, published}).status, 0);
    RunResult refused = a.update({"--no-reboot", "--log-to-stderr"});
    EXPECT_EQ(refused.exitCode, 1) << refused.describe();
    EXPECT_TRUE(
        refused.errHas("ERROR: invalid checksum on "
                       "'/var/cache/updater/local-usb/packages/app-2.0-1.noarch.rpm'\n"))
        << refused.describe();
    EXPECT_TRUE(contains(a.installed(), "app-1.0-1"));
    EXPECT_FALSE(contains(a.installed(), "newdep-1.0-1"));
    EXPECT_TRUE(a.installerCalls().empty());

    // As published, the same appliance takes the update. The run logs to
    // syslog only, as the example configuration says.
    ASSERT_EQ(runCommand({"cp", a.work.file("app-as-published.rpm"), published}).status, 0);
    RunResult r = a.update({"--no-reboot"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.err, "");
    bool installedLine = false;
    for (const SyslogRecord& record : r.syslog) {
        installedLine = installedLine || record.text == "packages installed OK";
    }
    EXPECT_TRUE(installedLine);
    EXPECT_TRUE(contains(a.installed(), "app-2.0-1"));
    EXPECT_TRUE(contains(a.installed(), "newdep-1.0-1"));
    EXPECT_FALSE(contains(a.installed(), "os-update-requirements-1"));
    ASSERT_EQ(a.installerCalls().size(), 1u);
    EXPECT_NE(a.installerCalls()[0].find("dsp-firmware-2.0-1.noarch.vtx"), std::string::npos);
}

TEST_F(Publishing, FailsClearlyAndPublishesNothing) {
    std::string empty = a.work.file("empty");
    makeDirs(empty);
    std::string damaged = a.work.file("damaged");
    writeHostFile(damaged + "/broken-1.0-1.noarch.rpm", "not a package");
    std::string badDevices = a.work.file("bad-devices");
    writeHostFile(badDevices + "/vtxdata.xml",
                  deviceListXml({DevicePackage("dsp-firmware", "2.0-1").content("x")}));

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--key", "No Such Key", rpms}, "publish-repo: no secret key 'No Such Key' in GNUPGHOME"},
        {{"--key", key.name(), empty}, "publish-repo: no RPM packages in '" + empty + "'"},
        {{"--key", key.name(), damaged}, "publish-repo: could not sign '"},
        {{"--key", key.name(), "--device-packages", badDevices, rpms},
         "publish-repo: device package 'vtxpkg/dsp-firmware-2.0-1.noarch.vtx' named by the list "
         "is missing"},
        {{"--key", key.name(), "--device-packages", empty, rpms},
         "publish-repo: no device list '" + empty + "/vtxdata.xml'"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string repo = a.work.file("repo" + std::to_string(n++));
        std::vector<std::string> args = c.args;
        args.push_back(repo);
        CommandResult r = publish(args);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(readHostFile(repo + "/repodata/repomd.xml"), "") << c.message;
    }
    CommandResult usage = publish({rpms, a.work.file("repo")});
    EXPECT_EQ(usage.status, 2) << usage.output;
}

}  // namespace
