// Runs helper programs (rpmbuild, createrepo_c, gpg, ...) for test fixtures.
#pragma once

#include <map>
#include <string>
#include <vector>

struct CommandResult {
    int status = -1;     // exit code, or 128 + signal
    std::string output;  // standard output and standard error together
};

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& cwd = "");

// Replaces a forked child by the program (found in PATH), or ends it with 127.
[[noreturn]] void execArgv(const std::vector<std::string>& argv);

inline CommandResult runShell(const std::string& command,
                              const std::map<std::string, std::string>& env = {}) {
    return runCommand({"/bin/sh", "-c", command}, env);
}
