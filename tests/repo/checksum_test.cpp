// File checksums against known digests and the openssl program, plain and
// through gzip, and every way a check fails.
#include "repo/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
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
// and compressed: the digest of the content read whole, as openssl makes it.
// A damaged gzip stream is a read error, never a match.
TEST_F(ChecksumTest, FilesAroundTheBlockSizeAgreeWithOpenssl) {
    constexpr size_t kBlock = 64 * 1024;
    std::mt19937 rng(9);
    std::string compressed, digest;
    for (size_t size :
         {size_t{0}, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, size_t{(3 << 20) + 777}}) {
        SCOPED_TRACE(size);
        std::string content(size, 'a');
        std::generate_n(content.begin(), size / 2, [&] { return static_cast<char>(rng()); });
        const std::string plain = file("data", content);
        digest = opensslDigest("sha256", plain);
        EXPECT_TRUE(checkFile(make("sha256", digest), plain));
        EXPECT_TRUE(checkFile(make("sha", opensslDigest("sha1", plain)), plain));
        EXPECT_TRUE(checkUncompressedFile(make("sha256", digest), plain));
        compressed = gzipText(content);
        const std::string gz = file("data.gz", compressed);
        EXPECT_TRUE(checkUncompressedFile(make("sha256", digest), gz));
        EXPECT_FALSE(checkFile(make("sha256", digest), gz));
        const std::string gzDigest = opensslDigest("sha256", gz);
        EXPECT_TRUE(checkFile(make("sha256", gzDigest), gz));
        EXPECT_FALSE(checkUncompressedFile(make("sha256", gzDigest), gz));
    }
    std::string corrupt = compressed;
    for (size_t i = corrupt.size() / 2; i < corrupt.size() / 2 + 64; ++i) {
        corrupt[i] ^= 0x5a;
    }
    std::string badCrc = compressed;
    badCrc[badCrc.size() - 6] ^= 1;  // stored CRC
    for (const std::string& damaged :
         {corrupt, compressed.substr(0, compressed.size() / 2), badCrc}) {
        const std::string path = file("damaged.gz", damaged);
        LogCapture log;
        EXPECT_FALSE(checkUncompressedFile(make("sha256", digest), path));
        EXPECT_EQ(log.count("ERROR: failed while reading from '" + path + "'"), 1) << log.text();
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
        {make("sha512", "00"), abc, false, "ERROR: unsupported checksum type 'sha512'"},
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
