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

bool ChildProcess::childStarted(int reportFd) {
    int error = 0;
    ssize_t n;
    do {
        n = read(reportFd, &error, sizeof(error));
    } while (n < 0 && errno == EINTR);
    close(reportFd);
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

bool ChildProcess::forkWithPipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LOGE("failed creating pipe to run '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        return false;
    }
    // Flush stdio so that the child does not write out our buffered data.
    fflush(nullptr);
    m_nPid = fork();
    if (m_nPid < 0) {
        LOGE("failed forking to run '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        close(fds[0]);
        close(fds[1]);
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
    int execPipe[2];
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        LOGE("failed creating pipe to run '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        return false;
    }
    int pipeFds[2];
    if (!forkWithPipe(pipeFds)) {
        close(execPipe[0]);
        close(execPipe[1]);
        return false;
    }
    if (m_nPid == 0) {
        close(execPipe[0]);
        close(pipeFds[0]);
        int report = keepAboveStdio(execPipe[1]);
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
        if (dup2(pipeFds[1], STDOUT_FILENO) < 0 || dup2(pipeFds[1], STDERR_FILENO) < 0) {
            failChild(report, "failed redirecting stdout/stderr to pipe");
        }
        if (pipeFds[1] != STDOUT_FILENO && pipeFds[1] != STDERR_FILENO) {
            close(pipeFds[1]);
        }
        execChild(report);
    }
    close(execPipe[1]);
    close(pipeFds[1]);
    if (!childStarted(execPipe[0])) {
        close(pipeFds[0]);
        return false;
    }
    LOGD("started child '%s' with PID %i", m_sPath.c_str(), static_cast<int>(m_nPid));
    copyOutputToLog(pipeFds[0]);
    wait();
    return true;
}

void ChildProcess::copyOutputToLog(int fd) {
    UniqueFile stream(fdopen(fd, "r"));
    if (!stream) {
        LOGE("cannot read output from child: %s", errnoString().c_str());
        char block[1024];
        for (;;) {
            ssize_t n = read(fd, block, sizeof(block));
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
        close(fd);
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
    int execPipe[2];
    if (!forkWithPipe(execPipe)) {
        return false;
    }
    if (m_nPid == 0) {
        close(execPipe[0]);
        int report = keepAboveStdio(execPipe[1]);
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
    close(execPipe[1]);
    if (!childStarted(execPipe[0])) {
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
