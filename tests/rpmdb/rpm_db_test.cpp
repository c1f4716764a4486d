// The RPM database read-only, its trusted keys and the package signature
// check: packages built by rpmbuild and signed by rpmsign, keys imported by
// rpm --import, and headers written by hand in shapes rpmbuild never makes.
#include "rpmdb/rpm_db.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <rpm/rpmds.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "harness/log_capture.h"
#include "harness/package_builder.h"
#include "harness/rpm_db_fixture.h"
#include "harness/sandbox.h"
#include "rpmdb/package_signature.h"

// The RPM library does not release its sqlite handle when it fails to open a
// damaged database (seen with rpm 4.18); the leak is the library's. Our own
// handles (transaction sets, iterators, headers) are allocated by librpm
// itself and stay checked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libsqlite3.so\n";
}

namespace {

std::string depText(const DependencySet& set) {
    std::string text;
    for (const Dependency& d : set) {
        text += (text.empty() ? "" : ", ") + depToString(d);
    }
    return text;
}

std::string depText(const std::set<std::string>& texts) {
    std::string text;
    for (const std::string& t : texts) {
        text += (text.empty() ? "" : ", ") + t;
    }
    return text;
}

PGPKeyId keyIdFromHex(const std::string& hex) {
    PGPKeyId id{};
    for (size_t i = 0; i < id.size(); ++i) {
        id[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return id;
}

// A header made by hand, written into the database through the RPM library.
class HeaderMaker {
public:
    explicit HeaderMaker(const char* name) : m_header(headerNew()) {
        for (auto [tag, value] : {std::pair<rpmTagVal, const char*>{RPMTAG_NAME, name},
                                  {RPMTAG_VERSION, "1.0"},
                                  {RPMTAG_RELEASE, "1"},
                                  {RPMTAG_ARCH, "noarch"},
                                  {RPMTAG_OS, "linux"}}) {
            headerPutString(m_header.get(), tag, value);
        }
    }
    Header get() const { return m_header.get(); }

    // Any type, also one the tag table does not give the tag.
    HeaderMaker& put(rpmTagVal tag, rpmTagType type, const void* data, size_t count) {
        struct rpmtd_s td = {};
        td.tag = tag;
        td.type = type;
        td.count = static_cast<rpm_count_t>(count);
        td.data = const_cast<void*>(data);
        EXPECT_EQ(headerPut(m_header.get(), &td, HEADERPUT_DEFAULT), 1) << tag;
        return *this;
    }
    HeaderMaker& strings(rpmTagVal tag, std::vector<const char*> values) {
        return put(tag, RPM_STRING_ARRAY_TYPE, values.data(), values.size());
    }
    HeaderMaker& flags(rpmTagVal tag, std::vector<uint32_t> values) {
        return put(tag, RPM_INT32_TYPE, values.data(), values.size());
    }
    void importInto() {
        RpmTsPtr ts(rpmtsCreate());
        rpmtxn txn = rpmtxnBegin(ts.get(), RPMTXN_WRITE);
        ASSERT_NE(txn, nullptr);
        EXPECT_EQ(rpmtsImportHeader(txn, m_header.get(), 0), RPMRC_OK);
        rpmtxnEnd(txn);
    }

private:
    RpmHeaderPtr m_header;
};

// Contents and modification times of the files of a directory, except the
// shared-memory index through which sqlite readers coordinate.
std::map<std::string, std::pair<std::string, long>> snapshot(const std::string& dir) {
    std::map<std::string, std::pair<std::string, long>> files;
    for (const std::string& name : splitLines(runShell("ls -A '" + dir + "'").output)) {
        struct stat st;
        std::string path = dir + "/" + name;
        if (name.find("-shm") == std::string::npos && stat(path.c_str(), &st) == 0 &&
            S_ISREG(st.st_mode)) {
            files[name] = {readHostFile(path),
                           st.st_mtim.tv_nsec + st.st_mtim.tv_sec * 1000000000L};
        }
    }
    return files;
}

class RpmDbTest : public RpmDbFixture {
protected:
    void SetUp() override {
        RpmDbFixture::SetUp();
        ASSERT_TRUE(initRpmDb(dbPath_));
    }
    std::unique_ptr<PackageList> listInstalled(HeaderCheck check = HeaderCheck::SKIP) {
        RpmDB db;
        return db.open(check) ? db.getInstalledPackages() : nullptr;
    }
};

}  // namespace

TEST_F(RpmDbTest, InstalledPackagesKeysAndSignaturesLeaveTheDatabaseUntouched) {
    PackageBuilder builder(scratch_.file("build"));
    std::vector<std::string> files =
        builder.build({TestPackage("foo", "3:2.0-5")
                           .group("Apps/Test")
                           .require("bar >= 1.0")
                           .require("/bin/sh")
                           .recommend("baz > 2:1-1")
                           .provide("libfoo = 1:2.0-3")
                           .provide("virtual-foo")
                           .obsolete("oldfoo < 2.0")
                           .payload(5000),
                       TestPackage("bar", "1.1-1", "x86_64").provide("libbar.so.1()(64bit)"),
                       TestPackage("multi", "2.0-1"), TestPackage("armpkg", "0:1.0-1", "armv7hl"),
                       TestPackage("multi", "1.0-1")},
                      scratch_.file("rpms"));
    ASSERT_EQ(files.size(), 5u);
    // Two calls, so the database holds multi 2.0 before multi 1.0.
    ASSERT_TRUE(installJustDb(dbPath_, {files[0], files[1], files[2], files[3]}));
    ASSERT_TRUE(installJustDb(dbPath_, {files[4]}));
    TestKey key("Updater Test Key", scratch_.file("keys"));
    ASSERT_TRUE(key.valid());
    ASSERT_TRUE(importKey(dbPath_, key.publicKeyFile()));
    ASSERT_TRUE(key.signPackage(files[1]));
    const auto before = snapshot(dbPath_);
    ASSERT_FALSE(before.empty());

    for (HeaderCheck check : {HeaderCheck::SKIP, HeaderCheck::VERIFY}) {
        LogCapture log;
        std::unique_ptr<PackageList> list = listInstalled(check);
        ASSERT_NE(list, nullptr) << log.text();
        const Package& pubkey = *list->find("gpg-pubkey");
        const std::string keyEvr = key.keyId().substr(8) + "-" + pubkey.m_evr.m_sRelease.str();
        std::vector<std::string> names;
        for (const Package& p : *list) {
            names.push_back(packageToString(p));
            EXPECT_EQ(p.m_nType, PackageType::RPM);
            EXPECT_TRUE(p.m_setObsoletes.empty());
        }
        EXPECT_EQ(names,
                  (std::vector<std::string>{"armpkg-1.0-1", "bar-1.1-1", "foo-3:2.0-5",
                                            "gpg-pubkey-" + keyEvr, "multi-2.0-1", "multi-1.0-1"}));
        // No rpmlib() requirements; the key provides itself with the keyring bit masked away.
        const Package& foo = *list->find("foo");
        EXPECT_EQ(depText(foo.m_setRequires), "/bin/sh, bar >= 1.0");
        EXPECT_EQ(depText(foo.m_setRecommends), "baz > 2:1-1");
        EXPECT_EQ(depText(foo.m_setProvides), "foo = 3:2.0-5, libfoo = 1:2.0-3, virtual-foo");
        EXPECT_EQ(depText(list->find("bar")->m_setProvides),
                  "bar = 1.1-1, bar(x86-64) = 1.1-1, libbar.so.1()(64bit)");
        const std::string keyDep = ") = 4:" + key.keyId().substr(0, 8) + keyEvr;
        std::set<std::string> provides = {"gpg(" + key.keyId() + keyDep,
                                          "gpg(" + key.keyId().substr(8) + keyDep,
                                          "gpg(Updater Test Key" + keyDep};
        EXPECT_EQ(depText(pubkey.m_setProvides), depText(provides));
    }

    RpmDB db;
    ASSERT_TRUE(db.open(HeaderCheck::VERIFY));
    EXPECT_TRUE(db.hasPublicKeys());
    EXPECT_EQ(db.loadKeys().size(), 1u);
    EXPECT_TRUE(db.isTrustedKey(keyIdFromHex(key.keyId())));
    EXPECT_FALSE(db.isTrustedKey(keyIdFromHex("0011223344556677")));
    const rpmVSFlags flags = rpmtsVSFlags(db.transactionSet());
    const struct {
        std::string path;
        bool quiet;
        bool accepted;
        std::string line;  // a line the check logs once
    } cases[] = {
        {files[1], false, true, "INFO: checking signature of bar-1.1-1.x86_64.rpm"},
        {files[1], true, true, "DEBUG: checking signature of bar-1.1-1.x86_64.rpm"},
        {files[0], false, false,
         "ERROR: no acceptable signature on package 'foo-2.0-5.noarch.rpm'"},
        {scratch_.file("rpms/missing.rpm"), false, false,
         "ERROR: failed opening 'missing.rpm' to check signature: "},
    };
    for (const auto& c : cases) {
        LogCapture log(LogLevel::Debug);
        EXPECT_EQ(checkPackageSignature(db, c.path, c.quiet), c.accepted) << c.line;
        EXPECT_EQ(log.countContaining(c.line), 1) << log.text();
        EXPECT_EQ(rpmtsVSFlags(db.transactionSet()), flags);
    }
    db.close();
    EXPECT_FALSE(db.isOpen());
    EXPECT_TRUE(snapshot(dbPath_) == before);
}

TEST_F(RpmDbTest, OpenFailsOnAMissingOrBrokenDatabaseAndOnReopening) {
    {
        LogCapture log;
        RpmDB db;
        ASSERT_TRUE(db.open(HeaderCheck::SKIP));
        EXPECT_FALSE(db.open(HeaderCheck::VERIFY));
        EXPECT_EQ(log.count("ERROR: attempted to reopen an opened RpmDB"), 1);
        EXPECT_TRUE(db.isOpen());
        std::unique_ptr<PackageList> empty = db.getInstalledPackages();
        ASSERT_NE(empty, nullptr);
        EXPECT_TRUE(empty->empty());
        EXPECT_FALSE(db.hasPublicKeys());
        EXPECT_TRUE(db.loadKeys().empty());
    }
    removeTree(dbPath_);
    for (bool createDir : {false, true}) {
        // Nothing is created in place of the missing database.
        if (createDir) {
            makeDirs(dbPath_);
        }
        LogCapture log;
        RpmDB db;
        EXPECT_FALSE(db.open(HeaderCheck::SKIP));
        EXPECT_FALSE(db.isOpen());
        EXPECT_EQ(log.count("ERROR: failed opening rpm DB"), 1) << log.text();
        EXPECT_EQ(db.getInstalledPackages(), nullptr);
        EXPECT_EQ(access(dbPath_.c_str(), F_OK) == 0, createDir);
        EXPECT_TRUE(snapshot(dbPath_).empty());
    }
    writeHostFile(dbPath_ + "/rpmdb.sqlite", std::string(8192, 'x'));
    LogCapture log;
    RpmDB db;
    // The library may notice the damage at opening or at the first read.
    EXPECT_EQ(db.open(HeaderCheck::SKIP) ? db.getInstalledPackages() : nullptr, nullptr);
    EXPECT_TRUE(log.contains("ERROR: failed opening rpm DB") ||
                log.contains("ERROR: failed initializing rpm DB iterator"))
        << log.text();
}

// With the header check, the RPM library leaves out a header whose digests no
// longer match its content; without it, the header is read as it is.
TEST_F(RpmDbTest, HeaderCheckLeavesOutADamagedHeader) {
    PackageBuilder builder(scratch_.file("build"));
    ASSERT_TRUE(installJustDb(
        dbPath_, builder.build({TestPackage("foo", "1.0-1"), TestPackage("bar", "1.0-1")},
                               scratch_.file("rpms"))));
    writeHostFile(scratch_.file("damage.py"),
                  "import sqlite3, sys\n"
                  "db = sqlite3.connect(sys.argv[1])\n"
                  "for n, blob in db.execute('select hnum, blob from Packages').fetchall():\n"
                  "    at = blob.find(b'test package foo')\n"
                  "    if at >= 0:\n"
                  "        blob = blob[:at] + b'T' + blob[at + 1:]\n"
                  "        db.execute('update Packages set blob = ? where hnum = ?', (blob, n))\n"
                  "db.commit()\n");
    ASSERT_EQ(runCommand({"python3", scratch_.file("damage.py"), dbPath_ + "/rpmdb.sqlite"}).status,
              0);
    for (auto [check, names] :
         {std::pair{HeaderCheck::SKIP, "bar foo "}, std::pair{HeaderCheck::VERIFY, "bar "}}) {
        std::unique_ptr<PackageList> list = listInstalled(check);
        ASSERT_NE(list, nullptr);
        std::string listed;
        for (const Package& p : *list) {
            listed += std::string(p.m_sName.c_str()) + " ";
        }
        EXPECT_EQ(listed, names);
    }
}

TEST_F(RpmDbTest, HandMadeHeadersShowEpochTypesAndDroppedDependencies) {
    const uint16_t epoch = 7;
    HeaderMaker("short-epoch")
        .put(RPMTAG_EPOCH, RPM_INT16_TYPE, &epoch, 1)
        .strings(RPMTAG_REQUIRENAME, {"rpmlib(CompressedFileNames)", "optional", "needed"})
        .strings(RPMTAG_REQUIREVERSION, {"3.0.4-1", "", "2:1.0"})
        .flags(RPMTAG_REQUIREFLAGS,
               {RPMSENSE_RPMLIB | RPMSENSE_LESS | RPMSENSE_EQUAL, RPMSENSE_MISSINGOK,
                RPMSENSE_GREATER | RPMSENSE_EQUAL | RPMSENSE_SCRIPT_PRE})
        .strings(RPMTAG_RECOMMENDNAME, {"weak", "weaker"})
        .strings(RPMTAG_RECOMMENDVERSION, {"", ""})
        .flags(RPMTAG_RECOMMENDFLAGS, {0, RPMSENSE_MISSINGOK})
        .importInto();
    HeaderMaker("no-deps").importInto();
    std::unique_ptr<PackageList> list = listInstalled();
    ASSERT_NE(list, nullptr);
    const Package& p = *list->find("short-epoch");
    EXPECT_EQ(packageToString(p), "short-epoch-7:1.0-1");
    EXPECT_EQ(depText(p.m_setRequires), "needed >= 2:1.0");
    EXPECT_EQ(depText(p.m_setRecommends), "weak");
    EXPECT_TRUE(p.m_setProvides.empty());
    const Package& none = *list->find("no-deps");
    EXPECT_EQ(none.m_evr.m_nEpoch, 0u);
    EXPECT_TRUE(none.m_setRequires.empty() && none.m_setProvides.empty());

    // One broken header fails the whole listing.
    HeaderMaker("broken")
        .strings(RPMTAG_PROVIDENAME, {"cap"})
        .flags(RPMTAG_PROVIDEFLAGS, {RPMSENSE_EQUAL})
        .importInto();
    LogCapture log(LogLevel::Error);
    EXPECT_EQ(listInstalled(), nullptr);
    EXPECT_EQ(log.text(),
              "ERROR: failed retrieving rpm dependencies\n"
              "ERROR: failed getting provides for package 'broken'\n");
}

TEST_F(RpmDbTest, DependencyAndTagReadersCheckTheirInput) {
    HeaderMaker plain("plain");
    HeaderMaker counts("counts");
    counts.strings(RPMTAG_REQUIRENAME, {"a", "b"})
        .strings(RPMTAG_REQUIREVERSION, {"1"})
        .flags(RPMTAG_REQUIREFLAGS, {8, 8});
    HeaderMaker noNames("no-names");
    noNames.strings(RPMTAG_RECOMMENDVERSION, {"1"}).flags(RPMTAG_RECOMMENDFLAGS, {8});
    HeaderMaker flagType("flag-type");
    const uint16_t flags = 8;
    flagType.strings(RPMTAG_PROVIDENAME, {"a"})
        .strings(RPMTAG_PROVIDEVERSION, {"1"})
        .put(RPMTAG_PROVIDEFLAGS, RPM_INT16_TYPE, &flags, 1);
    const std::string failed = "ERROR: failed retrieving rpm dependencies\n";
    const struct {
        HeaderMaker* header;
        rpmTagVal tag;
        std::string log;  // empty: an empty set is read
    } cases[] = {
        {&plain, RPMTAG_PROVIDENAME, ""},
        {&plain, RPMTAG_OBSOLETENAME, "ERROR: unrecognized dependency tag 1090\n"},
        {&counts, RPMTAG_REQUIRENAME, failed},
        {&noNames, RPMTAG_RECOMMENDNAME, failed},
        {&flagType, RPMTAG_PROVIDENAME, failed},
    };
    for (const auto& c : cases) {
        LogCapture log(LogLevel::Error);
        DependencySet set;
        EXPECT_EQ(RpmDB::getDependencies(c.header->get(), c.tag, set), c.log.empty()) << c.log;
        EXPECT_EQ(log.text(), c.log);
        EXPECT_TRUE(set.empty());
    }
    std::string out = "kept";
    LogCapture log(LogLevel::Error);
    EXPECT_TRUE(RpmDB::getTagString(plain.get(), RPMTAG_NAME, out));
    EXPECT_EQ(out, "plain");
    EXPECT_FALSE(RpmDB::getTagString(plain.get(), RPMTAG_GROUP, out));
    EXPECT_EQ(out, "plain");
    EXPECT_EQ(log.text(), "ERROR: failed retrieving rpm tag 1016 as string\n");
}

// Header signatures made by hand: a version 3 RSA signature is refused and the
// DSA one still tried; an unknown key ID is not trusted.
TEST_F(RpmDbTest, HeaderSignaturesRowByRow) {
    TestKey rsa("Updater Test RSA", "rsa2048", scratch_.file("keys"));
    ASSERT_TRUE(rsa.valid());
    ASSERT_TRUE(importKey(dbPath_, rsa.publicKeyFile()));
    const PGPKeyId trusted = keyIdFromHex(rsa.keyId());
    const PGPKeyId unknown = keyIdFromHex("0011223344556677");
    using Bytes = std::vector<uint8_t>;
    auto sig = [](Bytes head, const PGPKeyId& id, Bytes tail) {
        head.insert(head.end(), id.begin(), id.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    auto v3 = [&](const PGPKeyId& id) {
        return sig({0x88, 19, 3, 5, 0, 0x5f, 0, 0, 1}, id, {1, 8, 0xaa, 0xbb});
    };
    auto v4 = [&](const PGPKeyId& id) {
        return sig({0x88, 20, 4, 0, 1, 8, 0, 0, 0, 10, 9, 16}, id, {0xaa, 0xbb});
    };
    const struct {
        Bytes rsaSig;  // empty: no such tag
        Bytes dsaSig;
        bool rsaAccepted;
        bool dsaAccepted;
        std::string line;
    } cases[] = {
        {v4(trusted), {}, true, false, "TRACE: found v4 signature with key ID " + rsa.keyId()},
        {v3(trusted), v4(trusted), false, true,
         "ERROR: unsupported RSA signature v3 in package 'p.rpm'"},
        {v4(unknown),
         {},
         false,
         false,
         "DEBUG: RSA signing key ID 0011223344556677 for package 'p.rpm' is not trusted"},
        {{0x08, 0x01},
         {},
         false,
         false,
         "ERROR: failed extracting RSA header packets from package 'p.rpm'"},
        {{0xc6, 0x01, 0x04},
         {},
         false,
         false,
         "ERROR: failed parsing signature data from RSA header from package 'p.rpm'"},
        {{0x88, 10, 4, 0, 1, 8, 0, 0, 0, 0, 0xaa, 0xbb},
         {},
         false,
         false,
         "ERROR: could not find key ID from RSA header from package 'p.rpm'"},
    };
    RpmDB db;
    ASSERT_TRUE(db.open(HeaderCheck::VERIFY));
    for (const auto& c : cases) {
        RpmHeaderPtr header(headerNew());
        for (auto [tag, data] : {std::make_pair(RPMTAG_RSAHEADER, &c.rsaSig),
                                 std::make_pair(RPMTAG_DSAHEADER, &c.dsaSig)}) {
            if (!data->empty()) {
                headerPutBin(header.get(), tag, data->data(), data->size());
            }
        }
        LogCapture log(LogLevel::Trace);
        EXPECT_EQ(checkHeaderSignature(db, header.get(), RPMTAG_RSAHEADER, "RSA", "p.rpm", false),
                  c.rsaAccepted)
            << c.line;
        EXPECT_EQ(checkHeaderSignature(db, header.get(), RPMTAG_DSAHEADER, "DSA", "p.rpm", false),
                  c.dsaAccepted)
            << c.line;
        EXPECT_EQ(log.count(c.line), 1) << log.text();
    }
}

// A gpg-pubkey entry with several keys, one of them not base64: the others
// still load and all of them are trusted.
TEST_F(RpmDbTest, KeysOfOneEntryAndUndecodableValues) {
    TestKey first("Updater Test RSA", "rsa2048", scratch_.file("keys"));
    TestKey second("Updater Test Stranger", "rsa2048", scratch_.file("keys"));
    ASSERT_TRUE(first.valid() && second.valid());
    std::vector<std::string> keys, encoded;
    for (const TestKey* key : {&first, &second}) {
        ASSERT_TRUE(key->exportBinary(scratch_.file("key.gpg")));
        keys.push_back(readHostFile(scratch_.file("key.gpg")));
        encoded.push_back(runShell("base64 -w0 '" + scratch_.file("key.gpg") + "'").output);
    }
    HeaderMaker header("gpg-pubkey");
    header.strings(RPMTAG_PUBKEYS,
                   {encoded[0].c_str(), "*** not base64 ***", "ab", encoded[1].c_str()});
    header.importInto();

    RpmDB db;
    ASSERT_TRUE(db.open(HeaderCheck::SKIP));
    EXPECT_TRUE(db.hasPublicKeys());
    LogCapture log;
    EXPECT_EQ(db.loadKeys(), (std::list<std::string>{keys[0], keys[1]}));
    EXPECT_EQ(log.count("WARNING: failed base64 decode of public key data"), 2) << log.text();
    EXPECT_TRUE(db.isTrustedKey(keyIdFromHex(first.keyId())));
    EXPECT_TRUE(db.isTrustedKey(keyIdFromHex(second.keyId())));
    EXPECT_TRUE(log.has("DEBUG: added key ID " + first.keyId() + " found in RPM DB to trusted set"))
        << log.text();
    EXPECT_TRUE(log.has("DEBUG: read 2 public keys from RPM DB")) << log.text();
}
