// File checksums against known digests and the openssl program, plain and
// through every compression of the package lists, and every way a check fails.
#include "repo/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "harness/command.h"
#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"

namespace {

constexpr const char* kAbcSha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr const char* kAbcSha256 =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

Checksum make(const char* type, const std::string& value) {
    Checksum c;
    c.m_sType = type;
    c.m_sValue = value;
    return c;
}

// The digest the openssl program computes for a file.
std::string opensslDigest(const char* algorithm, const std::string& path) {
    CommandResult r = runCommand({"openssl", "dgst", std::string("-") + algorithm, "-r", path});
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output.substr(0, r.output.find(' '));
}

class ChecksumTest : public ::testing::Test {
protected:
    std::string file(const std::string& name, const std::string& content) {
        writeHostFile(scratch_.file(name), content);
        return scratch_.file(name);
    }

    ScratchDir scratch_;
};

}  // namespace

TEST_F(ChecksumTest, KnownDigestsMatchOnlyInLowerCase) {
    const std::string abc = file("abc", "abc");
    LogCapture log(LogLevel::Debug);
    EXPECT_TRUE(checkFile(make("sha", kAbcSha1), abc));
    EXPECT_TRUE(checkFile(make("sha256", kAbcSha256), abc));
    EXPECT_TRUE(log.contains("DEBUG: 'sha256' checksum of '" + abc + "' (" + kAbcSha256 +
                             ") checks against " + kAbcSha256));
    std::string upper = kAbcSha256;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    log.clear();
    EXPECT_FALSE(checkFile(make("sha256", upper), abc));
    EXPECT_EQ(log.text(), "DEBUG: 'sha256' checksum of '" + abc + "' (" + kAbcSha256 +
                              ") FAILS against " + upper + "\n");
    // Wrong algorithm for the value, a value cut short, a value with more.
    for (const std::string& value :
         {std::string(kAbcSha256).substr(0, 63), std::string(kAbcSha256) + "0",
          std::string(kAbcSha256) + " "}) {
        EXPECT_FALSE(checkFile(make("sha256", value), abc)) << value;
    }
    EXPECT_FALSE(checkFile(make("sha", kAbcSha256), abc));
    std::vector<unsigned char> digest;
    ASSERT_TRUE(checksumFile(make("sha", ""), abc, false, digest));
    EXPECT_EQ(toHex(digest), kAbcSha1);
}

// Sizes around the 64 KiB read block and a file of several megabytes, plain
// and compressed, in every checksum type: the digest of the content read
// whole, as openssl makes it. A damaged stream is a read error, never a match.
TEST_F(ChecksumTest, FilesAroundTheBlockSizeAgreeWithOpenssl) {
    constexpr size_t kBlock = 64 * 1024;
    const std::pair<const char*, const char*> types[] = {
        {"sha", "sha1"},       {"sha1", "sha1"},     {"sha224", "sha224"},
        {"sha256", "sha256"}, {"sha384", "sha384"}, {"sha512", "sha512"}};
    std::mt19937 rng(9);
    std::map<std::string, std::string> compressed;
    std::string digest;
    for (size_t size :
         {size_t{0}, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, size_t{(3 << 20) + 777}}) {
        SCOPED_TRACE(size);
        std::string content(size, 'a');
        std::generate_n(content.begin(), size / 2, [&] { return static_cast<char>(rng()); });
        const std::string plain = file("data", content);
        digest = opensslDigest("sha256", plain);
        for (const auto& [type, algorithm] : types) {
            if (size == 0 || size == kBlock + 1) {
                EXPECT_TRUE(checkFile(make(type, opensslDigest(algorithm, plain)), plain)) << type;
            }
        }
        EXPECT_TRUE(checkUncompressedFile(make("sha256", digest), plain));
        for (const std::string compression : {"gz", "zstd", "xz", "bz2"}) {
            SCOPED_TRACE(compression);
            if (size > 2 * kBlock && compression != "gz") {
                continue;  // slow to make; several blocks in and out at 2 * kBlock already
            }
            compressed[compression] = compressText(content, compression);
            const std::string packed = file("data.packed", compressed[compression]);
            EXPECT_TRUE(checkUncompressedFile(make("sha256", digest), packed));
            EXPECT_FALSE(checkFile(make("sha256", digest), packed));
            const std::string packedDigest = opensslDigest("sha256", packed);
            EXPECT_TRUE(checkFile(make("sha256", packedDigest), packed));
            EXPECT_FALSE(checkUncompressedFile(make("sha256", packedDigest), packed));
        }
    }
    for (const auto& [compression, packed] : compressed) {
        std::string corrupt = packed;
        for (size_t i = corrupt.size() / 2; i < corrupt.size() / 2 + 64; ++i) {
            corrupt[i] ^= 0x5a;
        }
        for (const std::string& damaged :
             {corrupt, packed.substr(0, packed.size() / 2), packed.substr(0, packed.size() - 4)}) {
            const std::string path = file("damaged", damaged);
            LogCapture log;
            EXPECT_FALSE(checkUncompressedFile(make("sha256", digest), path)) << compression;
            EXPECT_EQ(log.count("ERROR: failed while reading from '" + path + "'"), 1)
                << compression << "\n"
                << log.text();
        }
    }
}

TEST_F(ChecksumTest, UnusableInputsFailWithTheirMessages) {
    const std::string abc = file("abc", "abc");
    const std::string missing = scratch_.file("missing");
    const std::string dir = scratch_.path();
    const struct {
        Checksum checksum;
        std::string path;
        bool decompress;
        std::string message;
    } cases[] = {
        {make("sha256", kAbcSha256), missing, false,
         "ERROR: failed opening '" + missing + "' for checksumming (No such file or directory)"},
        {make("sha256", kAbcSha256), missing, true,
         "ERROR: failed opening '" + missing + "' for checksumming (No such file or directory)"},
        {make("sha256", kAbcSha256), dir, false, "ERROR: failed while reading from '" + dir + "'"},
        {make("sha256", kAbcSha256), dir, true, "ERROR: failed while reading from '" + dir + "'"},
        {make("sha3-256", "00"), abc, false, "ERROR: unsupported checksum type 'sha3-256'"},
        {make("SHA512", "00"), abc, true, "ERROR: unsupported checksum type 'SHA512'"},
        {make("SHA256", kAbcSha256), abc, false, "ERROR: unsupported checksum type 'SHA256'"},
        {make("", kAbcSha256), abc, true, "ERROR: unsupported checksum type ''"},
        {make("sha256", ""), abc, false, "ERROR: attempted to check an empty checksum"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        EXPECT_FALSE(c.decompress ? checkUncompressedFile(c.checksum, c.path)
                                  : checkFile(c.checksum, c.path));
        EXPECT_EQ(log.text(), c.message + "\n");
    }
    // MD5 is warned about once and never matches.
    LogCapture log;
    EXPECT_FALSE(checkFile(make("md5", "900150983cd24fb0d6963f7d28e17f72"), abc));
    EXPECT_FALSE(checkUncompressedFile(make("md5", "900150983cd24fb0d6963f7d28e17f72"), abc));
    std::vector<unsigned char> digest;
    EXPECT_FALSE(checksumFile(make("md5", ""), abc, false, digest));
    EXPECT_EQ(log.text(), "WARNING: encountered insecure MD5 checksums: discarding them\n");
}
