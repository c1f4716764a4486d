// Runs one external program, either waited for with its output copied into
// the log (run) or detached into a session of its own (spawn).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class UniqueFd;

class ChildProcess {
public:
    explicit ChildProcess(const std::string& path);

    void addArg(const std::string& arg) { m_vArgs.push_back(arg); }

    // True when the child was started; its outcome is in the fields below.
    // False (after an error line) when it could not be started, also when
    // the program could not be executed.
    bool run();
    // True when the child was started; it runs in a session of its own.
    bool spawn();
    // True when an outstanding child was reaped.
    bool wait();

    bool exited() const { return m_bExited; }
    bool signaled() const { return m_bSignaled; }
    int status() const { return m_nStatus; }
    pid_t pid() const { return m_nPid; }

    // Restores the default disposition of SIGPIPE; used in every child.
    static bool resetSigpipe();

private:
    void resetFields();
    // Creates a close-on-exec pipe and forks; false (after logging) on failure.
    bool forkWithPipe(UniqueFd& readEnd, UniqueFd& writeEnd);
    // In the child: executes the program; a failure is reported through
    // reportFd (close-on-exec) as its errno. Never returns.
    [[noreturn]] void execChild(int reportFd);
    // In the child: perror, the errno through reportFd, exit status 1.
    [[noreturn]] static void failChild(int reportFd, const char* what);
    // In the child: the descriptor, moved above the standard streams if needed.
    static int keepAboveStdio(int fd);
    // In the parent: false (after logging and reaping the child, with the
    // fields as before the start) when the child reported a failure to
    // execute the program; closes reportFd.
    bool childStarted(UniqueFd reportFd);
    void copyOutputToLog(UniqueFd fd);

    std::string m_sPath;
    std::vector<std::string> m_vArgs;
    pid_t m_nPid = 0;
    int m_nStatus = -1;
    bool m_bExited = false;
    bool m_bSignaled = false;
};
