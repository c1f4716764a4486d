#include "driver/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "support/fd.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/system.h"

namespace {

const char* const kStatusNames[] = {"READY",    "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING",
                                    "UPDATING", "PKGSDONE", "CORRUPTED", "REBOOTING"};
constexpr int kStatusCount = sizeof(kStatusNames) / sizeof(kStatusNames[0]);

const char* const kUpdateStateNames[] = {"AVAILABLE", "PENDING", "COMPLETE", "CORRUPTED"};

// The value last read or written.
UpdateState g_updateState = UpdateState::NONE;

}  // namespace

const char* statusName(Status status) {
    int value = static_cast<int>(status);
    return value >= 0 && value < kStatusCount ? kStatusNames[value] : "UNKNOWN";
}

const char* updateStateName(UpdateState state) {
    int value = static_cast<int>(state);
    return value >= 0 && value < 4 ? kUpdateStateNames[value] : "NONE";
}

bool readStatus(Status& status) {
    UniqueFile file(fopen(paths::kStatusFile, "re"));
    if (!file) {
        if (errno == ENOENT) {
            status = Status::READY;
            return true;
        }
        LOGD("cannot read from status file: %s", errnoString().c_str());
        return false;
    }
    char word[32];
    if (fscanf(file.get(), "%31s", word) != 1) {
        LOGD("failed reading from status file");
        return false;
    }
    for (int i = 0; i < kStatusCount; ++i) {
        if (strcmp(word, kStatusNames[i]) == 0) {
            status = static_cast<Status>(i);
            return true;
        }
    }
    LOGE("unknown status '%s'", word);
    return false;
}

bool syncStatusDir() {
    std::string dir = paths::kStatusFile;
    size_t slash = dir.rfind('/');
    dir = slash == 0 ? "/" : dir.substr(0, slash);
    UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    if (fdatasync(fd.get()) != 0) {
        int error = errno;
        fd.reset();
        errno = error;
        return false;
    }
    LOGT("synced status dir");
    return true;
}

bool writeStatus(Status status, DirectorySync sync) {
    const int value = static_cast<int>(status);
    if (value < 0 || value >= kStatusCount) {
        LOGE("invalid status value %i", value);
        return false;
    }
    std::string tempName = std::string(paths::kStatusFile) + ".XXXXXX";
    bool ok = false;
    UniqueFd fd(mkostemp(tempName.data(), O_CLOEXEC));
    if (!fd) {
        LOGD("failed creating status temporary file: %s", errnoString().c_str());
    } else {
        std::string content = std::string(kStatusNames[value]) + "\n";
        bool renamed = false;
        ssize_t written = write(fd.get(), content.data(), content.size());
        if (written < 0) {
            LOGD("failed writing status to temp file: %s", errnoString().c_str());
        } else if (static_cast<size_t>(written) != content.size()) {
            LOGD("incomplete write to status temp file");
        } else if (fchmod(fd.get(), 0644) != 0) {
            LOGD("failed setting perms on status temporary file: %s", errnoString().c_str());
        } else if (fsync(fd.get()) != 0) {
            LOGE("failed to sync status file: %s", errnoString().c_str());
        } else if (fd.close() != 0) {
            LOGD("failed on closing status temporary file: %s", errnoString().c_str());
        } else if (rename(tempName.c_str(), paths::kStatusFile) != 0) {
            LOGD("failed saving status: %s", errnoString().c_str());
        } else {
            renamed = true;
            ok = true;
            if (sync == DirectorySync::YES && !syncStatusDir()) {
                LOGE("failed to sync status dir: %s", errnoString().c_str());
                ok = false;
            }
        }
        if (!renamed) {
            fd.reset();
            unlink(tempName.c_str());
        }
    }
    if (status == Status::CORRUPTED) {
        saveUpdateState(UpdateState::CORRUPTED);
    }
    return ok;
}

void writeStatusOrWarn(Status status, DirectorySync sync) {
    if (!writeStatus(status, sync)) {
        LOGW("failed updating status file");
    }
}

bool checkStartStatus(Status status, int& exitCode) {
    switch (status) {
        case Status::CORRUPTED:
            LOGF("system is corrupted cannot update");
            exitCode = 2;
            return false;
        case Status::UPDATING:
            LOGF("a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting");
            writeStatusOrWarn(Status::CORRUPTED, DirectorySync::NO);
            exitCode = 2;
            return false;
        case Status::REBOOTING:
            LOGI("machine is rebooting after update, cannot start");
            exitCode = 1;
            return false;
        default:
            return true;
    }
}

UpdateState readUpdateState() {
    g_updateState = UpdateState::NONE;
    UniqueFile file(fopen(paths::kUpdateStateFile, "re"));
    if (!file) {
        if (errno != ENOENT) {
            LOGD("cannot read from update state file: %s", errnoString().c_str());
        }
        return g_updateState;
    }
    char word[32];
    if (fscanf(file.get(), "%31s", word) != 1) {
        LOGD("failed reading from update state file");
        return g_updateState;
    }
    for (int i = 0; i < 4; ++i) {
        if (strcmp(word, kUpdateStateNames[i]) == 0) {
            g_updateState = static_cast<UpdateState>(i);
            return g_updateState;
        }
    }
    LOGW("unknown update state '%s'", word);
    return g_updateState;
}

void saveUpdateState(UpdateState state) {
    if (state == UpdateState::NONE) {
        LOGW("ignoring request to save NONE as update state");
        return;
    }
    if (state == g_updateState) {
        return;
    }
    // Written in place, so never through a symbolic link planted at its name.
    UniqueFile file = openForWriting(paths::kUpdateStateFile, WriteMode::TRUNCATE);
    if (!file) {
        LOGW("failed to open update state file for save: %s", errnoString().c_str());
        return;
    }
    bool ok = fprintf(file.get(), "%s\n", updateStateName(state)) > 0;
    ok = fflush(file.get()) == 0 && ok;
    if (fclose(file.release()) != 0) {
        ok = false;
    }
    if (!ok) {
        LOGW("failed writing to update state file: %s", errnoString().c_str());
        return;
    }
    g_updateState = state;
}
