// The real binary against a hostile mirror, a tampered USB stick and a
// damaged cache: each attack ends in a clear refusal, with bounded memory,
// nothing written or deleted outside the cache and no forged log lines.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "appliance.h"
#include "harness/command.h"

namespace {

const std::string kCache = "/var/cache/updater/base/";

Scenario hostile(const std::string& name) {
    Scenario s(name);
    s.installed = {TestPackage("updater", "1.17-1"), TestPackage("app", "1.0-1")};
    s.offered = {TestPackage("app", "2.0-1"), TestPackage("updater", "1.17-1")};
    s.installedDevice.clear();
    s.offeredDevice.clear();
    s.product.clear();
    return s;
}

std::string primaryXml(const Appliance& a) {
    return runShell("zcat '" + a.repo.listFile("primary") + "'").output;
}

// An entity of 100 kB referenced 20,000 times (2 GB once expanded) after the
// XML declaration, the references after the first start tag given.
std::string bomb(std::string xml, const std::string& root, const std::string& tag) {
    std::string refs;
    for (int i = 0; i < 20000; ++i) {
        refs += "&big;";
    }
    xml.insert(xml.find(tag) + tag.size(), refs);
    const size_t decl = xml.find("?>") + 2;
    return xml.insert(
        decl, "\n<!DOCTYPE " + root + " [<!ENTITY big \"" + std::string(100000, 'x') + "\">]>");
}

std::vector<Scenario> rows() {
    Scenario ports = hostile("PortsOutsideTheRangeAreRefused");
    for (const char* url : {"http://127.0.0.1:99999/", "http://127.0.0.1:4294967297/",
                            "http://127.0.0.1:0/", "http://127.0.0.1:8x/"}) {
        ports.run({"--check-only", "--repo-url", std::string("base:") + url}, 1)
            .requests("", 0)
            .check([](Appliance&, const RunResult& r) {
                EXPECT_TRUE(r.errHas("invalid port in URI") ||
                            r.errHas("failed parsing repository URI"))
                    << r.describe();
            });
    }
    // Nor does a redirect lead to a port beyond the range.
    ports.run({"--check-only"}, 1)
        .logs({"ERROR: got redirect with unparseable location"})
        .before([](Appliance& a) {
            a.server->script(
                "/repodata/repomd.xml",
                HttpServer::Response::redirect("http://127.0.0.1:99999/repodata/repomd.xml"));
        });
    // Refused at once instead of blocking the run, and the lock, forever.
    Scenario notRegular = hostile("FifoOrDeviceInALocalRepositoryIsRefused");
    notRegular.fileRepo = true;
    RunOptions limit;
    limit.timeoutSeconds = 60;
    for (const std::string make : {"mkfifo", "ln -s /dev/zero"}) {
        notRegular.run({"--check-only"}, 1)
            .options(limit)
            .before([make](Appliance& a) {
                const std::string index = a.repo.indexFile();
                ASSERT_EQ(runShell("rm -f '" + index + "' && " + make + " '" + index + "'").status,
                          0);
            })
            .logs({"ERROR: refusing to copy '/", "/repodata/repomd.xml': not a regular file\n"});
    }
    // The same repository's index with an older signature, from the mirror
    // or in the cache, is refused before anything else is fetched; the record
    // stays. Without the index check nothing is compared; a newer index is taken.
    const std::string june = "base\t1717200000\t";
    const std::string refused = "ERROR: refusing repository index signed at 2024-01-01T00:00:00Z: "
                                "an index signed at 2024-06-01T00:00:00Z was accepted before";
    Scenario replayed = hostile("ReplayedOlderIndexIsRefused");
    // The records of other locations stay; a damaged line goes.
    const std::string other = "base\t1\t-\tfile:///media/usb\n";
    signedWithIndexKey(replayed)
        .run({"--check-only"})
        .put(kIndexRecord, other + "damaged\n")
        .before(signIndexAt("20240601T000000"))
        .logs({"WARNING: ignoring damaged line 2 of index record file '" +
               std::string(kIndexRecord) + "'"})
        .fileHas(kIndexRecord, {other + june}, {"damaged"})
        .run({}, 1)
        .before(signIndexAt("20240101T000000"))
        .logs({refused})
        .rpmsHave({"app-1.0-1"})
        .requests("primary.xml.gz", 1)
        .requests(".rpm", 0)
        .fileHas(kIndexRecord, {june}, {"1704067200"})
        .run({"--cache-only", "--check-only"}, 1)
        .before([](Appliance& a) {
            ASSERT_TRUE(indexKey().detachSign(a.sandbox.hostPath(kCache + "repomd.xml"),
                                              a.sandbox.hostPath(kCache + "repomd.xml.asc"),
                                              "20240101T000000"));
        })
        .logs({refused})
        .run({"--no-md-sig-check", "--check-only", "--log-level", "debug"})
        .count("DEBUG: no metadata signature check: the index's signing time is not checked "
               "either",
               1)
        .fileHas(kIndexRecord, {june})
        .run({"--no-reboot"})
        .before(signIndexAt("20250101T000000"))
        .rpmsHave({"app-2.0-1"})
        .fileHas(kIndexRecord, {"base\t1735689600\t"})
        // A lower revision signed later is taken, with a warning.
        .run({"--check-only"})
        .before([](Appliance& a) {
            a.repo.editIndex([](const std::string& text) {
                return std::regex_replace(text, std::regex("<revision>[0-9]+<"), "<revision>1<");
            });
            signIndexAt("20250601T000000")(a);
        })
        .logs({"WARNING: repository index revision '1' is lower than revision '"})
        .fileHas(kIndexRecord, {"base\t1748736000\t1\thttp://"});
    RunOptions rusage;
    rusage.rusage = true;
    Scenario injection = hostile("ControlCharactersInLocationsInjectNothing");
    injection.config =
        "<updater><log level=\"info\"><logger type=\"stderr\"/><logger type=\"syslog\">"
        "<facility>daemon</facility></logger></log><repository id=\"base\"><name>Base</name>"
        "<location href=\"@URL@\"/></repository></updater>";
    return {
        hostile("EntityBombInThePackageList")
            .run({"--check-only", "--log-level", "debug"}, 1)
            .options(rusage)
            .before([](Appliance& a) {
                a.repo.replaceList("primary", bomb(primaryXml(a), "metadata", "<name>"), true);
            })
            .logs({"ERROR: refusing XML file '" + kCache,
                   "': entity declarations and references are not allowed"})
            .check([](Appliance& a, const RunResult& r) {
                const long peak = a.sandbox.peakMemoryKib();
                EXPECT_GT(peak, 0);
                EXPECT_LT(peak, 100 * 1024) << "peak memory in KiB";
                EXPECT_LT(r.err.size(), 64u * 1024);
                printf("[ MEASURED ] entity bomb: peak memory %ld KiB, %zu bytes of log\n", peak,
                       r.err.size());
            }),
        // No header reaches the server, no forged line stderr, the per-run log or syslog.
        injection.run({}, 1)
            .before([](Appliance& a) {
                std::string xml = primaryXml(a);
                const std::string href = "href=\"packages/app-2.0-1.noarch.rpm";
                xml.replace(
                    xml.find(href), href.size(),
                    href + "&#13;&#10;X-Injected: 1&#10;ERROR: forged-line&#10;--- EXIT OK ---");
                a.repo.replaceList("primary", xml, true);
            })
            .logs({"with control characters",
                   "\\r\\nX-Injected: 1\\nERROR: forged-line\\n--- EXIT OK ---"})
            .check([](Appliance& a, const RunResult& r) {
                for (const HttpServer::Request& request : a.server->requests()) {
                    EXPECT_FALSE(request.hasHeader("X-Injected")) << request.target;
                    EXPECT_EQ(request.target.find_first_of("\r\n"), std::string::npos);
                }
                for (const std::string& log :
                     {r.err, a.sandbox.readFile("/var/log/updater/lastlog")}) {
                    for (const std::string& line : splitLines(log)) {
                        EXPECT_TRUE(line != "ERROR: forged-line" && line.find("--- EXIT OK") != 0)
                            << line;
                    }
                }
                ASSERT_FALSE(r.syslog.empty());
                for (const SyslogRecord& record : r.syslog) {
                    EXPECT_EQ(record.text.find_first_of("\r\n"), std::string::npos) << record.text;
                    EXPECT_NE(record.text, "forged-line");
                }
            }),
        notRegular,
        // Neither a temporary name nor a replaced packages folder leads to a
        // write or delete outside the cache.
        hostile("PlantedLinksInTheCacheAreNotFollowed")
            .run({"--check-only"})
            .put("/etc/victim", "precious\n")
            .put("/etc/victim-dir/keep", "precious\n")
            .before([](Appliance& a) {
                a.sandbox.makeDir(kCache);
                ASSERT_EQ(symlink("/etc/victim",
                                  a.sandbox.hostPath(kCache + "repomd.xml.new.tmp").c_str()),
                          0);
                ASSERT_EQ(
                    symlink("/etc/victim-dir", a.sandbox.hostPath(kCache + "packages").c_str()), 0);
            })
            .logs({"could not clean packages from '/var/cache/updater/base/packages/'"})
            .file("/etc/victim", "precious\n")
            .file("/etc/victim-dir/keep", "precious\n")
            .present({kCache + "repomd.xml"})
            // Nor do the package files, the update state or the per-run log.
            .run({"--no-reboot"}, 1)
            .put("/etc/victim-state", "precious\n")
            .put("/etc/victim-log", "precious\n")
            .before([](Appliance& a) {
                for (const char* path :
                     {"/var/lib/updater/update-state", "/var/log/updater/lastlog"}) {
                    a.sandbox.remove(path);
                }
                ASSERT_EQ(symlink("/etc/victim-state",
                                  a.sandbox.hostPath("/var/lib/updater/update-state").c_str()),
                          0);
                ASSERT_EQ(symlink("/etc/victim-log",
                                  a.sandbox.hostPath("/var/log/updater/lastlog").c_str()),
                          0);
            })
            .logs(
                {"ERROR: refusing symbolic link '" + kCache +
                     "packages/' in place of a directory\n",
                 "ERROR: cannot open log file /var/log/updater/lastlog: Too many levels of "
                 "symbolic links\n",
                 "WARNING: failed to open update state file for save: Too many levels of symbolic "
                 "links\n"})
            .rpmsHave({"app-1.0-1"})
            .file("/etc/victim-state", "precious\n")
            .file("/etc/victim-log", "precious\n")
            .check([](Appliance& a, const RunResult&) {
                EXPECT_EQ(a.sandbox.listDir("/etc/victim-dir"), Lines{"keep"});
            })
            // Nor the metadata, with the repository's folder replaced.
            .run({"--check-only"}, 1)
            .put("/etc/victim-cache/keep", "precious\n")
            .before([](Appliance& a) {
                a.sandbox.remove(kCache);
                ASSERT_EQ(symlink("/etc/victim-cache",
                                  a.sandbox.hostPath("/var/cache/updater/base").c_str()),
                          0);
            })
            .logs({"ERROR: refusing symbolic link '" + kCache + "' in place of a directory\n"})
            .check([](Appliance& a, const RunResult&) {
                EXPECT_EQ(a.sandbox.listDir("/etc/victim-cache"), Lines{"keep"});
            })
            // The cache directory the configuration names may itself be a link.
            .run({"--check-only", "--cache-dir", "/var/cache/link"})
            .before([](Appliance& a) {
                a.sandbox.makeDir("/var/cache/real");
                ASSERT_EQ(symlink("/var/cache/real", a.sandbox.hostPath("/var/cache/link").c_str()),
                          0);
            })
            .present({"/var/cache/real/base/repomd.xml"}),
        // Sizes a (signed) list may declare at the limits give the hook sane
        // figures: the sum stops at the largest number, a negative size
        // counts as none.
        hostile("HookSizesNeverOverflow")
            .with([](Scenario& s) {
                s.installed.insert(s.installed.end(), {TestPackage("lib"), TestPackage("tool")});
                s.offered.insert(s.offered.end(),
                                 {TestPackage("lib", "2.0-1"), TestPackage("tool", "2.0-1")});
            })
            .run({"--no-reboot"})
            .before([](Appliance& a) {
                std::string xml = primaryXml(a);
                for (const auto& [name, size] : {std::pair{"app", "9223372036854775807"},
                                                 {"lib", "-9223372036854775808"},
                                                 {"tool", "9223372036854775807"}}) {
                    // "$01": the first group, then the digits of the size.
                    xml = std::regex_replace(xml,
                                             std::regex(std::string("(<name>") + name +
                                                        "</name>[\\s\\S]*?installed=\")[0-9]+"),
                                             std::string("$01") + size);
                }
                a.repo.replaceList("primary", xml, true);
            })
            .rpmsHave({"app-2.0-1", "lib-2.0-1", "tool-2.0-1"})
            .lastHook("postupdate 1.17 3 9007199254740992 9007199254740992"),
        hostile("RepositoryIdThatWouldLeaveTheCacheIsRefused")
            .with([](Scenario& s) {
                s.config =
                    "<updater><log level=\"info\"><logger type=\"stderr\"/></log><repository "
                    "id=\"../../../etc/victim\"><name>V</name><location "
                    "href=\"@URL@\"/></repository></updater>";
            })
            .run({"--check-only"}, 1)
            .logs({"ERROR: invalid repository id '../../../etc/victim': it must be a plain name"})
            .absent({"/etc/victim"})
            .requests("", 0),
        ports,
        replayed,
    };
}

}  // namespace

SCENARIOS(Hostile, rows());
