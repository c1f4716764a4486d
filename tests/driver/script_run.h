// Running the updater behind a small shell script inside the sandbox, for
// what a single command cannot set up: another process holding the lock,
// a file system that is read-only or full.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "harness/sandbox.h"

// In the script, "$UPDATER" is the updater binary and "$HOLDER" the lock
// holder. A script that ends with exec "$UPDATER" ... makes the updater the
// sandbox's program: its pid, exit and output are the result.
inline SandboxProcess startScript(Sandbox& sandbox, const std::string& script,
                                  RunOptions options = {}) {
    options.program = "/bin/sh";
    options.env["UPDATER"] = Sandbox::updaterBinary();
    options.env["HOLDER"] = LOCK_HOLDER_BINARY;
    // Nothing of an earlier run may be taken for this one's output.
    unlink((sandbox.dir() + "/out/stderr").c_str());
    // No core files from the signals that would leave one.
    return sandbox.start({"-c", "ulimit -c 0\n" + script}, options);
}

inline RunResult runScript(Sandbox& sandbox, const std::string& script,
                           const RunOptions& options = {}) {
    return startScript(sandbox, script, options).wait();
}

// Script lines that start a process holding /var/lock/updater for the given
// seconds and wait until it has the lock. Unless detached, the holder ends
// together with its parent (the updater that the script execs).
inline std::string holdLock(int seconds, bool detached = false) {
    return "rm -f /tmp/locked\n\"$HOLDER\" /var/lock/updater " + std::to_string(seconds) +
           " /tmp/locked" + (detached ? " detached" : "") +
           " &\n"
           "i=0; while [ ! -e /tmp/locked ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); "
           "done\n";
}

// Waits until the running program's standard error contains the text.
inline bool waitForStderr(const Sandbox& sandbox, const std::string& text, int seconds = 30) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (readHostFile(sandbox.dir() + "/out/stderr").find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Lines of the text that contain the part.
inline std::vector<std::string> linesWith(const std::string& text, const std::string& part) {
    std::vector<std::string> found;
    for (const std::string& line : splitLines(text)) {
        if (line.find(part) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

// The content the lock file has while the process holds the lock.
inline std::string pidLine(pid_t pid) {
    char text[32];
    snprintf(text, sizeof(text), "%10i\n", static_cast<int>(pid));
    return text;
}
