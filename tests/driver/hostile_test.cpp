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

const std::string kApp = "packages/app-2.0-1.noarch.rpm";
const std::string kAppPart = kCache + kApp + ".part";

// The app package's file as the repository has it, and served with changes.
std::string appFile(const Appliance& a) {
    return readHostFile(a.repo.dir() + "/" + kApp);
}
void serveApp(Appliance& a, const std::string& content, const std::string& etag = "\"v1\"") {
    writeHostFile(a.work.file("served.rpm"), content);
    a.server->script(
        "/" + kApp, HttpServer::Response::fromFile(a.work.file("served.rpm")).header("ETag", etag));
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
    // Servers that trickle a byte every two seconds, the package's body or
    // the index's headers: each run ends after three windows of 2 s and the
    // retry waits, with nothing installed; the next run takes the lock at once.
    RunOptions bounded;
    bounded.timeoutSeconds = 120;
    Scenario trickle = hostile("TricklingServersEndTheRunInTime");
    trickle.config =
        "<updater><log level=\"info\"><logger type=\"stderr\"/></log><repository id=\"base\">"
        "<name>Base</name><location href=\"@URL@\"/></repository>"
        "<low-speed bytes=\"1000\" seconds=\"2\"/></updater>";
    const std::string slow = "WARNING: received fewer than 1000 bytes of '";
    trickle.run({"--no-reboot"}, 1)
        .options(bounded)
        .before([](Appliance& a) {
            HttpServer::Response body = HttpServer::Response::ok(appFile(a));
            body.slowChunk = 1;
            body.slowDelay = 2;
            a.server->script("/" + kApp, body);
        })
        .count(slow + kApp + "' in 2 seconds", 3)
        .logs({"ERROR: failed fetching '" + kApp + "' (connection timed out)\n"})
        .rpmsHave({"app-1.0-1", "!app-2.0-1"})
        .run({"--no-reboot"}, 1)
        .options(bounded)
        .before([](Appliance& a) {
            a.server->clear();
            HttpServer::Response headers = HttpServer::Response::fromFile(a.repo.indexFile());
            headers.slowHeaders = 2;
            a.server->script("/repodata/repomd.xml", headers);
        })
        .count(slow + "repodata/repomd.xml' in 2 seconds", 3)
        .logs({"ERROR: could not update repository data\n"})
        .run({"--check-only", "--lock-timeout", "0"})
        .before([](Appliance& a) { a.server->clear(); });
    Scenario injection = hostile("ControlCharactersInLocationsInjectNothing");
    injection.config =
        "<updater><log level=\"info\"><logger type=\"stderr\"/><logger type=\"syslog\">"
        "<facility>daemon</facility></logger></log><repository id=\"base\"><name>Base</name>"
        "<location href=\"@URL@\"/></repository></updater>";
    // Output of rpm in another encoding: a requirement on a Latin-1 path
    // that nothing provides, named by rpm's refusal.
    Scenario latin1 = hostile("Latin1OutputOfRpmIsEscaped");
    latin1.config = injection.config;
    latin1.offered[0].require("/opt/caf\xe9");
    return {
        latin1.run({"--no-reboot"}, 1)
            .logs({"INFO:   \t/opt/caf\\xe9 is needed by app-2.0-1.noarch\n"})
            .check([](Appliance& a, const RunResult& r) {
                size_t named = 0;
                for (const SyslogRecord& record : r.syslog) {
                    named += record.text.find("/opt/caf\\xe9 is needed") != std::string::npos;
                    EXPECT_EQ(record.text.find('\xe9'), std::string::npos) << record.text;
                }
                EXPECT_EQ(named, 1u);
                EXPECT_EQ(a.sandbox.readFile("/var/log/updater/lastlog").find('\xe9'),
                          std::string::npos);
            }),
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
        trickle,
        // Nothing past the size the package list declares is taken.
        hostile("BodyLongerThanDeclaredIsRefused")
            .run({"--no-reboot"}, 1)
            .before([](Appliance& a) { serveApp(a, appFile(a) + std::string(100000, 'x')); })
            .check([](Appliance& a, const RunResult& r) {
                const size_t size = appFile(a).size();
                EXPECT_TRUE(r.errHas("ERROR: failed fetching '" + kApp + "' (longer than " +
                                     std::to_string(size) + " bytes)\n"))
                    << r.describe();
                EXPECT_EQ(a.server->requestsFor("/" + kApp).size(), 1u);
                EXPECT_LE(a.sandbox.readFile(kAppPart).size(), size);
            })
            .rpmsHave({"!app-2.0-1"}),
        hostile("OversizedIndexIsRefused")
            .run({"--check-only"}, 1)
            .before([](Appliance& a) {
                HttpServer::Response huge;
                huge.bodySize = 9 << 20;
                a.server->script("/repodata/repomd.xml", huge);
            })
            .logs({"ERROR: failed fetching 'repodata/repomd.xml' (longer than 8388608 bytes)\n"})
            .requests("repomd.xml", 1),
        // The continued bytes are not those of the file the list describes:
        // the checksum refuses it, it is removed, the whole file is fetched
        // once more past the caches and refused again. No copy ever takes
        // the package's name (the cache is not cleaned here).
        hostile("TamperedTailIsRefusedAndRemoved")
            .run({"--no-reboot", "--no-cache-clean"}, 1)
            .before([](Appliance& a) {
                std::string file = appFile(a);
                a.sandbox.writeFile(kAppPart, file.substr(0, file.size() / 2));
                a.sandbox.writeFile(kAppPart + ".validator", "\"v1\"\n");
                file[file.size() - 10] ^= 0x55;
                serveApp(a, file);
            })
            .logs({"WARNING: invalid checksum on '" + kCache + kApp +
                       "'; retrying with bypass of http caches\n",
                   "ERROR: invalid checksum on '" + kCache + kApp + "'\n"})
            .absent({kAppPart, kCache + kApp})
            .rpmsHave({"app-1.0-1", "!app-2.0-1"})
            .check([](Appliance& a, const RunResult&) {
                const auto tries = a.server->requestsFor("/" + kApp);
                ASSERT_EQ(tries.size(), 2u);
                EXPECT_EQ(tries[0].header("Range"),
                          "bytes=" + std::to_string(appFile(a).size() / 2) + "-");
                EXPECT_FALSE(tries[1].hasHeader("Range"));
                EXPECT_EQ(tries[1].header("Cache-Control"), "no-cache");
            }),
    };
}

}  // namespace

SCENARIOS(Hostile, rows());
