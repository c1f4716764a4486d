#include "harness/command.h"

#include <sys/wait.h>

#include <cstdio>

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, const std::string& cwd) {
    auto quoted = [](const std::string& text) {
        std::string out = "'";
        for (char c : text) {
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return out + "'";
    };
    std::string line = cwd.empty() ? "exec env" : "cd " + quoted(cwd) + " && exec env";
    for (const auto& kv : env) {
        line += " " + quoted(kv.first + "=" + kv.second);
    }
    for (const std::string& arg : argv) {
        line += " " + quoted(arg);
    }
    CommandResult result;
    FILE* pipe = argv.empty() ? nullptr : popen((line + " </dev/null 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
        result.output.append(buffer, n);
    }
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

CommandResult runShell(const std::string& command, const std::map<std::string, std::string>& env) {
    return runCommand({"/bin/sh", "-c", command}, env);
}
