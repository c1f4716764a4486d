// The trust chain with the real binary: an index signed with gpg, packages
// signed with rpmsign, keys imported into the appliance's database. Every
// refusal leaves the appliance as it was and no keyring behind.
#include "appliance.h"
#include "harness/command.h"

namespace {

const std::string kFile = "foo-2.0-1.noarch.rpm";
const Lines kOld = {"foo-1.0-1"};
const Lines kNew = {"foo-2.0-1"};

// The test keys by letter: RSA, DSA, EdDSA and a stranger's RSA key; '-' is none.
const TestKey* key(char letter) {
    static ScratchDir exports("signature-keys");
    static std::map<char, std::unique_ptr<TestKey>> keys;
    static const std::map<char, const char*> algorithms = {{'D', "dsa2048"}, {'E', "ed25519"}};
    auto& k = keys[letter];
    if (!k && letter != '-') {
        const auto algorithm = algorithms.find(letter);
        k = std::make_unique<TestKey>(std::string("Updater Test ") + letter,
                                      algorithm != algorithms.end() ? algorithm->second : "rsa2048",
                                      exports.path());
    }
    return k.get();
}

void noKeyrings(Appliance& a, const RunResult&) {
    for (const std::string& name : a.sandbox.listDir("/tmp")) {
        EXPECT_NE(name.rfind("updater.", 0), 0u) << name;
    }
}

// foo 1.0 installed, foo 2.0 offered; by default index and package signed by
// the RSA key, the RSA and DSA keys trusted.
Scenario signedRepo(const std::string& name, char package = 'R', char index = 'R',
                    const std::string& trusted = "RD") {
    Scenario s = bare(name);
    s.repository = true;
    s.config.clear();
    s.product.clear();
    s.installed = {TestPackage("foo", "1.0-1")};
    s.offered = {TestPackage("foo", "2.0-1").payload(2000)};
    s.prepare = [=](Appliance& a) {
        a.checkIndexSignature = true;
        for (char k : trusted) {
            EXPECT_TRUE(importKey(a.sandbox.rpmDbPath(), key(k)->publicKeyFile()));
        }
        a.repo.signWith(key(package), key(index));
    };
    return s;
}

// The repository as publishing tools make it with other options: lists
// compressed with zstd (recompressed from createrepo_c's gzip), xz or bzip2,
// checksums of another type in the index and the lists.
Scenario publishedAs(const std::string& name, const std::string& compression,
                     const std::string& checksum) {
    Scenario s = signedRepo(name);
    const auto sign = s.prepare;
    s.prepare = [=](Appliance& a) {
        sign(a);
        a.repo.options().m_sCompression = compression;
        a.repo.options().m_sChecksum = checksum;
    };
    return s;
}

// What a run on such a repository leaves: the lists cached as published,
// the package checked with the type of the list.
std::function<void(Scenario&)> readAs(const std::string& compression,
                                      const std::string& checksum) {
    return [=](Scenario& s) {
        const std::string cache = "/var/cache/updater/base/";
        s.present({cache + "primary.xml" + compressionExtension(compression),
                   cache + "vtxdata.xml" + compressionExtension(compression)})
            .logs({"DEBUG: '" + checksum + "' checksum of '" + cache + "packages/" + kFile});
    };
}

// Other bytes in place of the package, the lists and the index signature
// updated to match, so that only the package check can tell.
using Bytes = std::function<std::string(Appliance&, const std::string& old)>;
std::function<void(Appliance&)> replacePackage(Bytes bytes) {
    return [=](Appliance& a) {
        const std::string file = a.repo.dir() + "/packages/" + kFile;
        const std::string old = readHostFile(file);
        const std::string content = bytes(a, old);
        ASSERT_FALSE(content.empty());
        writeHostFile(file, content);
        std::string xml = runShell("zcat '" + a.repo.listFile("primary") + "'").output;
        const std::string oldSum = sha256OfText(old);
        xml.replace(xml.find(oldSum), oldSum.size(), sha256OfText(content));
        a.repo.replaceList("primary", xml, true);
        ASSERT_TRUE(a.repo.signIndex(*key('R')));
    };
}

std::string junk(Appliance&, const std::string&) {
    return std::string(5000, 'j');
}

std::string firstHalf(Appliance&, const std::string& old) {
    return old.substr(0, old.size() / 2);
}

// Another package, signed by the trusted key.
Bytes signedInstead(const TestPackage& other) {
    return [=](Appliance& a, const std::string&) {
        const std::string built = a.builder.build(other, a.work.file("instead"));
        return !built.empty() && key('R')->signPackage(built) ? readHostFile(built) : "";
    };
}

Scenario refusedIndex(Scenario s, const Lines& lines) {
    return s.exits(1)
        .logs(lines)
        .rpms(kOld)
        .hooks({"init 1.17"})
        .check(noKeyrings)
        .reports({{"result", "\"failed\""}, {"updates_available", "null"}, {"packages", "[]"}});
}

// Refused before rpm ran; nothing was installed, so the update stays available.
Scenario refusedPackage(Scenario s, const std::string& line, int signatureChecks = 1) {
    return s.exits(1)
        .count("INFO: verifying package signatures", signatureChecks)
        .count(line, 1)
        .rpms(kOld)
        .hooks({"init 1.17", "download 1.17"})
        .state("AVAILABLE\n")
        .check(noKeyrings);
}

// Signs the index again at a moment gpg takes ("20240101T000000"), or an hour ago.
std::function<void(Appliance&)> signedAt(const std::string& at) {
    return [at](Appliance& a) {
        std::string when = at;
        if (when.empty()) {
            const time_t hourAgo = time(nullptr) - 3600;
            struct tm parts;
            char text[32];
            strftime(text, sizeof(text), "%Y%m%dT%H%M%S", gmtime_r(&hourAgo, &parts));
            when = text;
        }
        ASSERT_TRUE(key('R')->detachSign(a.repo.indexFile(), a.repo.signatureFile(), when));
    };
}

const std::string kInvalid = "ERROR: invalid metadata signature";
const std::string kUnknown = "ERROR: failed verifying package '" + kFile + "'";
const std::string kOther = kUnknown + ": the file holds '";

// The signature switches, with a gpgv that records its calls first in the path.
Scenario switches(const char* name, const char* option, bool index, bool packages) {
    return signedRepo(name, packages ? 'R' : '-', index ? 'R' : '-')
        .run({option})
        .put("/usr/sbin/gpgv",
             "#!/bin/sh\necho \"$@\" >> /var/log/gpgv.calls\nexec /usr/bin/gpgv \"$@\"\n")
        .count("INFO: verifying package signatures", packages ? 1 : 0)
        .rpms(kNew)
        .check([=](Appliance& a, const RunResult&) {
            // The index is fetched with its signature and checked on every read.
            const size_t indexes = requestsEnding(a, "/repodata/repomd.xml");
            EXPECT_GE(indexes, 1u);
            EXPECT_EQ(requestsEnding(a, "/repodata/repomd.xml.asc"), index ? indexes : 0u);
            const size_t checks = splitLines(a.sandbox.readFile("/var/log/gpgv.calls")).size();
            EXPECT_TRUE(index ? checks >= indexes : checks == 0) << checks;
        });
}

std::vector<Scenario> rows() {
    auto accepted = [](Scenario s, bool http) {
        return s.run({"--log-level", "debug"})
            .count("INFO: verifying package signatures", 1)
            .count("INFO: checking signature of " + kFile, 1)
            .logs({"DEBUG: gpgv exited with code 0"})
            .rpms(kNew)
            .check([=](Appliance& a, const RunResult& r) {
                noKeyrings(a, r);
                if (http) {  // every pass authenticates the index it reads, past any cache
                    EXPECT_EQ(requestsEnding(a, "/repodata/repomd.xml.asc"),
                              requestsEnding(a, "/repodata/repomd.xml"));
                    for (const HttpServer::Request& q : a.server->requests()) {
                        if (q.target.find("/repomd.xml") != std::string::npos) {
                            EXPECT_EQ(q.header("Cache-Control"), "no-cache") << q.target;
                        }
                    }
                }
            });
    };
    // Refused when older than the maximum age, before anything is installed;
    // taken when newer; with the device clock behind the signature (made "in
    // the future") the age is not checked.
    Scenario aged =
        refusedIndex(signedRepo("MaximumIndexAge")
                         .run()
                         .before(signedAt("20240101T000000"))
                         .reports({{"index.signed_at", "\"2024-01-01T00:00:00Z\""}}),
                     {"ERROR: refusing repository index signed at 2024-01-01T00:00:00Z: older than "
                      "30 days at device time 20"});
    aged.config =
        "<updater><log level=\"info\"><logger type=\"stderr\"/></log><repository id=\"base\">"
        "<name>B</name><location href=\"@URL@\"/></repository>"
        "<index-signature max-age-days=\"30\"/></updater>";
    aged.run({"--no-reboot"})
        .before(signedAt(""))
        .rpms(kNew)
        .run({"--check-only"})
        .before(signedAt("20990101T000000"))
        .logs({"WARNING: device time 20",
               " is earlier than the index signature made at 2099-01-01T00:00:00Z; index age not "
               "checked"})
        .reports({{"index.signed_at", "\"2099-01-01T00:00:00Z\""}, {"result", "\"no-updates\""}});
    Scenario fromFile = signedRepo("SignedFileRepositoryUpdates");
    fromFile.fileRepo = true;
    // Package locations on another server (createrepo_c --baseurl writes
    // xml:base) are refused as the list is read, so that a check never
    // reports an update that could not be made.
    Scenario baseUrl = signedRepo("PackagesOnAnotherServerAreRefused");
    baseUrl.prepare = [sign = baseUrl.prepare](Appliance& a) {
        sign(a);
        a.repo.options().m_sBaseUrl = "http://mirror.example/repo/";
    };
    const Lines xmlBase = {"ERROR: invalid package 'foo' in '",
                           ": location with xml:base 'http://mirror.example/repo/', which is not "
                           "supported\nERROR: failed parsing repository resource '"};
    baseUrl.run({"--check-only"}, 1).logs(xmlBase).run({}, 1).logs(xmlBase).rpms(kOld).requests(
        kFile, 0);
    return {
        accepted(signedRepo("SignedRepositoryUpdates"), true),
        accepted(fromFile, false),
        accepted(signedRepo("PackagesSignedByTheSecondKeyUpdate", 'D'), true),
        accepted(signedRepo("EdDSASignedIndexAndPackageUpdate", 'E', 'E', "RDE"), true),
        baseUrl,
        aged,
        // Every compression of the lists, every checksum type once (sha256
        // above).
        accepted(publishedAs("GzipListsSha1Checksums", "gz", "sha1"), true)
            .with(readAs("gz", "sha1")),
        accepted(publishedAs("ZstdListsSha384Checksums", "zstd", "sha384"), true)
            .with(readAs("zstd", "sha384")),
        accepted(publishedAs("XzListsSha512Checksums", "xz", "sha512"), true)
            .with(readAs("xz", "sha512")),
        accepted(publishedAs("Bzip2ListsSha224Checksums", "bz2", "sha224"), true)
            .with(readAs("bz2", "sha224")),
        refusedIndex(signedRepo("IndexChangedAfterSigning").run().before([](Appliance& a) {
            a.repo.editIndex([](const std::string& text) { return text + "<!-- -->\n"; });
        }),
                     {kInvalid}),
        refusedIndex(signedRepo("IndexSignedByAnUntrustedKey", 'R', 'S'), {kInvalid})
            .reports({{"index.signed_at", "null"},
                      {"first_error", "\"invalid metadata signature\""}}),
        refusedIndex(signedRepo("DatabaseWithoutKeys", 'R', 'R', ""),
                     {"WARNING: no trusted keys to verify file\n" + kInvalid}),
        refusedIndex(signedRepo("NoSignatureFile", 'R', '-'),
                     {"ERROR: failed getting repository resource 'repodata/repomd.xml.asc'"}),
        refusedIndex(signedRepo("EmptySignatureFile").run().before([](Appliance& a) {
            writeHostFile(a.repo.signatureFile(), "");
        }),
                     {kInvalid}),
        refusedIndex(signedRepo("JunkSignatureFile").run().before([](Appliance& a) {
            writeHostFile(a.repo.signatureFile(), std::string(300, '#'));
        }),
                     {kInvalid}),
        refusedIndex(signedRepo("KilledVerifierDeniesTheIndex")
                         .run()
                         .put("/usr/sbin/gpgv", "#!/bin/sh\nkill -9 $$\n"),
                     {"ERROR: signature verifier was killed by signal 9\n" + kInvalid}),
        refusedPackage(signedRepo("PackageSignedByAnUntrustedKey", 'S'), kUnknown),
        refusedPackage(signedRepo("PackageSignedByAKeyNotImported", 'D', 'R', "R"), kUnknown),
        refusedPackage(signedRepo("PackageNotSigned", '-'),
                       "ERROR: no acceptable signature on package '" + kFile + "'"),
        refusedPackage(signedRepo("JunkInPlaceOfThePackage").run().before(replacePackage(junk)),
                       kUnknown),
        refusedPackage(signedRepo("TruncatedPackage").run().before(replacePackage(firstHalf)),
                       kUnknown),
        // A package file must hold the package its list entry names, also
        // when the list is not authenticated or signatures are not checked.
        refusedPackage(signedRepo("AnotherSignedPackageInPlaceOfTheListedOne")
                           .run({"--no-md-sig-check"})
                           .before(replacePackage(signedInstead(TestPackage("evil", "9.9-1")))),
                       kOther + "evil-9.9-1.noarch', not 'foo-2.0-1.noarch'"),
        refusedPackage(
            signedRepo("AnotherArchitectureWithoutAnySignatureCheck")
                .run({"--no-sig-check"})
                .before(replacePackage(signedInstead(TestPackage("foo", "2.0-1", "x86_64")))),
            kOther + "foo-2.0-1.x86_64', not 'foo-2.0-1.noarch'", 0),
        refusedPackage(signedRepo("AnotherEpochWithoutPackageSignatureCheck")
                           .run({"--no-pkg-sig-check"})
                           .before(replacePackage(signedInstead(TestPackage("foo", "1:2.0-1")))),
                       kOther + "foo-1:2.0-1.noarch', not 'foo-2.0-1.noarch'", 0),
        switches("SwitchOffIndexCheck", "--no-md-sig-check", false, true),
        switches("SwitchOffPackageCheck", "--no-pkg-sig-check", true, false),
        switches("SwitchOffBothChecks", "--no-sig-check", false, false),
        // The keys are read with the database headers checked; the installed
        // packages only with --check-db-headers.
        signedRepo("DatabaseHeadersCheckedForTheKeys")
            .run({"--no-md-sig-check", "--log-level", "debug"})
            .count("INFO: verifying package signatures", 1)
            .logs({"DEBUG: opened rpm transaction (NOT checking headers)",
                   "DEBUG: opened rpm transaction (checking headers)"})
            .rpms(kNew),
        signedRepo("CheckDbHeadersChecksEveryRead")
            .run({"--check-db-headers", "--log-level", "debug"})
            .count("INFO: verifying package signatures", 1)
            .logs({"DEBUG: opened rpm transaction (checking headers)"},
                  {"opened rpm transaction (NOT checking headers)"})
            .rpms(kNew),
        // --cache-only authenticates the cached index again.
        signedRepo("CachedIndexIsCheckedAgain")
            .run({"--check-only"})
            .run({"--cache-only", "--check-only"})
            .run({"--cache-only", "--check-only"}, 1)
            .count(kInvalid, 1)
            .before([](Appliance& a) {
                const std::string cached = "/var/cache/updater/base/repomd.xml";
                a.sandbox.writeFile(cached, a.sandbox.readFile(cached) + " ");
            }),
    };
}

}  // namespace

SCENARIOS(Signatures, rows());
