// The real binary against a hostile mirror, a man in the middle, a tampered
// USB stick and a damaged cache: each attack ends in a clear refusal, with
// bounded memory, nothing written or deleted outside the cache and no forged
// log lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "appliance.h"
#include "harness/command.h"

namespace {

constexpr const char* kCache = "/var/cache/updater/base/";

// An entity of 100 kB referenced 20,000 times: 2 GB once expanded.
std::string entityBomb(const std::string& root) {
    return "<!DOCTYPE " + root + " [<!ENTITY big \"" + std::string(100000, 'x') + "\">]>";
}

std::string bigReferences() {
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text += "&big;";
    }
    return text;
}

std::string afterDeclaration(const std::string& xml, const std::string& insert) {
    const size_t declarationEnd = xml.find("?>");
    return declarationEnd == std::string::npos
               ? insert + xml
               : xml.substr(0, declarationEnd + 2) + "\n" + insert + xml.substr(declarationEnd + 2);
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        a.install({TestPackage("updater", "1.17-1"), TestPackage("app", "1.0-1")});
        a.writeHook();
        a.writeDeviceInstaller();
        a.repo.add({TestPackage("app", "2.0-1"), TestPackage("updater", "1.17-1")});
    }

    std::string primaryXml() const {
        return runShell("zcat '" + a.repo.listFile("primary") + "'").output;
    }

    // The primary list with app's location replaced.
    void setAppLocation(const std::string& href) {
        std::string xml = primaryXml();
        const std::string old = "href=\"" + RepoBuilder::rpmLocation(TestPackage("app", "2.0-1"));
        const size_t at = xml.find(old);
        ASSERT_NE(at, std::string::npos) << xml;
        xml.replace(at, old.size(), "href=\"" + href);
        a.repo.replaceList("primary", xml, true);
    }

    Appliance a;
};

TEST_F(Hostile, EntityBombsAreRefusedWithBoundedMemory) {
    ASSERT_TRUE(a.repo.build());
    const std::string cleanIndex = readHostFile(a.repo.indexFile());
    const std::string cleanPrimary = primaryXml();
    const struct {
        const char* name;
        bool index;
    } cases[] = {
        {"repomd.xml", true},
        {"package name in primary.xml.gz", false},
    };
    a.publish();
    a.configure();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeHostFile(a.repo.indexFile(), cleanIndex);
        a.repo.replaceList("primary", cleanPrimary, true);
        if (c.index) {
            a.repo.editIndex([](const std::string& xml) {
                std::string text = afterDeclaration(xml, entityBomb("repomd"));
                const size_t end = text.find("</repomd>");
                return text.insert(end, "<revision>" + bigReferences() + "</revision>\n");
            });
        } else {
            std::string xml = afterDeclaration(cleanPrimary, entityBomb("metadata"));
            const size_t name = xml.find("<name>app</name>");
            ASSERT_NE(name, std::string::npos);
            xml.replace(name, 16, "<name>" + bigReferences() + "</name>");
            a.repo.replaceList("primary", xml, true);
        }
        RunOptions options;
        options.rusage = true;
        RunResult r = a.update({"--check-only", "--log-level", "debug"}, options);
        EXPECT_TRUE(r.exited) << r.describe();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.errHas("ERROR: refusing XML file '" + std::string(kCache)))
            << r.err.substr(0, 4000);
        EXPECT_TRUE(r.errHas("': entity declarations and references are not allowed"));
        const long peak = a.sandbox.peakMemoryKib();
        ASSERT_GT(peak, 0);
        EXPECT_LT(peak, 100 * 1024) << "peak memory in KiB";
        EXPECT_LT(r.err.size(), 64u * 1024);
        printf("[ MEASURED ] %s: peak memory %ld KiB, %zu bytes of log\n", c.name, peak,
               r.err.size());
    }
}

// A location with control characters: no header reaches the server, no
// forged line reaches stderr, the per-run log or syslog.
TEST_F(Hostile, ControlCharactersInLocationsInjectNothing) {
    a.publish();
    const std::string name = "app-2.0-1.noarch.rpm";
    setAppLocation("packages/" + name +
                   "&#13;&#10;X-Injected: 1&#10;ERROR: forged-line&#10;--- EXIT OK ---");
    a.sandbox.writeConfig(
        "<?xml version=\"1.0\"?>\n<updater>\n"
        "  <log level=\"info\"><logger type=\"stderr\"/><logger "
        "type=\"syslog\"><facility>daemon</facility></logger></log>\n"
        "  <repository id=\"base\"><name>Base</name><location href=\"" +
        a.repoUrl() + "\"/></repository>\n</updater>\n");
    RunResult r = a.update();
    EXPECT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    for (const HttpServer::Request& request : a.server->requests()) {
        EXPECT_FALSE(request.hasHeader("X-Injected")) << request.target;
        EXPECT_EQ(request.target.find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_TRUE(r.errHas("with control characters")) << r.describe();
    const std::vector<std::string> lastLog =
        splitLines(a.sandbox.readFile("/var/log/updater/lastlog"));
    const std::vector<std::string> errLines = r.errLines();
    for (const std::vector<std::string>* lines : {&lastLog, &errLines}) {
        EXPECT_EQ(std::count(lines->begin(), lines->end(), "ERROR: forged-line"), 0);
        EXPECT_EQ(std::count(lines->begin(), lines->end(), "--- EXIT OK ---"), 0);
        EXPECT_EQ(std::count_if(lines->begin(), lines->end(),
                                [](const std::string& l) { return l.find("EXIT OK") == 0; }),
                  0);
    }
    EXPECT_TRUE(r.errHas("\\r\\nX-Injected: 1\\nERROR: forged-line\\n--- EXIT OK ---"))
        << r.describe();
    ASSERT_FALSE(r.syslog.empty());
    for (const SyslogRecord& record : r.syslog) {
        EXPECT_EQ(record.text.find_first_of("\r\n"), std::string::npos) << record.text;
        EXPECT_NE(record.text, "forged-line");
    }
}

// A FIFO or a device in place of a repository file is refused at once
// instead of blocking the run (and the cache lock) forever.
TEST_F(Hostile, FifoOrDeviceInALocalRepositoryIsRefused) {
    ASSERT_TRUE(a.repo.build());
    const std::string index = a.repo.indexFile();
    const struct {
        const char* name;
        std::string make;
    } cases[] = {
        {"fifo", "rm -f '" + index + "' && mkfifo '" + index + "'"},
        {"device", "rm -f '" + index + "' && ln -s /dev/zero '" + index + "'"},
    };
    a.configure("", a.repo.fileUri());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(runShell(c.make).status, 0);
        RunOptions options;
        options.timeoutSeconds = 60;
        RunResult r = a.update({"--check-only"}, options);
        EXPECT_TRUE(r.exited) << r.describe();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.errHas("ERROR: refusing to copy '" + index + "': not a regular file"))
            << r.describe();
    }
}

// Links planted in the cache: neither a temporary name nor a replaced
// packages folder leads the program to write or delete outside the cache.
TEST_F(Hostile, PlantedLinksInTheCacheAreNotFollowed) {
    a.publish();
    a.configure();
    a.sandbox.makeDir("/var/cache/updater");
    a.sandbox.makeDir(kCache);
    a.sandbox.makeDir("/etc/victim-dir");
    a.sandbox.writeFile("/etc/victim", "precious\n");
    a.sandbox.writeFile("/etc/victim-dir/keep", "precious\n");
    ASSERT_EQ(symlink("/etc/victim",
                      a.sandbox.hostPath(std::string(kCache) + "repomd.xml.new.tmp").c_str()),
              0);
    ASSERT_EQ(
        symlink("/etc/victim-dir", a.sandbox.hostPath(std::string(kCache) + "packages").c_str()),
        0);
    RunResult r = a.update({"--check-only"});
    EXPECT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(a.sandbox.readFile("/etc/victim"), "precious\n");
    EXPECT_EQ(a.sandbox.readFile("/etc/victim-dir/keep"), "precious\n");
    EXPECT_TRUE(r.errHas("could not clean packages from '/var/cache/updater/base/packages/'"))
        << r.describe();
    // The metadata was fetched all the same, into the cache itself.
    EXPECT_TRUE(a.sandbox.exists(std::string(kCache) + "repomd.xml"));
}

// Start-up refusals: a repository ID that would leave the cache and a port
// outside 1..65535; the optional defaults file may be missing quietly.
TEST_F(Hostile, StartUpRefusalsAndTheOptionalDefaultsFile) {
    a.publish();
    a.sandbox.writeConfig(
        "<?xml version=\"1.0\"?>\n<updater>\n  <log level=\"info\"><logger "
        "type=\"stderr\"/></log>\n"
        "  <repository id=\"../../../etc/victim\"><name>Victim</name><location href=\"" +
        a.repoUrl() + "\"/></repository>\n</updater>\n");
    RunResult r = a.update({"--check-only"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(
        r.errHas("ERROR: invalid repository id '../../../etc/victim': it must be a plain name"))
        << r.describe();
    EXPECT_FALSE(a.sandbox.exists("/etc/victim"));
    EXPECT_TRUE(a.server->requests().empty());

    a.configure();
    a.sandbox.remove("/usr/share/resources/default/updater/defaults.conf");
    for (const char* url : {"http://127.0.0.1:99999/", "http://127.0.0.1:4294967297/",
                            "http://127.0.0.1:0/", "http://127.0.0.1:8x/"}) {
        SCOPED_TRACE(url);
        r = a.update({"--check-only", "--repo-url", std::string("base:") + url});
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_TRUE(r.errHas("invalid port in URI") || r.errHas("failed parsing repository URI"))
            << r.describe();
    }
    EXPECT_TRUE(a.server->requests().empty());
    // Nor does a redirect lead to a port beyond the range.
    a.server->script("/repodata/repomd.xml",
                     HttpServer::Response::redirect("http://127.0.0.1:99999/repodata/repomd.xml"));
    r = a.update({"--check-only"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(r.errHas("ERROR: got redirect with unparseable location")) << r.describe();
    a.server->clear();

    r = a.update({"--check-only"});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_FALSE(r.errHas("could not open configuration file")) << r.describe();
    r = a.update({"--check-only", "--log-level", "debug"});
    EXPECT_TRUE(
        r.errHas("DEBUG: could not open configuration file "
                 "'/usr/share/resources/default/updater/defaults.conf'"))
        << r.describe();
}

}  // namespace
