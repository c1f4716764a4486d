// The real binary against a hostile mirror, a tampered USB stick and a
// damaged cache: each attack ends in a clear refusal, with bounded memory,
// nothing written or deleted outside the cache and no forged log lines.
#include <sys/stat.h>
#include <unistd.h>

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

// A compressed list of a few kB whose package name is that many bytes of 'x'
// once decompressed.
std::string compressedBomb(const std::string& program, size_t bytes) {
    const std::string xml = primaryListXml("<package type=\"rpm\"><name></name></package>\n");
    const size_t at = xml.find("<name>") + 6;
    CommandResult r = runShell(
        "{ printf '%s' \"$HEAD\"; head -c " + std::to_string(bytes) +
            " /dev/zero | tr '\\0' x; printf '%s' \"$TAIL\"; } | " + program,
        {{"HEAD", xml.substr(0, at)}, {"TAIL", xml.substr(at)}});
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.output.size(), 8192u);
    return r.output;
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
        // Decompression bombs: the value limit stops them long before the
        // end, with the memory of a few blocks and the decoder's history.
        // (Their names say gzip: the compression is told by the content.)
        hostile("CompressedBombsInThePackageList")
            .with([&](Scenario& s) {
                const std::pair<const char*, size_t> bombs[] = {{"zstd -q -c", 100 << 20},
                                                                {"xz -c", 20 << 20}};
                for (const auto& [program, bytes] : bombs) {
                    s.run({"--check-only"}, 1)
                        .options(rusage)
                        .before([program = std::string(program), bytes = bytes](Appliance& a) {
                            const std::string bombed = compressedBomb(program, bytes);
                            a.repo.rewriteList("primary", [&](const std::string&) { return bombed; });
                        })
                        .logs({"ERROR: refusing XML file '" + kCache,
                               "': a value is longer than 65536 bytes"})
                        .check([program = std::string(program)](Appliance& a, const RunResult&) {
                            const long peak = a.sandbox.peakMemoryKib();
                            EXPECT_GT(peak, 0);
                            EXPECT_LT(peak, 100 * 1024) << "peak memory in KiB";
                            printf("[ MEASURED ] %s bomb: peak memory %ld KiB\n", program.c_str(),
                                   peak);
                        });
                }
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
            .present({kCache + "repomd.xml"}),
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
    };
}

}  // namespace

SCENARIOS(Hostile, rows());
