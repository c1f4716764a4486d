// The updater's own RPM as scripts/package.sh builds it (the ctest fixture
// packaging_build_rpms makes it once, and once more with a newer version):
// what it installs, that systemd and man accept what it installs, and that an
// appliance updates itself to the newer package through the updater-only retry.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "driver/appliance.h"
#include "harness/command.h"
#include "support/version.h"

namespace {

const std::string kSource = SOURCE_DIR;
const std::string kPackages = PACKAGE_DIR;
const std::string kNewerVersion = NEWER_VERSION;

using Lines = std::vector<std::string>;

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The one package file of the folder whose name starts and ends as given:
// the source package, or (suffix ".rpm") the binary one.
std::string findPackage(const std::string& dir, const std::string& prefix,
                        const std::string& suffix) {
    std::string found;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind(prefix, 0) == 0 && endsWith(name, suffix) &&
                (suffix != ".rpm" || !endsWith(name, ".src.rpm"))) {
                EXPECT_EQ(found, "") << "two packages in " << dir;
                found = dir + "/" + name;
            }
        }
        closedir(d);
    }
    EXPECT_NE(found, "") << "no " << prefix << "*" << suffix << " in " << dir;
    return found;
}

std::string binaryRpm(const std::string& dir, const std::string& version) {
    return findPackage(dir, "updater-" + version + "-1.", ".rpm");
}

// Paths without the compression suffix man pages may get.
std::string withoutGz(std::string path) {
    if (endsWith(path, ".gz")) {
        path.resize(path.size() - 3);
    }
    return path;
}

std::set<std::string> rpmFiles(const std::string& rpm) {
    std::set<std::string> files;
    for (const std::string& line : splitLines(runCommand({"rpm", "-qlp", rpm}).output)) {
        if (line.rfind("/usr/share/doc/", 0) != 0) {
            files.insert(withoutGz(line));
        }
    }
    return files;
}

std::set<std::string> treeFiles(const std::string& root) {
    std::set<std::string> files;
    std::function<void(const std::string&)> walk = [&](const std::string& rel) {
        DIR* d = opendir((root + rel).c_str());
        if (d == nullptr) {
            return;
        }
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            std::string path = rel + "/" + name;
            // Folders of the system itself are not the package's.
            static const std::set<std::string> shared = {"/etc",
                                                         "/usr",
                                                         "/usr/sbin",
                                                         "/usr/lib",
                                                         "/usr/lib/systemd",
                                                         "/usr/lib/systemd/system",
                                                         "/usr/libexec",
                                                         "/usr/share",
                                                         "/usr/share/man",
                                                         "/usr/share/man/man5",
                                                         "/usr/share/man/man8",
                                                         "/var",
                                                         "/var/lib",
                                                         "/var/cache",
                                                         "/var/log"};
            if (shared.count(path) == 0) {
                files.insert(withoutGz(path));
            }
            if (e->d_type == DT_DIR) {
                walk(path);
            }
        }
        closedir(d);
    };
    walk("");
    return files;
}

TEST(UpdaterPackage, InstallsTheProgramConfigurationUnitsAndManualPages) {
    const std::string rpm = binaryRpm(kPackages + "/current", UPDATER_VERSION);
    const std::string srpm = findPackage(
        kPackages + "/current", std::string("updater-") + UPDATER_VERSION + "-1.", ".src.rpm");
    EXPECT_EQ(runCommand({"rpm", "-qp", "--qf", "%{NAME} %{VERSION}-%{RELEASE}", rpm}).output,
              std::string("updater ") + UPDATER_VERSION + "-1");

    const std::set<std::string> expected = {"/usr/sbin/updater",
                                            "/etc/updater.conf",
                                            "/usr/lib/systemd/system/updater.service",
                                            "/usr/lib/systemd/system/updater.timer",
                                            "/usr/libexec/updater",
                                            "/var/lib/updater",
                                            "/var/lib/updater/mnt-usb-updates",
                                            "/var/cache/updater",
                                            "/var/log/updater",
                                            "/usr/share/man/man8/updater.8",
                                            "/usr/share/man/man5/updater.conf.5"};
    EXPECT_EQ(rpmFiles(rpm), expected);
    // The only configuration file, kept when the site changed it.
    EXPECT_EQ(runCommand({"rpm", "-qcp", rpm}).output, "/etc/updater.conf\n");
    CommandResult flags =
        runCommand({"rpm", "-qp", "--qf", "[%{FILENAMES} %{FILEFLAGS:fflags}\n]", rpm});
    EXPECT_NE(flags.output.find("/etc/updater.conf cn\n"), std::string::npos) << flags.output;

    // rpmlint finds no error in the packages as a site publishes them: signed,
    // with the key known to rpm.
    ScratchDir lint("lint");
    TestKey key("Site Signing Key", lint.file("key"));
    ASSERT_TRUE(key.valid());
    makeDirs(lint.file("rpms"));
    ASSERT_EQ(runCommand({"cp", rpm, srpm, lint.file("rpms")}).status, 0);
    CommandResult p = runCommand({kSource + "/scripts/publish-repo.sh", "--key", key.name(),
                                  lint.file("rpms"), lint.file("repo")},
                                 {{"GNUPGHOME", key.home()}});
    ASSERT_EQ(p.status, 0) << p.output;
    const std::string signedSrpm = lint.file("rpms/") + srpm.substr(srpm.rfind('/') + 1);
    CommandResult s =
        runCommand({"rpmsign", "--addsign", "--define", "__gpg /usr/bin/gpg", "--define",
                    "_gpg_name " + key.name(), "--define", "_gpg_path " + key.home(), signedSrpm});
    ASSERT_EQ(s.status, 0) << s.output;
    writeHostFile(lint.file("home/.rpmmacros"), "%_dbpath " + lint.file("home/rpmdb") + "\n");
    ASSERT_TRUE(importKey(lint.file("home/rpmdb"), key.publicKeyFile()));
    CommandResult l =
        runCommand({"rpmlint", lint.file("repo/packages/") + rpm.substr(rpm.rfind('/') + 1),
                    signedSrpm, kSource + "/packaging/updater.spec"},
                   {{"HOME", lint.file("home")}});
    EXPECT_NE(l.output.find(" 0 errors,"), std::string::npos) << l.output;

    // cmake --install gives the same layout (/usr is the default prefix of a
    // new build tree).
    ScratchDir dest("install");
    CommandResult install = runCommand({"cmake", "--install", BINARY_DIR, "--prefix", "/usr"},
                                       {{"DESTDIR", dest.path()}});
    ASSERT_EQ(install.status, 0) << install.output;
    EXPECT_EQ(treeFiles(dest.path()), expected);

    // Installed on an appliance, systemd accepts the units and man finds the pages.
    Sandbox sandbox;
    sandbox.hide("/usr/bin/systemctl");
    RunOptions rpmProgram;
    rpmProgram.program = "/usr/bin/rpm";
    ASSERT_TRUE(initRpmDb(sandbox.rpmDbPath()));
    RunResult r = sandbox.run({"-i", "--nodeps", rpm}, rpmProgram);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(sandbox.readFile("/etc/updater.conf"),
              readHostFile(kSource + "/packaging/updater.conf"));
    RunOptions analyze;
    analyze.program = "/usr/bin/systemd-analyze";
    r = sandbox.run({"verify", "/usr/lib/systemd/system/updater.service",
                     "/usr/lib/systemd/system/updater.timer"},
                    analyze);
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.err, "") << r.describe();
    EXPECT_NE(sandbox.readFile("/usr/lib/systemd/system/updater.service")
                  .find("\nExecStart=/usr/sbin/updater\n"),
              std::string::npos);
    RunOptions man;
    man.program = "/usr/bin/man";
    man.env = {{"LC_ALL", "C"}, {"MANWIDTH", "200"}};
    for (const auto& page : std::vector<std::pair<std::string, std::string>>{
             {"8", "updater - keep the appliance software up to date"},
             {"5", "updater.conf - configuration of the appliance software updater"}}) {
        r = sandbox.run(
            {"--warnings", "-P", "cat", page.first, page.first == "8" ? "updater" : "updater.conf"},
            man);
        EXPECT_EQ(r.exitCode, 0) << r.describe();
        EXPECT_NE(r.out.find(page.second), std::string::npos) << r.describe();
    }
}

// Builds a package that provides what the updater's package requires of the
// system (libraries, rpm, gnupg, a shell), as the appliance's base system does.
TestPackage baseSystemFor(const std::string& rpm) {
    TestPackage base("base-system", "1.0-1");
    for (const std::string& dep :
         splitLines(runCommand({"rpm", "-qp", "--requires", rpm}).output)) {
        if (dep.rfind("rpmlib(", 0) != 0) {
            base.provide(dep);
        }
    }
    return base;
}

TEST(UpdaterPackage, ApplianceUpdatesItselfThroughTheUpdaterOnlyRetry) {
    const std::string current = binaryRpm(kPackages + "/current", UPDATER_VERSION);
    const std::string newer = binaryRpm(kPackages + "/newer", kNewerVersion);
    Appliance a;
    a.sandbox.hide("/usr/bin/systemctl");
    a.install({baseSystemFor(newer), TestPackage("app", "1.0-1")});
    RunOptions rpmProgram;
    rpmProgram.program = "/usr/bin/rpm";
    RunResult r = a.sandbox.run({"-i", current}, rpmProgram);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    a.writeHook();

    // The site publishes an application that needs a newer updater, and
    // that updater, signed with its key, which the appliance trusts.
    TestKey key("Site Signing Key", a.work.file("key"));
    ASSERT_TRUE(key.valid());
    PackageBuilder builder(a.work.file("site-build"));
    std::string rpms = a.work.file("rpms");
    ASSERT_EQ(
        builder
            .build(TestPackage("app", "2.0-1").require("updater-running >= " + kNewerVersion), rpms)
            .empty(),
        false);
    ASSERT_EQ(runCommand({"cp", newer, rpms + "/"}).status, 0);
    std::string repo = a.work.file("published");
    CommandResult p =
        runCommand({kSource + "/scripts/publish-repo.sh", "--key", key.name(), rpms, repo},
                   {{"GNUPGHOME", key.home()}});
    ASSERT_EQ(p.status, 0) << p.output;
    ASSERT_TRUE(importKey(a.sandbox.rpmDbPath(), key.publicKeyFile()));
    HttpServer::Options serve;
    serve.root = repo;
    a.server = std::make_unique<HttpServer>(serve);
    a.configure();
    const std::string siteConfig = a.sandbox.readFile("/etc/updater.conf");

    r = a.update({"--no-reboot"});
    EXPECT_TRUE(r.errHas(
        "ERROR: newer updater required to install: updater-running >= " + kNewerVersion + "\n"))
        << r.describe();
    EXPECT_TRUE(
        r.errHas("ERROR: failed updating, will try updating updater only\n"
                 "INFO: --- RETRY UPDATER ONLY ---\n"));
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    Lines hooks = a.hookCalls();
    ASSERT_FALSE(hooks.empty());
    EXPECT_EQ(std::count_if(hooks.begin(), hooks.end(),
                            [](const std::string& h) {
                                return h.rfind(std::string("update ") + UPDATER_VERSION + " 1 ",
                                               0) == 0 &&
                                       endsWith(h, " no-stop");
                            }),
              1)
        << r.describe();
    Lines installed = a.installed();
    EXPECT_TRUE(contains(installed, "updater-" + kNewerVersion + "-1"));
    EXPECT_FALSE(contains(installed, std::string("updater-") + UPDATER_VERSION + "-1"));
    EXPECT_TRUE(contains(installed, "app-1.0-1"));
    EXPECT_EQ(a.updateState(), "PENDING\n");
    // The site's configuration stays as it was.
    EXPECT_EQ(a.sandbox.readFile("/etc/updater.conf"), siteConfig);
    EXPECT_FALSE(a.sandbox.exists("/etc/updater.conf.rpmnew"));

    // The next run is made by the new updater, which can install the application.
    RunOptions installedUpdater;
    installedUpdater.program = "/usr/sbin/updater";
    r = a.update({"--no-reboot"}, installedUpdater);
    EXPECT_TRUE(r.errHas("INFO: updater version " + kNewerVersion + ", product \n"))
        << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(contains(a.installed(), "app-2.0-1"));
    EXPECT_EQ(a.updateState(), "COMPLETE\n");
}

}  // namespace
