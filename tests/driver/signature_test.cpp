// End-to-end tests of the trust chain with the real binary: a repository
// whose index is signed with gpg and whose packages are signed with rpmsign,
// keys imported into the appliance's RPM database with rpm --import.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "appliance.h"
#include "harness/command.h"

namespace {

using Lines = std::vector<std::string>;

const char* kPackageFile = "foo-2.0-1.noarch.rpm";

class Signatures : public ::testing::Test {
protected:
    void SetUp() override {
        rsa_ = std::make_unique<TestKey>("Updater Test RSA", "rsa2048", keys_.file("export"));
        dsa_ = std::make_unique<TestKey>("Updater Test DSA", "dsa2048", keys_.file("export"));
        stranger_ =
            std::make_unique<TestKey>("Updater Test Stranger", "rsa2048", keys_.file("export"));
        ASSERT_TRUE(rsa_->valid() && dsa_->valid() && stranger_->valid());
        // Both versions of the package, built once for all cases of a test.
        PackageBuilder builder(keys_.file("build"));
        built_ =
            builder.build({TestPackage("foo", "1.0-1"), TestPackage("foo", "2.0-1").payload(2000)},
                          keys_.file("rpms"));
        ASSERT_EQ(built_.size(), 2u);
    }

    struct Setup {
        const TestKey* packageKey = nullptr;
        const TestKey* indexKey = nullptr;
        std::vector<const TestKey*> trusted;  // imported into the RPM database
        bool http = true;                     // else a file: repository
        bool viaBuilder = false;              // the repository builds and signs the package itself
    };

    // An appliance with foo 1.0 installed and a repository offering foo 2.0.
    std::unique_ptr<Appliance> make(const Setup& setup) {
        auto a = std::make_unique<Appliance>();
        a->checkIndexSignature = true;
        RunOptions rpm;
        rpm.program = "/usr/bin/rpm";
        EXPECT_EQ(a->sandbox.run({"-i", "--nodeps", "--noscripts", built_[0]}, rpm).exitCode, 0);
        for (const TestKey* key : setup.trusted) {
            EXPECT_TRUE(importKey(a->sandbox.rpmDbPath(), key->publicKeyFile()));
        }
        a->writeHook();
        if (setup.viaBuilder) {
            a->repo.signWith(setup.packageKey, setup.indexKey);
            a->repo.add(TestPackage("foo", "2.0-1").payload(2000));
        } else {
            const std::string file = a->repo.dir() + "/packages/" + kPackageFile;
            writeHostFile(file, readHostFile(built_[1]));
            if (setup.packageKey != nullptr) {
                EXPECT_TRUE(setup.packageKey->signPackage(file));
            }
            a->repo.signIndexWith(setup.indexKey);
        }
        if (setup.http) {
            a->publish();
            a->configure();
        } else {
            EXPECT_TRUE(a->repo.build());
            a->configure("", a->repo.fileUri());
        }
        return a;
    }
    // Index and package signed by the RSA key; the RSA and DSA keys trusted.
    Setup standard() const {
        Setup setup;
        setup.packageKey = rsa_.get();
        setup.indexKey = rsa_.get();
        setup.trusted = {rsa_.get(), dsa_.get()};
        return setup;
    }

    // Puts other bytes in place of the package file, with the lists and the
    // index signature updated to match, so that only the package check can
    // tell.
    void replacePackage(Appliance& a, const std::string& content) {
        const std::string file = a.repo.dir() + "/packages/" + kPackageFile;
        const std::string oldSum = sha256OfFile(file);
        writeHostFile(file, content);
        std::string xml = runShell("zcat '" + a.repo.listFile("primary") + "'").output;
        const std::string newSum = sha256OfText(content);
        for (size_t at = xml.find(oldSum); at != std::string::npos; at = xml.find(oldSum, at)) {
            xml.replace(at, oldSum.size(), newSum);
        }
        a.repo.replaceList("primary", xml, true);
        ASSERT_TRUE(a.repo.signIndex(*rsa_));
    }

    static Lines keyringsLeft(const Appliance& a) {
        Lines left;
        for (const std::string& name : a.sandbox.listDir("/tmp")) {
            if (name.compare(0, 8, "updater.") == 0) {
                left.push_back(name);
            }
        }
        return left;
    }

    // The lines appear in this order among the log lines.
    static bool inOrder(const Lines& log, const Lines& lines) {
        auto at = log.begin();
        for (const std::string& line : lines) {
            at = std::find(at, log.end(), line);
            if (at == log.end()) {
                return false;
            }
            ++at;
        }
        return true;
    }

    static size_t requestsFor(Appliance& a, const std::string& suffix) {
        size_t n = 0;
        for (const HttpServer::Request& r : a.server->requests()) {
            n += r.target.size() >= suffix.size() &&
                 r.target.compare(r.target.size() - suffix.size(), suffix.size(), suffix) == 0;
        }
        return n;
    }

    ScratchDir keys_{"signature-keys"};
    std::vector<std::string> built_;
    std::unique_ptr<TestKey> rsa_;
    std::unique_ptr<TestKey> dsa_;
    std::unique_ptr<TestKey> stranger_;
};

TEST_F(Signatures, SignedRepositoriesUpdateWithEveryCheckOn) {
    struct Case {
        const char* what;
        bool http;
        bool dsaPackages;
    };
    for (const Case& c : std::vector<Case>{{"over HTTP", true, false},
                                           {"from a file: repository", false, false},
                                           {"packages signed by the DSA key", true, true}}) {
        SCOPED_TRACE(c.what);
        Setup setup = standard();
        setup.http = c.http;
        setup.viaBuilder = !c.http;
        if (c.dsaPackages) {
            setup.packageKey = dsa_.get();
        }
        auto a = make(setup);
        RunResult r = a->update({"--log-level", "debug"});
        ASSERT_EQ(r.exitCode, 0) << r.describe();
        EXPECT_EQ(r.errCount("INFO: verifying package signatures"), 1) << r.err;
        EXPECT_EQ(r.errCount(std::string("INFO: checking signature of ") + kPackageFile), 1);
        // Every pass authenticates the index it reads, fetched or cached.
        EXPECT_GE(r.errCount("DEBUG: gpgv exited with code 0"), 1) << r.err;
        Lines installed = a->installed();
        EXPECT_NE(std::find(installed.begin(), installed.end(), "foo-2.0-1"), installed.end());
        EXPECT_TRUE(keyringsLeft(*a).empty());
        if (c.http) {
            EXPECT_EQ(requestsFor(*a, "/repodata/repomd.xml.asc"),
                      requestsFor(*a, "/repodata/repomd.xml"));
        }
    }
}

// Every refusal leaves the appliance as it was: nothing installed, the RPM
// database unchanged, no keyring left behind.
TEST_F(Signatures, RefusedIndexes) {
    struct Case {
        const char* what;
        std::function<void(Setup&)> setup;
        std::function<void(Appliance&)> breakIt;
        Lines lines;  // error lines, in order
    };
    const std::vector<Case> cases = {
        {"index changed after signing",
         nullptr,
         [](Appliance& a) {
             a.repo.editIndex([](const std::string& text) { return text + "<!-- -->\n"; });
         },
         {"ERROR: invalid metadata signature"}},
        {"index signed by an untrusted key",
         nullptr,
         [this](Appliance& a) { ASSERT_TRUE(a.repo.signIndex(*stranger_)); },
         {"ERROR: invalid metadata signature"}},
        {"database without keys",
         [](Setup& s) { s.trusted.clear(); },
         nullptr,
         {"WARNING: no trusted keys to verify file", "ERROR: invalid metadata signature"}},
        {"no signature file",
         [](Setup& s) { s.indexKey = nullptr; },
         nullptr,
         {"ERROR: failed getting repository resource 'repodata/repomd.xml.asc'"}},
        {"empty signature file",
         nullptr,
         [](Appliance& a) { writeHostFile(a.repo.signatureFile(), ""); },
         {"ERROR: invalid metadata signature"}},
        {"junk signature file",
         nullptr,
         [](Appliance& a) { writeHostFile(a.repo.signatureFile(), std::string(300, '#')); },
         {"ERROR: invalid metadata signature"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Setup setup = standard();
        if (c.setup) {
            c.setup(setup);
        }
        auto a = make(setup);
        if (c.breakIt) {
            c.breakIt(*a);
        }
        const Lines before = a->installed();
        RunResult r = a->update();
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_TRUE(inOrder(r.errLines(), c.lines)) << r.err;
        EXPECT_EQ(a->installed(), before);
        // The run ended before any package was downloaded.
        EXPECT_EQ(a->hookCalls(), Lines{"init 1.17"});
        EXPECT_TRUE(keyringsLeft(*a).empty());
    }
}

TEST_F(Signatures, RefusedPackages) {
    const std::string unknown =
        std::string("ERROR: failed verifying package '") + kPackageFile + "'";
    struct Case {
        const char* what;
        std::function<void(Setup&)> setup;
        std::function<void(Appliance&)> breakIt;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"signed by an untrusted key", [this](Setup& s) { s.packageKey = stranger_.get(); },
         nullptr, unknown},
        {"signed by the DSA key, which is not imported",
         [this](Setup& s) {
             s.packageKey = dsa_.get();
             s.trusted = {rsa_.get()};
         },
         nullptr, unknown},
        {"not signed", [](Setup& s) { s.packageKey = nullptr; }, nullptr,
         std::string("ERROR: no acceptable signature on package '") + kPackageFile + "'"},
        {"junk in place of the package", nullptr,
         [this](Appliance& a) { replacePackage(a, std::string(5000, 'j')); }, unknown},
        {"truncated package", nullptr,
         [this](Appliance& a) {
             const std::string file = a.repo.dir() + "/packages/" + kPackageFile;
             const std::string content = readHostFile(file);
             replacePackage(a, content.substr(0, content.size() / 2));
         },
         unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Setup setup = standard();
        if (c.setup) {
            c.setup(setup);
        }
        auto a = make(setup);
        if (c.breakIt) {
            c.breakIt(*a);
        }
        const Lines before = a->installed();
        RunResult r = a->update();
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_EQ(r.errCount("INFO: verifying package signatures"), 1) << r.err;
        EXPECT_EQ(r.errCount(c.line), 1) << r.err;
        EXPECT_EQ(a->installed(), before);
        // rpm never ran: the hook saw the download phase and nothing after it.
        EXPECT_EQ(a->hookCalls(), (Lines{"init 1.17", "download 1.17"}));
        EXPECT_TRUE(keyringsLeft(*a).empty());
    }
}

// The switches: --no-md-sig-check fetches no signature and never runs gpgv
// (a gpgv that records its calls stands first in the search path);
// --no-pkg-sig-check skips only the package check; --no-sig-check both.
TEST_F(Signatures, SwitchesTurnOffOneCheckOrBoth) {
    struct Case {
        const char* option;
        bool signedIndex;
        bool signedPackages;
        bool indexChecked;
        bool packagesChecked;
    };
    for (const Case& c : std::vector<Case>{{"--no-md-sig-check", false, true, false, true},
                                           {"--no-pkg-sig-check", true, false, true, false},
                                           {"--no-sig-check", false, false, false, false}}) {
        SCOPED_TRACE(c.option);
        Setup setup = standard();
        setup.indexKey = c.signedIndex ? rsa_.get() : nullptr;
        setup.packageKey = c.signedPackages ? rsa_.get() : nullptr;
        auto a = make(setup);
        a->sandbox.writeFile("/usr/sbin/gpgv",
                             "#!/bin/sh\necho \"$@\" >> /var/log/gpgv.calls\nexec /usr/bin/gpgv "
                             "\"$@\"\n",
                             0755);
        RunResult r = a->update({c.option});
        ASSERT_EQ(r.exitCode, 0) << r.describe();
        // The index is fetched with its signature and checked on every read.
        const size_t indexes = requestsFor(*a, "/repodata/repomd.xml");
        EXPECT_GE(indexes, 1u);
        EXPECT_EQ(requestsFor(*a, "/repodata/repomd.xml.asc"), c.indexChecked ? indexes : 0u);
        const size_t checks = splitLines(a->sandbox.readFile("/var/log/gpgv.calls")).size();
        if (c.indexChecked) {
            EXPECT_GE(checks, indexes);
        } else {
            EXPECT_EQ(checks, 0u);
        }
        EXPECT_EQ(r.errCount("INFO: verifying package signatures"), c.packagesChecked ? 1 : 0);
        Lines installed = a->installed();
        EXPECT_NE(std::find(installed.begin(), installed.end(), "foo-2.0-1"), installed.end());
    }
}

// --cache-only authenticates the cached index again.
TEST_F(Signatures, CachedIndexIsCheckedAgain) {
    auto a = make(standard());
    ASSERT_EQ(a->update({"--check-only"}).exitCode, 0);
    RunResult again = a->update({"--cache-only", "--check-only"});
    EXPECT_EQ(again.exitCode, 0) << again.describe();
    const std::string cached = "/var/cache/updater/base/repomd.xml";
    a->sandbox.writeFile(cached, a->sandbox.readFile(cached) + " ");
    RunResult r = a->update({"--cache-only", "--check-only"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.errCount("ERROR: invalid metadata signature"), 1) << r.err;
}

// A verifier killed by a signal denies the index and leaves no keyring.
TEST_F(Signatures, KilledVerifier) {
    auto a = make(standard());
    a->sandbox.writeFile("/usr/sbin/gpgv", "#!/bin/sh\nkill -9 $$\n", 0755);
    const Lines before = a->installed();
    RunResult r = a->update();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(r.errCount("ERROR: signature verifier was killed by signal 9"), 1) << r.err;
    EXPECT_EQ(r.errCount("ERROR: invalid metadata signature"), 1) << r.err;
    EXPECT_EQ(a->installed(), before);
    EXPECT_TRUE(keyringsLeft(*a).empty());
}

}  // namespace
