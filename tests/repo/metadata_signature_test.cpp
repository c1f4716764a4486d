// The index signature check with the real gpgv and keys made by gpg. The
// binary runs inside one sandbox, so its /tmp is its own: every temporary
// keyring it leaves would show there.
#include "repo/metadata_signature.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "harness/log_capture.h"
#include "harness/package_builder.h"
#include "harness/rpm_db_fixture.h"
#include "harness/sandbox.h"

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libsqlite3.so\n";
}

namespace {

std::string keyringsLeft() {
    return runShell("PATH=/usr/bin:/bin; ls /tmp | grep '^updater\\.'").output;
}

class MetadataSignatureTest : public RpmDbFixture {
protected:
    void SetUp() override {
        RpmDbFixture::SetUp();
        for (const TestKey* key : {&trusted_, &stranger_}) {
            ASSERT_TRUE(key->valid() && key->exportBinary(scratch_.file("key.gpg")));
            keys_.push_back(readHostFile(scratch_.file("key.gpg")));
        }
        writeHostFile(index_, "<repomd/>\n");
    }
    void TearDown() override {
        RpmDbFixture::TearDown();
        setenv("PATH", savedPath_.c_str(), 1);
        EXPECT_EQ(keyringsLeft(), "");
    }
    // A gpgv of our own first in the search path.
    void fakeGpgv(const std::string& script) {
        writeHostFile(scratch_.file("bin/gpgv"), "#!/bin/sh\n" + script, 0755);
        setenv("PATH", (scratch_.file("bin") + ":" + savedPath_).c_str(), 1);
    }

    TestKey trusted_{"Updater Test RSA", "rsa2048", scratch_.file("keys")};
    TestKey stranger_{"Updater Test Stranger", "rsa2048", scratch_.file("keys")};
    std::vector<std::string> keys_;  // exported: trusted, stranger
    const std::string index_ = scratch_.file("repomd.xml");
    const std::string savedPath_ = getenv("PATH");
};

// Several keys, an untrusted key, an empty database, an index changed after
// signing, junk and empty signatures: the signature rows of the end-to-end runs.
TEST_F(MetadataSignatureTest, OnlyADetachedSignatureOfTheIndexVerifies) {
    const std::string good = scratch_.file("good.asc");
    ASSERT_TRUE(trusted_.detachSign(index_, good));
    // A signed message is not a detached signature of the index.
    const std::string message = scratch_.file("message.asc");
    writeHostFile(scratch_.file("other.xml"), "<repomd/> \n");
    ASSERT_EQ(runCommand({"gpg", "--batch", "--homedir", trusted_.home(), "--yes", "--armor",
                          "--output", message, "--sign", scratch_.file("other.xml")})
                  .status,
              0);
    const struct {
        std::string signature;
        bool ok;
    } cases[] = {{good, true}, {message, false}, {scratch_.file("none.asc"), false}};
    for (const auto& c : cases) {
        LogCapture log;
        EXPECT_EQ(verifyDetachedSignature({keys_[0]}, index_, c.signature), c.ok) << c.signature;
        EXPECT_TRUE(log.has("DEBUG: verifying " + index_ + " against signature " + c.signature))
            << log.text();
        EXPECT_EQ(log.countContaining("DEBUG: gpgv exited with code "), 1) << log.text();
        EXPECT_EQ(log.has("DEBUG: gpgv exited with code 0"), c.ok) << log.text();
        EXPECT_EQ(keyringsLeft(), "");
    }
}

TEST_F(MetadataSignatureTest, VerifierArgumentsAndFailures) {
    const std::string args = scratch_.file("gpgv.args");
    // The keyring holds the keys one after the other, readable by the owner only.
    fakeGpgv("echo \"$@\" > '" + args + "'\nstat -c %a \"$3\" >> '" + args + "'\ncat \"$3\" > '" +
             args + ".keyring'\nexit 0\n");
    ASSERT_TRUE(verifyDetachedSignature({keys_[0], keys_[1]}, index_, "sig.asc"));
    std::vector<std::string> lines = splitLines(readHostFile(args));
    ASSERT_EQ(lines.size(), 2u);
    const std::string head = "--quiet --keyring /tmp/updater.";
    const std::string tail = " --ignore-time-conflict sig.asc " + index_;
    ASSERT_EQ(lines[0].size(), head.size() + 6 + tail.size()) << lines[0];
    EXPECT_EQ(lines[0].substr(0, head.size()), head) << lines[0];
    EXPECT_EQ(lines[0].substr(head.size() + 6), tail) << lines[0];
    EXPECT_EQ(lines[1], "600");
    EXPECT_EQ(readHostFile(args + ".keyring"), keys_[0] + keys_[1]);

    for (const std::string script : {"exit 1\n", ""}) {  // "": no gpgv at all
        if (script.empty()) {
            setenv("PATH", scratch_.file("nothing").c_str(), 1);
        } else {
            fakeGpgv(script);
        }
        LogCapture log;
        EXPECT_FALSE(verifyDetachedSignature({keys_[0]}, index_, "sig.asc"));
        EXPECT_TRUE(log.contains(script.empty() ? "ERROR: " : "DEBUG: gpgv exited with code 1"))
            << log.text();
        EXPECT_EQ(keyringsLeft(), "");
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
