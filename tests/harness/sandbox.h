// Test side of the end-to-end sandbox: a per-test directory tree that
// sandbox-run mounts over the system's fixed locations, and the results of
// running the production updater binary inside it.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/system.h"  // splitLines

// Where sandboxes and scratch directories are made (not under an overlaid path).
std::string sandboxRoot();
// A whole (small) file; empty when missing.
std::string readHostFile(const std::string& path);
// Creates the parent folders; throws when the file cannot be written.
void writeHostFile(const std::string& path, const std::string& content, mode_t mode = 0644);
void removeTree(const std::string& path);  // rm -rf
void makeDirs(const std::string& path);

struct SyslogRecord {
    int facility = 0;  // LOG_DAEMON >> 3 etc.: the facility number, not shifted
    int priority = 0;  // LOG_ERR etc.
    std::string ident;
    int pid = 0;
    std::string text;
};

struct RunResult {
    bool exited = false;
    int exitCode = -1;
    bool signaled = false;
    int signal = 0;
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
    std::vector<SyslogRecord> syslog;

    std::vector<std::string> errLines() const { return splitLines(err); }
    bool errHas(const std::string& text) const { return err.find(text) != std::string::npos; }
    // Number of standard-error lines equal to the given one.
    int errCount(const std::string& line) const {
        std::vector<std::string> lines = errLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    // A short description for assertion messages.
    std::string describe() const {
        return (timedOut   ? std::string("timed out")
                : signaled ? "signal " + std::to_string(signal)
                : exited   ? "exit " + std::to_string(exitCode)
                           : std::string("no result from sandbox-run")) +
               "\n--- stdout ---\n" + out + "--- stderr ---\n" + err;
    }
};

struct RunOptions {
    std::map<std::string, std::string> env;
    std::vector<std::string> unsetEnv;
    std::vector<std::string> binds;  // "SRC=DST"
    std::vector<std::string> tmpfs;  // "DST" or "DST=SIZE"
    double timeoutSeconds = 120;
    std::string program;  // default: the updater binary
    bool rusage = false;  // record the program's resource use (Sandbox::peakMemoryKib)
};

// A running sandboxed program started with Sandbox::start.
class SandboxProcess {
public:
    SandboxProcess(class Sandbox* sandbox, pid_t runner) : m_pSandbox(sandbox), m_nRunner(runner) {}
    // Process id of the program inside the sandbox (waits until it is known).
    pid_t programPid();
    // Waits for the program and its descendants to end.
    RunResult wait();

private:
    class Sandbox* m_pSandbox = nullptr;
    pid_t m_nRunner = -1;
};

class Sandbox {
public:
    // The directory is named after the running test and removed at the end,
    // unless UPDATER_KEEP_SANDBOXES is set in the environment.
    Sandbox() : Sandbox(std::string()) {}
    explicit Sandbox(const std::string& name);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& dir() const { return m_sDir; }
    std::string home() const { return m_sDir + "/home"; }
    std::string rpmDbPath() const { return m_sDir + "/rpmdb"; }

    // Host path of a path as the sandboxed program sees it: paths under /etc,
    // /var, /usr, /opt, /dev, /media and /tmp map into the sandbox, others
    // stay unchanged.
    std::string hostPath(const std::string& path) const;

    void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
        writeHostFile(hostPath(path), content, mode);
    }
    std::string readFile(const std::string& path) const { return readHostFile(hostPath(path)); }
    bool exists(const std::string& path) const;
    void makeDir(const std::string& path, mode_t mode = 0755);
    // Makes a path that exists on the host invisible inside the sandbox.
    void hide(const std::string& path);
    void remove(const std::string& path) { removeTree(hostPath(path)); }
    // Sorted entries of a directory (the overlay's upper layer).
    std::vector<std::string> listDir(const std::string& path) const;

    void writeConfig(const std::string& xml) { writeFile("/etc/updater.conf", xml); }
    // A stderr logger at the given level and one repository "main" at the
    // location, if given.
    static std::string simpleConfig(const std::string& location = "",
                                    const std::string& level = "info",
                                    const std::string& extra = "");

    // The calls of the telinit and shutdown stubs, one line each ("telinit u").
    std::vector<std::string> stubCalls() const {
        return splitLines(readHostFile(m_sDir + "/out/calls.log"));
    }

    // Runs the updater (or options.program) with the given arguments.
    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) {
        return start(args, options).wait();
    }
    SandboxProcess start(const std::vector<std::string>& args, const RunOptions& options = {});

    // Peak resident memory in KiB of the last run made with RunOptions::rusage
    // (the program and the children it waited for); -1 when not recorded.
    long peakMemoryKib() const;

    static std::string updaterBinary();
    static std::string runnerBinary();

private:
    std::string m_sDir;
};

// A scratch directory for fixtures that need no namespace, removed at the end.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& name = "scratch");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_sPath; }
    std::string file(const std::string& name) const { return m_sPath + "/" + name; }

private:
    std::string m_sPath;
};
