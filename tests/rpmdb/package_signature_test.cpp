// Package signatures and the trusted keys of the RPM database, with real keys,
// packages signed by rpmsign and keys imported by rpm --import.
#include "rpmdb/package_signature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmts.h>

#include <memory>

#include "harness/log_capture.h"
#include "harness/package_builder.h"
#include "harness/rpm_db_fixture.h"
#include "harness/sandbox.h"
#include "rpmdb/rpm_db.h"

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libsqlite3.so\n";
}

namespace {

KeyId keyIdFromHex(const std::string& hex) {
    KeyId id{};
    for (size_t i = 0; i < id.size() && 2 * i + 1 < hex.size(); ++i) {
        id[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return id;
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

class PackageSignatureTest : public RpmDbFixture {
protected:
    void SetUp() override {
        RpmDbFixture::SetUp();
        ASSERT_TRUE(initRpmDb(dbPath_));
    }

    // A header written into the database by hand (no rpm --import).
    void importHeader(Header header) {
        RpmTsPtr ts(rpmtsCreate());
        rpmtxn txn = rpmtxnBegin(ts.get(), RPMTXN_WRITE);
        ASSERT_NE(txn, nullptr);
        EXPECT_EQ(rpmtsImportHeader(txn, header, 0), RPMRC_OK);
        rpmtxnEnd(txn);
    }
};

TEST_F(PackageSignatureTest, PackagesAreAcceptedOnlyWithAV4SignatureOfATrustedKey) {
    TestKey rsa("Updater Test RSA", "rsa2048", scratch_.file("keys"));
    TestKey dsa("Updater Test DSA", "dsa2048", scratch_.file("keys"));
    TestKey stranger("Updater Test Stranger", "rsa2048", scratch_.file("keys"));
    ASSERT_TRUE(rsa.valid() && dsa.valid() && stranger.valid());

    PackageBuilder builder(scratch_.file("build"));
    const std::string built =
        builder.build(TestPackage("foo", "2.0-1").payload(3000), scratch_.file("rpms"));
    ASSERT_FALSE(built.empty());
    const std::string content = readHostFile(built);
    auto variant = [&](const std::string& name, const TestKey* key) {
        std::string path = scratch_.file("rpms/" + name);
        writeHostFile(path, content);
        if (key != nullptr) {
            EXPECT_TRUE(key->signPackage(path));
        }
        return path;
    };
    // Other keys, unsigned, junk and truncated packages: the signature rows
    // of the end-to-end runs.
    const std::string byDsa = variant("dsa.rpm", &dsa);
    const std::string missing = scratch_.file("rpms/missing.rpm");

    {
        RpmDB db;
        ASSERT_TRUE(db.open(false));
        EXPECT_FALSE(db.hasPublicKeys());
        EXPECT_TRUE(db.loadKeys().empty());
    }
    ASSERT_TRUE(importKey(dbPath_, rsa.publicKeyFile()));
    ASSERT_TRUE(importKey(dbPath_, dsa.publicKeyFile()));

    struct Case {
        std::string path;
        bool accepted;
        std::string line;  // a line the check logs
    };
    const std::vector<Case> cases = {
        {byDsa, true, "INFO: checking signature of dsa.rpm"},
        {missing, false, "ERROR: failed opening 'missing.rpm' to check signature: "},
    };
    RpmDB db;
    ASSERT_TRUE(db.open(false));
    EXPECT_TRUE(db.hasPublicKeys());
    const rpmVSFlags before = rpmtsVSFlags(db.transactionSet());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture log(LogLevel::Debug);
        EXPECT_EQ(checkPackageSignature(db, c.path, false), c.accepted);
        EXPECT_EQ(log.countContaining(c.line), 1) << log.text();
        EXPECT_EQ(rpmtsVSFlags(db.transactionSet()), before);
    }
    EXPECT_TRUE(db.isTrustedKey(keyIdFromHex(rsa.keyId())));
    EXPECT_TRUE(db.isTrustedKey(keyIdFromHex(dsa.keyId())));
    EXPECT_FALSE(db.isTrustedKey(keyIdFromHex(stranger.keyId())));
    EXPECT_EQ(db.loadKeys().size(), 2u);

    // Quiet lowers only the "checking" line.
    LogCapture log(LogLevel::Debug);
    EXPECT_TRUE(checkPackageSignature(db, byDsa, true));
    EXPECT_TRUE(log.has("DEBUG: checking signature of dsa.rpm")) << log.text();
}

// Header signatures made by hand: a version 3 RSA signature is refused and the
// DSA one still tried; an unknown key ID is not trusted.
TEST_F(PackageSignatureTest, HeaderSignaturesRowByRow) {
    TestKey rsa("Updater Test RSA", "rsa2048", scratch_.file("keys"));
    ASSERT_TRUE(rsa.valid());
    ASSERT_TRUE(importKey(dbPath_, rsa.publicKeyFile()));
    const KeyId trusted = keyIdFromHex(rsa.keyId());
    const KeyId unknown = keyIdFromHex("0011223344556677");

    auto v3 = [](const KeyId& id) {
        std::vector<uint8_t> p = {0x88, 19, 3, 5, 0x00, 0x5f, 0, 0, 1};
        p.insert(p.end(), id.begin(), id.end());
        p.insert(p.end(), {1, 8, 0xaa, 0xbb});
        return p;
    };
    auto v4 = [](const KeyId& id) {
        std::vector<uint8_t> p = {0x88, 20, 4, 0, 1, 8, 0, 0, 0, 10, 9, 16};
        p.insert(p.end(), id.begin(), id.end());
        p.insert(p.end(), {0xaa, 0xbb});
        return p;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> rsaSig;  // empty: no such tag
        std::vector<uint8_t> dsaSig;
        bool rsaAccepted;
        bool dsaAccepted;
        std::string line;
    };
    const std::vector<uint8_t> none;
    const std::vector<Case> cases = {
        {"v4 RSA by the trusted key", v4(trusted), none, true, false, ""},
        {"v3 RSA, v4 DSA", v3(trusted), v4(trusted), false, true,
         "ERROR: unsupported RSA signature v3 in package 'p.rpm'"},
        {"unknown key", v4(unknown), none, false, false,
         "DEBUG: RSA signing key ID 0011223344556677 for package 'p.rpm' is not trusted"},
        {"junk packets", std::vector<uint8_t>{0x08, 0x01}, none, false, false,
         "ERROR: failed extracting RSA header packets from package 'p.rpm'"},
        {"no signature packet", std::vector<uint8_t>{0xc6, 0x01, 0x04}, none, false, false,
         "ERROR: failed parsing signature data from RSA header from package 'p.rpm'"},
        {"no issuer", std::vector<uint8_t>{0x88, 10, 4, 0, 1, 8, 0, 0, 0, 0, 0xaa, 0xbb}, none,
         false, false, "ERROR: could not find key ID from RSA header from package 'p.rpm'"},
    };
    RpmDB db;
    ASSERT_TRUE(db.open(false));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RpmHeaderPtr header(headerNew());
        if (!c.rsaSig.empty()) {
            headerPutBin(header.get(), RPMTAG_RSAHEADER, c.rsaSig.data(), c.rsaSig.size());
        }
        if (!c.dsaSig.empty()) {
            headerPutBin(header.get(), RPMTAG_DSAHEADER, c.dsaSig.data(), c.dsaSig.size());
        }
        LogCapture log;
        EXPECT_EQ(checkHeaderSignature(db, header.get(), RPMTAG_RSAHEADER, "RSA", "p.rpm", false),
                  c.rsaAccepted);
        EXPECT_EQ(checkHeaderSignature(db, header.get(), RPMTAG_DSAHEADER, "DSA", "p.rpm", false),
                  c.dsaAccepted);
        if (!c.line.empty()) {
            EXPECT_EQ(log.count(c.line), 1) << log.text();
        }
        if (c.rsaSig.size() > 20) {
            EXPECT_TRUE(
                log.contains("found v" + std::to_string(c.rsaSig[2]) + " signature with key ID "))
                << log.text();
        }
    }
}

// A gpg-pubkey entry with several keys, one of them not base64: the others
// still load and all of them are trusted.
TEST_F(PackageSignatureTest, KeysOfOneEntryAndUndecodableValues) {
    TestKey first("Updater Test RSA", "rsa2048", scratch_.file("keys"));
    TestKey second("Updater Test Stranger", "rsa2048", scratch_.file("keys"));
    ASSERT_TRUE(first.valid() && second.valid());
    ASSERT_TRUE(first.exportBinary(scratch_.file("first.gpg")));
    ASSERT_TRUE(second.exportBinary(scratch_.file("second.gpg")));
    const std::string one = readHostFile(scratch_.file("first.gpg"));
    const std::string two = readHostFile(scratch_.file("second.gpg"));
    const std::string b1 = base64(one);
    const std::string b2 = base64(two);

    RpmHeaderPtr header(headerNew());
    headerPutString(header.get(), RPMTAG_NAME, "gpg-pubkey");
    headerPutString(header.get(), RPMTAG_VERSION, "1");
    headerPutString(header.get(), RPMTAG_RELEASE, "1");
    std::vector<const char*> values = {b1.c_str(), "*** not base64 ***", "ab", b2.c_str()};
    headerPutStringArray(header.get(), RPMTAG_PUBKEYS, values.data(),
                         static_cast<rpm_count_t>(values.size()));
    importHeader(header.get());

    RpmDB db;
    ASSERT_TRUE(db.open(true));
    EXPECT_TRUE(db.hasPublicKeys());
    LogCapture log;
    const std::list<std::string>& keys = db.loadKeys();
    EXPECT_EQ(log.count("WARNING: failed base64 decode of public key data"), 2) << log.text();
    EXPECT_EQ(keys, (std::list<std::string>{one, two}));
    EXPECT_TRUE(db.isTrustedKey(keyIdFromHex(first.keyId())));
    EXPECT_TRUE(db.isTrustedKey(keyIdFromHex(second.keyId())));
    EXPECT_TRUE(log.has("DEBUG: added key ID " + first.keyId() + " found in RPM DB to trusted set"))
        << log.text();
    EXPECT_TRUE(log.has("DEBUG: read 2 public keys from RPM DB")) << log.text();
}

}  // namespace
