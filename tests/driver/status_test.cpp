// Runs inside a sandbox: /var/lib/updater is the sandbox's own directory.
#include "driver/status.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/sandbox.h"
#include "support/paths.h"

namespace {

const std::string kDir = "/var/lib/updater";

std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    DIR* dir = opendir(kDir.c_str());
    while (dir != nullptr) {
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        std::string name = entry->d_name;
        if (name.rfind("status.", 0) == 0) {
            names.push_back(name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return names;
}

class StatusFiles : public ::testing::Test {
protected:
    void SetUp() override {
        removeTree(kDir);
        makeDirs(kDir);
        // Each test starts from a fresh in-memory update state.
        readUpdateState();
    }
    void TearDown() override {
        while (umount(kDir.c_str()) == 0) {
        }
        removeTree(kDir);
        makeDirs(kDir);
    }
    // Puts a small tmpfs over the status directory.
    void mountTmpfs(const char* options) {
        ASSERT_EQ(mount("tmpfs", kDir.c_str(), "tmpfs", 0, options), 0) << strerror(errno);
    }
};

TEST_F(StatusFiles, WriteThenReadEveryStatus) {
    for (int n = 0; n <= static_cast<int>(Status::REBOOTING); ++n) {
        const Status s = static_cast<Status>(n);
        ASSERT_TRUE(writeStatus(s, n % 2 == 0));
        Status read = Status::READY;
        ASSERT_TRUE(readStatus(read));
        EXPECT_EQ(read, s);
        EXPECT_EQ(readHostFile(paths::kStatusFile), std::string(statusName(s)) + "\n");
    }
    struct stat st;
    ASSERT_EQ(stat(paths::kStatusFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(StatusFiles, MissingFileIsReady) {
    Status status = Status::CORRUPTED;
    ASSERT_TRUE(readStatus(status));
    EXPECT_EQ(status, Status::READY);
}

TEST_F(StatusFiles, FirstWordDecidesAndMustMatchExactly) {
    struct Case {
        const char* content;
        bool ok;
        Status status;
    } cases[] = {
        {"UPDATING", true, Status::UPDATING},
        {"  PKGSDONE trailing words\n", true, Status::PKGSDONE},
        {"updating\n", false, Status::READY},
        {"", false, Status::READY},
        {"\n\n", false, Status::READY},
        {"garbage\n", false, Status::READY},
        {"\x01\x02\xff\n", false, Status::READY},
        {"READYREADYREADYREADYREADYREADYREADY\n", false, Status::READY},
    };
    for (const Case& c : cases) {
        writeHostFile(paths::kStatusFile, c.content);
        Status status = Status::READY;
        EXPECT_EQ(readStatus(status), c.ok) << c.content;
        if (c.ok) {
            EXPECT_EQ(status, c.status) << c.content;
        }
    }
}

TEST_F(StatusFiles, InvalidValueTouchesNothing) {
    ASSERT_TRUE(writeStatus(Status::DOWNLOADING, false));
    EXPECT_FALSE(writeStatus(static_cast<Status>(9), true));
    EXPECT_FALSE(writeStatus(static_cast<Status>(-1), true));
    EXPECT_EQ(readHostFile(paths::kStatusFile), "DOWNLOADING\n");
    EXPECT_EQ(access(paths::kUpdateStateFile, F_OK), -1);
}

TEST_F(StatusFiles, FullFileSystemKeepsPreviousStatus) {
    mountTmpfs("size=16k");
    ASSERT_TRUE(writeStatus(Status::READY, true));
    // Fill the file system completely.
    std::string filler(4096, 'x');
    FILE* f = fopen((kDir + "/filler").c_str(), "w");
    ASSERT_NE(f, nullptr);
    while (fwrite(filler.data(), 1, filler.size(), f) == filler.size() && fflush(f) == 0) {
    }
    fclose(f);
    EXPECT_FALSE(writeStatus(Status::UPDATING, true));
    EXPECT_EQ(readHostFile(paths::kStatusFile), "READY\n");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(StatusFiles, ReadOnlyFileSystemKeepsPreviousStatus) {
    mountTmpfs("size=64k");
    ASSERT_TRUE(writeStatus(Status::ANALYZING, false));
    ASSERT_EQ(mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_FALSE(writeStatus(Status::UPDATING, true));
    EXPECT_EQ(readHostFile(paths::kStatusFile), "ANALYZING\n");
}

TEST_F(StatusFiles, FailedRenameRemovesTheTemporaryFile) {
    // A non-empty directory in place of the status file makes the rename fail.
    makeDirs(std::string(paths::kStatusFile) + "/blocker");
    EXPECT_FALSE(writeStatus(Status::PKGSDONE, true));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(StatusFiles, CorruptedAlsoRecordsTheUpdateState) {
    ASSERT_TRUE(writeStatus(Status::CORRUPTED, false));
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "CORRUPTED\n");
    EXPECT_EQ(readUpdateState(), UpdateState::CORRUPTED);
}

TEST_F(StatusFiles, StartStatusDecidesWhetherToRun) {
    int code = 0;
    EXPECT_TRUE(checkStartStatus(Status::READY, code));
    EXPECT_TRUE(checkStartStatus(Status::TESTING, code));
    EXPECT_TRUE(checkStartStatus(Status::PKGSDONE, code));
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(checkStartStatus(Status::REBOOTING, code));
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(checkStartStatus(Status::CORRUPTED, code));
    EXPECT_EQ(code, 2);
    EXPECT_EQ(access(paths::kStatusFile, F_OK), -1);
    code = 0;
    EXPECT_FALSE(checkStartStatus(Status::UPDATING, code));
    EXPECT_EQ(code, 2);
    EXPECT_EQ(readHostFile(paths::kStatusFile), "CORRUPTED\n");
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "CORRUPTED\n");
}

TEST_F(StatusFiles, UpdateStateIsWrittenOnlyWhenItChanges) {
    saveUpdateState(UpdateState::NONE);
    EXPECT_EQ(access(paths::kUpdateStateFile, F_OK), -1);

    saveUpdateState(UpdateState::AVAILABLE);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "AVAILABLE\n");
    unlink(paths::kUpdateStateFile);
    saveUpdateState(UpdateState::AVAILABLE);
    EXPECT_EQ(access(paths::kUpdateStateFile, F_OK), -1);

    writeHostFile(paths::kUpdateStateFile, "PENDING extra\n");
    EXPECT_EQ(readUpdateState(), UpdateState::PENDING);
    writeHostFile(paths::kUpdateStateFile, "sentinel\n");
    saveUpdateState(UpdateState::PENDING);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "sentinel\n");

    EXPECT_EQ(readUpdateState(), UpdateState::NONE);  // unknown word
    saveUpdateState(UpdateState::COMPLETE);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "COMPLETE\n");
}

TEST_F(StatusFiles, FailedUpdateStateWriteIsRetriedNextTime) {
    mountTmpfs("size=64k");
    ASSERT_EQ(mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    saveUpdateState(UpdateState::COMPLETE);
    ASSERT_EQ(mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT, "size=64k"), 0);
    saveUpdateState(UpdateState::COMPLETE);
    EXPECT_EQ(readHostFile(paths::kUpdateStateFile), "COMPLETE\n");
}

}  // namespace
