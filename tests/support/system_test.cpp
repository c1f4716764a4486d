// Runs inside a sandbox: os-release and the other helpers use fixed paths.
#include "support/system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "harness/log_capture.h"
#include "harness/sandbox.h"
#include "support/paths.h"

namespace {

std::string lookup(const std::string& key) {
    std::string value = "<unset>";
    return readOsRelease(key, value) ? value : "<not found>";
}

TEST(OsRelease, QuotesEscapesTheLastValueAndTheFallbackFile) {
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
    const std::pair<const char*, const char*> cases[] = {{"VERSION_ID=", "4.2.1-123-g1a2b"},
                                                         {"NAME=", "Player OS"},
                                                         {"PRETTY=", "It's \"quoted\""},
                                                         {"PLAIN=", "a\\b"},
                                                         {"EMPTY=", ""},
                                                         {"ODD=", "unterminate"},
                                                         {"MISSING=", "<not found>"},
                                                         {"version_id=", "<not found>"}};
    for (const auto& c : cases) {
        EXPECT_EQ(lookup(c.first), c.second) << c.first;
    }
    // The fallback file only when the first one is missing.
    writeHostFile(paths::kOsReleaseFallback, "VERSION_ID=7\n");
    unlink(paths::kOsRelease);
    EXPECT_EQ(lookup("VERSION_ID="), "7");
    ASSERT_EQ(symlink(paths::kOsRelease, paths::kOsRelease), 0);  // a loop
    EXPECT_EQ(lookup("VERSION_ID="), "<not found>");
    unlink(paths::kOsRelease);
    unlink(paths::kOsReleaseFallback);
    EXPECT_EQ(lookup("VERSION_ID="), "<not found>");
    writeHostFile(paths::kOsReleaseFallback, "ID=debian\n");
}

TEST(Paths, BaseNameAndExtension) {
    // Path; its base name; its extension.
    const std::array<const char*, 3> cases[] = {
        {"/a/b/", "b", ""},
        {"/", "", ""},
        {"///", "", ""},
        {"", "", ""},
        {"dir/.hidden", ".hidden", ""},
        {"dir.d/file", "file", ""},
        {"file.", "file.", "."},
        {"a/b.rpm/", "b.rpm", ".rpm"},
        {"repodata/0a1b-primary.xml.gz", "0a1b-primary.xml.gz", ".xml.gz"}};
    for (const auto& c : cases) {
        EXPECT_EQ(baseName(c[0]), c[1]) << c[0];
        EXPECT_EQ(extensionOf(c[0]), c[2]) << c[0];
    }
}

TEST(Directories, MakeDirAndRandomBytes) {
    ScratchDir scratch;
    LogCapture log;
    EXPECT_TRUE(makeDir(scratch.file("new")));
    EXPECT_TRUE(makeDir(scratch.file("new")));
    EXPECT_FALSE(makeDir(scratch.file("missing/child")));
    writeHostFile(scratch.file("file"), "x");
    EXPECT_FALSE(makeDir(scratch.file("file")));
    EXPECT_TRUE(log.has("ERROR: cannot create dir '" + scratch.file("file") + "' (File exists)"));

    unsigned char a[16] = {}, b[16] = {};
    EXPECT_TRUE(getRandomBytes(a, sizeof(a)) && getRandomBytes(b, sizeof(b)));
    EXPECT_NE(memcmp(a, b, sizeof(a)), 0);
}

}  // namespace
