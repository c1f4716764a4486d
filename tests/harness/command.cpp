#include "harness/command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, const std::string& cwd) {
    CommandResult result;
    int fds[2];
    pid_t pid = argv.empty() || pipe2(fds, O_CLOEXEC) != 0 ? -1 : fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        dup2(open("/dev/null", O_RDONLY), 0);
        for (const auto& kv : env) {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        execArgv(argv);
    }
    if (pid < 0) {
        return result;
    }
    close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        result.output.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void execArgv(const std::vector<std::string>& argv) {
    std::vector<char*> cargv;
    for (const std::string& a : argv) {
        cargv.push_back(const_cast<char*>(a.c_str()));
    }
    cargv.push_back(nullptr);
    execvp(cargv[0], cargv.data());
    _exit(127);
}
