#include "repo/checksum.h"

#include <gtest/gtest.h>

#include <random>

#include "harness/command.h"
#include "harness/log_capture.h"
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

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) {
        c = static_cast<char>(rng() & 0xff);
    }
    return data;
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
        std::string path = scratch_.file(name);
        writeHostFile(path, content);
        return path;
    }
    std::string gzip(const std::string& path) {
        CommandResult r = runCommand({"gzip", "-k", "-f", path});
        EXPECT_EQ(r.status, 0) << r.output;
        return path + ".gz";
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
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    log.clear();
    EXPECT_FALSE(checkFile(make("sha256", upper), abc));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"DEBUG: 'sha256' checksum of '" + abc + "' (" +
                                                    kAbcSha256 + ") FAILS against " + upper});
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
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(toHex(bytes, sizeof(bytes)), "000fa5ff");
}

// Sizes around the 64 KiB read block and a file of several megabytes, plain
// and compressed: the digest of the content read whole, as openssl makes it.
TEST_F(ChecksumTest, FilesAroundTheBlockSizeAgreeWithOpenssl) {
    constexpr size_t kBlock = 64 * 1024;
    for (size_t size :
         {size_t{0}, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, size_t{3 * 1024 * 1024 + 777}}) {
        SCOPED_TRACE(size);
        const std::string plain =
            file("data" + std::to_string(size),
                 randomBytes(size / 2, unsigned(size)) + std::string(size - size / 2, 'a'));
        const std::string digest = opensslDigest("sha256", plain);
        EXPECT_TRUE(checkFile(make("sha256", digest), plain));
        EXPECT_TRUE(checkFile(make("sha", opensslDigest("sha1", plain)), plain));
        EXPECT_TRUE(checkUncompressedFile(make("sha256", digest), plain));
        const std::string compressed = gzip(plain);
        EXPECT_TRUE(checkUncompressedFile(make("sha256", digest), compressed));
        EXPECT_FALSE(checkFile(make("sha256", digest), compressed));
        const std::string compressedDigest = opensslDigest("sha256", compressed);
        EXPECT_TRUE(checkFile(make("sha256", compressedDigest), compressed));
        EXPECT_FALSE(checkUncompressedFile(make("sha256", compressedDigest), compressed));
    }
}

TEST_F(ChecksumTest, DamagedGzipStreamsAreReadErrorsNeverMatches) {
    std::string content = randomBytes(300000, 9);
    std::string plain = file("data", content);
    std::string digest = opensslDigest("sha256", plain);
    std::string compressed = readHostFile(gzip(plain));

    std::string corrupt = compressed;
    for (size_t i = corrupt.size() / 2; i < corrupt.size() / 2 + 64; ++i) {
        corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
    }
    std::string truncated = compressed.substr(0, compressed.size() / 2);
    std::string badTrailer = compressed;
    badTrailer[badTrailer.size() - 6] ^= 1;  // stored CRC
    for (const auto& damaged :
         {std::make_pair("corrupt.gz", corrupt), std::make_pair("truncated.gz", truncated),
          std::make_pair("crc.gz", badTrailer)}) {
        std::string path = file(damaged.first, damaged.second);
        LogCapture log;
        EXPECT_FALSE(checkUncompressedFile(make("sha256", digest), path)) << damaged.first;
        EXPECT_EQ(log.count("ERROR: failed while reading from '" + path + "'"), 1)
            << damaged.first << "\n"
            << log.text();
    }
}

TEST_F(ChecksumTest, UnusableInputsFailWithTheirMessages) {
    std::string abc = file("abc", "abc");
    std::string missing = scratch_.file("missing");
    struct Case {
        Checksum checksum;
        std::string path;
        bool decompress;
        std::string message;
    } cases[] = {
        {make("sha256", kAbcSha256), missing, false,
         "ERROR: failed opening '" + missing + "' for checksumming (No such file or directory)"},
        {make("sha256", kAbcSha256), missing, true,
         "ERROR: failed opening '" + missing + "' for checksumming (No such file or directory)"},
        {make("sha256", kAbcSha256), scratch_.path(), false,
         "ERROR: failed while reading from '" + scratch_.path() + "'"},
        {make("sha256", kAbcSha256), scratch_.path(), true,
         "ERROR: failed while reading from '" + scratch_.path() + "'"},
        {make("sha512", "00"), abc, false, "ERROR: unsupported checksum type 'sha512'"},
        {make("SHA256", kAbcSha256), abc, false, "ERROR: unsupported checksum type 'SHA256'"},
        {make("", kAbcSha256), abc, true, "ERROR: unsupported checksum type ''"},
        {make("sha256", ""), abc, false, "ERROR: attempted to check an empty checksum"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        bool ok = c.decompress ? checkUncompressedFile(c.checksum, c.path)
                               : checkFile(c.checksum, c.path);
        EXPECT_FALSE(ok) << c.message;
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.message});
    }
}

TEST_F(ChecksumTest, Md5IsWarnedAboutOnceAndNeverMatches) {
    std::string abc = file("abc", "abc");
    LogCapture log;
    EXPECT_FALSE(checkFile(make("md5", "900150983cd24fb0d6963f7d28e17f72"), abc));
    EXPECT_FALSE(checkUncompressedFile(make("md5", "900150983cd24fb0d6963f7d28e17f72"), abc));
    std::vector<unsigned char> digest;
    EXPECT_FALSE(checksumFile(make("md5", ""), abc, false, digest));
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "WARNING: encountered insecure MD5 checksums: discarding them"});
}
