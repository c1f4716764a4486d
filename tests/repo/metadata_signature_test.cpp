// The index signature check with the real gpgv and keys made by gpg. The
// binary runs inside one sandbox, so its /tmp is its own: every temporary
// keyring it leaves would show there.
#include "repo/metadata_signature.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <sys/stat.h>

#include <cstdlib>

#include "harness/log_capture.h"
#include "harness/package_builder.h"
#include "harness/rpm_db_fixture.h"
#include "harness/sandbox.h"

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libsqlite3.so\n";
}

namespace {

std::vector<std::string> keyringsLeft() {
    std::vector<std::string> left;
    DIR* dir = opendir("/tmp");
    if (dir == nullptr) {
        return left;
    }
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.compare(0, 8, "updater.") == 0) {
            left.push_back(name);
        }
    }
    closedir(dir);
    return left;
}

class MetadataSignatureTest : public RpmDbFixture {
protected:
    void SetUp() override {
        RpmDbFixture::SetUp();
        trusted_ = std::make_unique<TestKey>("Updater Test RSA", "rsa2048", scratch_.file("keys"));
        stranger_ =
            std::make_unique<TestKey>("Updater Test Stranger", "rsa2048", scratch_.file("keys"));
        ASSERT_TRUE(trusted_->valid() && stranger_->valid());
        ASSERT_TRUE(trusted_->exportBinary(scratch_.file("trusted.gpg")));
        ASSERT_TRUE(stranger_->exportBinary(scratch_.file("stranger.gpg")));
        trustedKey_ = readHostFile(scratch_.file("trusted.gpg"));
        strangerKey_ = readHostFile(scratch_.file("stranger.gpg"));
        savedPath_ = getenv("PATH");
    }
    void TearDown() override {
        RpmDbFixture::TearDown();
        setenv("PATH", savedPath_.c_str(), 1);
        EXPECT_TRUE(keyringsLeft().empty());
    }

    // A gpgv of our own first in the search path.
    void fakeGpgv(const std::string& script) {
        const std::string dir = scratch_.file("bin");
        writeHostFile(dir + "/gpgv", "#!/bin/sh\n" + script, 0755);
        setenv("PATH", (dir + ":" + savedPath_).c_str(), 1);
    }

    std::unique_ptr<TestKey> trusted_;
    std::unique_ptr<TestKey> stranger_;
    std::string trustedKey_;
    std::string strangerKey_;
    std::string savedPath_;
};

TEST_F(MetadataSignatureTest, OnlyADetachedSignatureOfATrustedKeyVerifies) {
    const std::string index = scratch_.file("repomd.xml");
    const std::string other = scratch_.file("other.xml");
    writeHostFile(index, "<repomd/>\n");
    writeHostFile(other, "<repomd/> \n");
    auto sign = [&](const TestKey& key, const std::string& file, const std::string& name) {
        std::string path = scratch_.file(name);
        EXPECT_TRUE(key.detachSign(file, path));
        return path;
    };
    const std::string good = sign(*trusted_, index, "good.asc");
    // A signed message is not a detached signature of the index.
    const std::string inline_ = scratch_.file("inline.asc");
    ASSERT_EQ(runCommand({"gpg", "--batch", "--homedir", trusted_->home(), "--yes", "--armor",
                          "--output", inline_, "--sign", other})
                  .status,
              0);

    struct Case {
        const char* what;
        KeyList keys;
        std::string signature;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"good", {trustedKey_}, good, true},
        {"good, among several keys", {strangerKey_, trustedKey_}, good, true},
        {"signed message", {trustedKey_}, inline_, false},
        {"missing signature", {trustedKey_}, scratch_.file("none.asc"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        EXPECT_EQ(verifyDetachedSignature(c.keys, index, c.signature), c.ok);
        EXPECT_TRUE(log.has("DEBUG: verifying " + index + " against signature " + c.signature))
            << log.text();
        EXPECT_EQ(log.countContaining("DEBUG: gpgv exited with code "), 1) << log.text();
        EXPECT_EQ(log.has("DEBUG: gpgv exited with code 0"), c.ok) << log.text();
        EXPECT_TRUE(keyringsLeft().empty());
    }
}

TEST_F(MetadataSignatureTest, VerifierArgumentsAndFailures) {
    const std::string index = scratch_.file("repomd.xml");
    writeHostFile(index, "<repomd/>\n");
    const std::string args = scratch_.file("gpgv.args");
    // The keyring holds the keys one after the other, readable by the owner only.
    fakeGpgv("echo \"$@\" > '" + args + "'\nstat -c %a \"$3\" >> '" + args + "'\ncat \"$3\" > '" +
             args + ".keyring'\nexit 0\n");
    ASSERT_TRUE(verifyDetachedSignature({trustedKey_, strangerKey_}, index, "sig.asc"));
    std::vector<std::string> lines = splitLines(readHostFile(args));
    ASSERT_EQ(lines.size(), 2u);
    const std::string tail = " --ignore-time-conflict sig.asc " + index;
    EXPECT_EQ(lines[0].compare(0, 31, "--quiet --keyring /tmp/updater."), 0) << lines[0];
    ASSERT_GT(lines[0].size(), tail.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail) << lines[0];
    EXPECT_EQ(lines[0].size(), 31 + 6 + tail.size()) << lines[0];
    EXPECT_EQ(lines[1], "600");
    EXPECT_EQ(readHostFile(args + ".keyring"), trustedKey_ + strangerKey_);

    struct Case {
        const char* what;
        std::string script;  // empty: no gpgv at all
        std::string line;
    };
    const std::vector<Case> cases = {
        {"bad signature", "exit 1\n", "DEBUG: gpgv exited with code 1"},
        {"not installed", "", "ERROR: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.script.empty()) {
            setenv("PATH", scratch_.file("nothing").c_str(), 1);
        } else {
            fakeGpgv(c.script);
        }
        LogCapture log;
        EXPECT_FALSE(verifyDetachedSignature({trustedKey_}, index, "sig.asc"));
        EXPECT_TRUE(log.contains(c.line)) << log.text();
        EXPECT_TRUE(keyringsLeft().empty());
    }
}

// Loading the keys from a database: the signed end-to-end rows; the keyring
// written from them: the verifier arguments above.
TEST_F(MetadataSignatureTest, NoDatabaseNoKeys) {
    KeyList keys;
    LogCapture log;
    EXPECT_FALSE(loadMetadataKeys(keys));
    EXPECT_TRUE(keys.empty());
    EXPECT_TRUE(log.has("ERROR: failed opening rpm DB")) << log.text();
}

}  // namespace
