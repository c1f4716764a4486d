#include "driver/background.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "config/config.h"
#include "driver/status.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/version.h"

namespace {

// The child's standard streams go to the null device; whatever fails here is
// only warned about and the child carries on.
void detachChild() {
    if (setsid() < 0) {
        LOGE("cannot create new session (%s)", errnoString().c_str());
    }
    int null = open(paths::kDevNull, O_RDWR | O_CLOEXEC);
    if (null < 0) {
        LOGW("cannot open /dev/null to redirect stdin/out/err (%s)", errnoString().c_str());
        return;
    }
    // Keep the null device clear of the descriptors it is duplicated onto.
    if (null <= STDERR_FILENO) {
        int moved = fcntl(null, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(null);
        if (moved < 0) {
            LOGW("cannot open /dev/null to redirect stdin/out/err (%s)", errnoString().c_str());
            return;
        }
        null = moved;
    }
    bool ok = true;
    int error = 0;
    for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
        // dup2 closes the old descriptor itself.
        if (dup2(null, target) < 0) {
            error = errno;
            ok = false;
        }
    }
    close(null);
    if (!ok) {
        errno = error;
        LOGW("failed redirecting stdin/out/err to /dev/null (%s)", errnoString().c_str());
    }
}

}  // namespace

bool goBackground(const Config& config, const std::string& modeName, const std::string& logToFile,
                  int& exitCode) {
    LOGD("going to background");
    Status status = Status::READY;
    if (!readStatus(status)) {
        LOGE("cannot recover status, aborting");
        exitCode = 1;
        return false;
    }
    if (!checkStartStatus(status, exitCode)) {
        return false;
    }

    // Buffered output must not be written twice.
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        LOGE("failed forking to background (%s)", errnoString().c_str());
        return true;
    }
    if (child == 0) {
        detachChild();
        return true;
    }

    if (!config.m_bQuiet) {
        LOGI("--- MODE %s ---", modeName.c_str());
        LOGI("%s switched to background", kProgramName);
        LOGI("--- BACKGROUND PID %i ---", static_cast<int>(child));
    }
    // The child goes on writing this file; our closing lines stay out of it.
    if (!logToFile.empty()) {
        theLogger().removeFile(logToFile);
    }
    exitCode = 0;
    return false;
}
