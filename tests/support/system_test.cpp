// Runs inside a sandbox: os-release and the other helpers use fixed paths.
#include "support/system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/log_capture.h"
#include "harness/sandbox.h"
#include "support/paths.h"

namespace {

class OsRelease : public ::testing::Test {
protected:
    void TearDown() override {
        unlink(paths::kOsRelease);
        writeHostFile(paths::kOsReleaseFallback, "ID=debian\n");
    }
    static std::string lookup(const std::string& key, bool* found = nullptr) {
        std::string value = "<unset>";
        bool ok = readOsRelease(key, value);
        if (found != nullptr) {
            *found = ok;
        }
        return ok ? value : "<not found>";
    }
};

TEST_F(OsRelease, QuotesEscapesAndTheLastValue) {
    writeHostFile(paths::kOsRelease,
                  "NAME=\"Player OS\"\n"
                  "VERSION_ID=\"2.1\"\n"
                  "VERSION_IDX=9\n"
                  "PRETTY='It\\'s \\\"quoted\\\"'  \n"
                  "PLAIN=a\\\\b\\\n"
                  "EMPTY=\n"
                  "ODD=\"unterminated\n"
                  " VERSION_ID=indented\n"
                  "VERSION_ID=4.2.1-123-g1a2b\n");
    EXPECT_EQ(lookup("VERSION_ID="), "4.2.1-123-g1a2b");
    EXPECT_EQ(lookup("NAME="), "Player OS");
    EXPECT_EQ(lookup("PRETTY="), "It's \"quoted\"");
    EXPECT_EQ(lookup("PLAIN="), "a\\b");
    EXPECT_EQ(lookup("EMPTY="), "");
    EXPECT_EQ(lookup("ODD="), "unterminate");
    EXPECT_EQ(lookup("MISSING="), "<not found>");
    EXPECT_EQ(lookup("version_id="), "<not found>");
}

TEST_F(OsRelease, FallbackOnlyWhenTheFirstFileIsMissing) {
    writeHostFile(paths::kOsReleaseFallback, "VERSION_ID=7\n");
    unlink(paths::kOsRelease);
    EXPECT_EQ(lookup("VERSION_ID="), "7");

    // Any other failure to open the first file does not fall back.
    symlink(paths::kOsRelease, paths::kOsRelease);  // a loop
    EXPECT_EQ(lookup("VERSION_ID="), "<not found>");
    unlink(paths::kOsRelease);

    unlink(paths::kOsReleaseFallback);
    EXPECT_EQ(lookup("VERSION_ID="), "<not found>");
}

TEST(Paths, BaseNameAndExtension) {
    EXPECT_EQ(baseName("/a/b/"), "b");
    EXPECT_EQ(baseName("b"), "b");
    EXPECT_EQ(baseName("/"), "");
    EXPECT_EQ(baseName("///"), "");
    EXPECT_EQ(baseName(""), "");
    EXPECT_EQ(baseName("repodata/0a1b-primary.xml.gz"), "0a1b-primary.xml.gz");
    EXPECT_EQ(extensionOf("repodata/primary.xml.gz"), ".xml.gz");
    EXPECT_EQ(extensionOf("0a1b-primary.xml.gz"), ".xml.gz");
    EXPECT_EQ(extensionOf("dir/.hidden"), "");
    EXPECT_EQ(extensionOf("dir.d/file"), "");
    EXPECT_EQ(extensionOf("file."), ".");
    EXPECT_EQ(extensionOf("a/b.rpm/"), ".rpm");
}

TEST(Directories, MakeDirCreatesOneLevel) {
    ScratchDir scratch;
    LogCapture log;
    std::string dir = scratch.file("new");
    EXPECT_TRUE(makeDir(dir));
    EXPECT_TRUE(makeDir(dir));
    EXPECT_EQ(log.count("DEBUG: successfully created dir '" + dir + "'"), 2);
    EXPECT_FALSE(makeDir(scratch.file("missing/child")));
    writeHostFile(scratch.file("file"), "x");
    EXPECT_FALSE(makeDir(scratch.file("file")));
    EXPECT_TRUE(log.has("ERROR: cannot create dir '" + scratch.file("file") + "' (File exists)"));
    EXPECT_TRUE(isReadable(scratch.file("file")));
    EXPECT_FALSE(isReadable(scratch.file("none")));
    EXPECT_TRUE(log.has("DEBUG: file '" + scratch.file("none") +
                        "' not readable (No such file or directory)"));
}

TEST(Random, BytesFromTheKernel) {
    unsigned char a[16] = {}, b[16] = {};
    EXPECT_TRUE(getRandomBytes(a, 0));
    EXPECT_TRUE(getRandomBytes(a, sizeof(a)));
    EXPECT_TRUE(getRandomBytes(b, sizeof(b)));
    EXPECT_NE(memcmp(a, b, sizeof(a)), 0);
}

}  // namespace
