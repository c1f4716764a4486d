#include "driver/cache_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "driver/signals.h"
#include "support/fd.h"
#include "support/logger.h"
#include "support/paths.h"

namespace {

// The descriptor that carries the lock; it stays open until the process ends.
int g_nLockFd = -1;

bool tryLock(int fd) {
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return fcntl(fd, F_SETLK, &lock) == 0;
}

// One second, cut short by any signal that has a handler.
void sleepOneSecond() {
    struct timespec delay = {1, 0};
    nanosleep(&delay, nullptr);
}

}  // namespace

bool acquireCacheLock(const Config& config) {
    const char* path = paths::kLockFile;
    // The lock directory may be writable by others: never follow a link
    // planted there, or the PID would be written into its target.
    UniqueFd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd) {
        LOGE("failed creating lock file '%s' (%s).", path, errnoString().c_str());
        return false;
    }

    // A timeout of T >= 1 gives at most T + 1 attempts about a second apart.
    const long long timeout = config.m_nLockTimeout;
    int error = 0;
    bool locked = false;
    for (long long attempt = 1;; ++attempt) {
        if (tryLock(fd.get())) {
            if (attempt > 1) {
                LOGI("other instance terminated, got cache lock");
            }
            locked = true;
            break;
        }
        error = errno;
        LOGT("cache lock attempt %lld failed (%s)", attempt, errnoString().c_str());
        if (error != EAGAIN && error != EACCES) {
            break;
        }
        if (attempt > timeout) {
            break;
        }
        if (attempt % 10 == 1) {
            LOGI("cache lock held by another instance, will timeout in %i secs",
                 static_cast<int>(timeout - attempt + 1));
        }
        sleepOneSecond();
        if (terminationPending()) {
            break;
        }
    }
    if (!locked) {
        fd.reset();
        if (terminationPending()) {
            return false;
        }
        errno = error;
        LOGE("failed acquiring lock file '%s' (%s)", path, errnoString().c_str());
        return false;
    }

    if (ftruncate(fd.get(), 0) != 0) {
        LOGE("failed truncating lock file '%s' (%s)", path, errnoString().c_str());
        return false;
    }
    char pid[32];
    int length = snprintf(pid, sizeof(pid), "%10i\n", static_cast<int>(getpid()));
    ssize_t written = pwrite(fd.get(), pid, static_cast<size_t>(length), 0);
    if (written != static_cast<ssize_t>(length)) {
        LOGW("failed writing PID to lock file '%s'.", path);
    }
    g_nLockFd = fd.release();
    LOGD("got cache lock '%s'", path);
    return true;
}
