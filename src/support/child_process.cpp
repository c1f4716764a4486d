#include "support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "support/fd.h"
#include "support/logger.h"
#include "support/paths.h"

namespace {

// Makes a close-on-exec pipe.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path) : m_sPath(path) {
    size_t slash = path.rfind('/');
    m_vArgs.push_back(slash == std::string::npos ? path : path.substr(slash + 1));
}

void ChildProcess::resetFields() {
    if (m_nPid != 0) {
        LOGW("Did not wait on previously spawned helper");
    }
    m_nPid = 0;
    m_nStatus = -1;
    m_bExited = false;
    m_bSignaled = false;
}

bool ChildProcess::resetSigpipe() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, &action, nullptr) != 0) {
        perror("failed resetting SIGPIPE");
        return false;
    }
    return true;
}

int ChildProcess::keepAboveStdio(int fd) {
    if (fd > STDERR_FILENO) {
        return fd;
    }
    // The standard streams are about to be replaced: keep the descriptor
    // out of their way.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    return moved < 0 ? fd : moved;
}

void ChildProcess::failChild(int reportFd, const char* what) {
    int error = errno;
    perror(what);
    ssize_t ignored = write(reportFd, &error, sizeof(error));
    (void)ignored;
    _exit(1);
}

bool ChildProcess::childStarted(UniqueFd reportFd) {
    int error = 0;
    ssize_t n;
    do {
        n = read(reportFd.get(), &error, sizeof(error));
    } while (n < 0 && errno == EINTR);
    reportFd.reset();
    if (n == static_cast<ssize_t>(sizeof(error))) {
        errno = error;
        LOGE("failed executing '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        // Reap the child; its exit status is ours, not the program's.
        wait();
        m_bExited = false;
        m_bSignaled = false;
        m_nStatus = -1;
        return false;
    }
    return true;
}

void ChildProcess::execChild(int reportFd) {
    std::vector<char*> argv;
    argv.reserve(m_vArgs.size() + 1);
    for (std::string& arg : m_vArgs) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    execvp(m_sPath.c_str(), argv.data());
    int error = errno;
    ssize_t ignored = write(reportFd, &error, sizeof(error));
    (void)ignored;
    _exit(1);
}

bool ChildProcess::forkWithPipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    if (!makePipe(readEnd, writeEnd)) {
        LOGE("failed creating pipe to run '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        return false;
    }
    // Flush stdio so that the child does not write out our buffered data.
    fflush(nullptr);
    m_nPid = fork();
    if (m_nPid < 0) {
        LOGE("failed forking to run '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        readEnd.reset();
        writeEnd.reset();
        m_nPid = 0;
        return false;
    }
    return true;
}

bool ChildProcess::run() {
    resetFields();
    // The child reports a failure to execute the program through this pipe,
    // which closes unused when the program starts; the output pipe cannot
    // tell, as the program's own output and exit code 1 look the same.
    UniqueFd reportRead;
    UniqueFd reportWrite;
    if (!makePipe(reportRead, reportWrite)) {
        LOGE("failed creating pipe to run '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        return false;
    }
    UniqueFd outputRead;
    UniqueFd outputWrite;
    if (!forkWithPipe(outputRead, outputWrite)) {
        return false;
    }
    if (m_nPid == 0) {
        // The child leaves through execvp or _exit: no destructor runs here.
        reportRead.reset();
        outputRead.reset();
        int report = keepAboveStdio(reportWrite.get());
        const int output = outputWrite.get();
        resetSigpipe();
        int null = open(paths::kDevNull, O_RDONLY);
        if (null < 0) {
            failChild(report, "failed opening /dev/null");
        }
        if (dup2(null, STDIN_FILENO) < 0) {
            failChild(report, "failed redirecting stdin to /dev/null");
        }
        if (null != STDIN_FILENO) {
            close(null);
        }
        if (dup2(output, STDOUT_FILENO) < 0 || dup2(output, STDERR_FILENO) < 0) {
            failChild(report, "failed redirecting stdout/stderr to pipe");
        }
        if (output != STDOUT_FILENO && output != STDERR_FILENO) {
            outputWrite.reset();
        }
        execChild(report);
    }
    reportWrite.reset();
    outputWrite.reset();
    if (!childStarted(std::move(reportRead))) {
        return false;
    }
    LOGD("started child '%s' with PID %i", m_sPath.c_str(), static_cast<int>(m_nPid));
    copyOutputToLog(std::move(outputRead));
    wait();
    return true;
}

void ChildProcess::copyOutputToLog(UniqueFd fd) {
    UniqueFile stream(fdopen(fd.get(), "r"));
    if (stream) {
        fd.release();  // the stream owns it now
    } else {
        LOGE("cannot read output from child: %s", errnoString().c_str());
        char block[1024];
        for (;;) {
            ssize_t n = read(fd.get(), block, sizeof(block));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                LOGE("error reading child output (%s), closing pipe", errnoString().c_str());
            }
            if (n <= 0) {
                break;
            }
        }
        return;
    }
    bool headerShown = false;
    char line[1024];
    for (;;) {
        if (fgets(line, sizeof(line), stream.get()) == nullptr) {
            if (ferror(stream.get()) && errno == EINTR) {
                clearerr(stream.get());
                continue;
            }
            break;
        }
        // Output may contain NUL bytes; fgets stops at a line feed or a full buffer.
        size_t length = strlen(line);
        if (length <= 1) {
            continue;
        }
        if (length > 2 && line[length - 1] == '\n') {
            line[length - 1] = '\0';
        }
        if (!headerShown) {
            LOGI("%s output:", m_sPath.c_str());
            headerShown = true;
        }
        LOGI("  %s", line);
    }
    if (ferror(stream.get())) {
        LOGE("failed reading output from child, closing pipe");
    }
}

bool ChildProcess::spawn() {
    resetFields();
    // The child reports a failed execvp through this pipe, so that a program
    // that cannot be executed is not taken for one that was started.
    UniqueFd reportRead;
    UniqueFd reportWrite;
    if (!forkWithPipe(reportRead, reportWrite)) {
        return false;
    }
    if (m_nPid == 0) {
        reportRead.reset();
        int report = keepAboveStdio(reportWrite.get());
        if (setsid() < 0) {
            perror("setting a new session");
        }
        resetSigpipe();
        int null = open(paths::kDevNull, O_RDWR);
        if (null < 0) {
            failChild(report, "failed opening /dev/null");
        }
        if (dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0 ||
            dup2(null, STDERR_FILENO) < 0) {
            failChild(report, "failed redirecting stdin/out/err to /dev/null");
        }
        if (null > STDERR_FILENO) {
            close(null);
        }
        execChild(report);
    }
    reportWrite.reset();
    if (!childStarted(std::move(reportRead))) {
        return false;
    }
    LOGD("started background child '%s' with PID %i", m_sPath.c_str(), static_cast<int>(m_nPid));
    return true;
}

bool ChildProcess::wait() {
    if (m_nPid == 0) {
        return false;
    }
    int status = 0;
    pid_t result;
    do {
        result = waitpid(m_nPid, &status, 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        m_nPid = 0;
        LOGE("failed recovering child exit status (%s)", errnoString().c_str());
        return false;
    }
    m_nPid = 0;
    if (WIFEXITED(status)) {
        m_bExited = true;
        m_nStatus = WEXITSTATUS(status);
        LOGD("child '%s' exited with code %i", m_sPath.c_str(), m_nStatus);
    } else if (WIFSIGNALED(status)) {
        m_bSignaled = true;
        m_nStatus = WTERMSIG(status);
        LOGE("child '%s' terminated by signal %i", m_sPath.c_str(), m_nStatus);
    } else {
        LOGE("child '%s' terminated by unknown reason", m_sPath.c_str());
    }
    return true;
}
