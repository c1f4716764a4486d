// sandbox-run [options] SANDBOX [-- PROGRAM [ARGS...]]: runs a program,
// unchanged, in a private mount namespace in which the system's fixed
// locations are redirected into the sandbox directory (sandbox_layout.h).
// SANDBOX/out/ receives the program's stdout, stderr, pid, its end in
// "result" ("exited N", "signaled N" or "timeout"), syslog (captured at
// /dev/log) and calls.log (the telinit and shutdown stubs). HOME is
// SANDBOX/home; the environment is clean but for the sanitizer options.
// Options: --init (only lay out), --timeout SECS (kill everything after),
// --env NAME=VALUE, --unsetenv NAME, --bind SRC=DST, --tmpfs DST[=SIZE],
// --inherit-stdio, --propagate (exit with the program's code, 128 + N for
// signal N), --rusage (wall, user, system seconds and maxrss KiB of the
// program and the children it waited for, into SANDBOX/out/rusage).
// sandbox-run waits for every descendant of the program.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "harness/sandbox_layout.h"

namespace {

[[noreturn]] void die(const std::string& what) {
    fprintf(stderr, "sandbox-run: %s: %s\n", what.c_str(), strerror(errno));
    exit(125);
}

void mountOrDie(const std::string& source, const std::string& target, const char* type,
                unsigned long flags, const std::string& options) {
    if (mount(source.c_str(), target.c_str(), type, flags, options.c_str()) != 0) {
        die("mount " + target);
    }
}

void enterNamespace(const std::string& sandbox, const std::vector<std::string>& binds,
                    const std::vector<std::string>& tmpfs) {
    if (unshare(CLONE_NEWNS) != 0) {
        die("private mount namespace");
    }
    mountOrDie("none", "/", nullptr, MS_REC | MS_PRIVATE, "");
    for (const char* dir : sandbox_layout::kOverlaid) {
        mountOrDie("overlay", std::string("/") + dir, "overlay", 0,
                   "lowerdir=/" + std::string(dir) + ",upperdir=" + sandbox + "/root/" + dir +
                       ",workdir=" + sandbox + "/work/" + dir);
    }
    mountOrDie(sandbox + "/root/tmp", "/tmp", nullptr, MS_BIND, "");
    // The overlay hides the mounts below the host's /dev; give back the ones
    // programs commonly use.
    mkdir("/dev/shm", 01777);
    mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777");
    mkdir("/dev/pts", 0755);
    mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666");
    for (const std::string& bind : binds) {
        size_t eq = bind.find('=');
        mountOrDie(bind.substr(0, eq), eq == std::string::npos ? bind : bind.substr(eq + 1),
                   nullptr, MS_BIND | MS_REC, "");
    }
    for (const std::string& spec : tmpfs) {
        size_t eq = spec.find('=');
        sandbox_layout::mkdirs(spec.substr(0, eq));
        mountOrDie("tmpfs", spec.substr(0, eq), "tmpfs", 0,
                   eq == std::string::npos ? "mode=0755" : "mode=0755,size=" + spec.substr(eq + 1));
    }
}

int bindSyslog() {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    unlink("/dev/log");
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        die("bind /dev/log");
    }
    chmod("/dev/log", 0666);
    return fd;
}

// One line per message, its own line ends written as "\n".
void drainSyslog(int fd, FILE* out) {
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;) {
        std::string line(buffer, static_cast<size_t>(n));
        line.erase(line.find_last_not_of(std::string("\n\0", 2)) + 1);
        for (size_t at = 0; (at = line.find('\n', at)) != std::string::npos; at += 2) {
            line.replace(at, 1, "\\n");
        }
        fprintf(out, "%s\n", line.c_str());
        fflush(out);
    }
}

// Kills every process whose parent is this one (adopted descendants included).
// Only the numbered entries of /proc are processes; others hold folders named
// "stat" (/proc/net/stat), which a stream cannot read.
void killChildren() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return;
    }
    while (const struct dirent* entry = readdir(proc)) {
        const char* name = entry->d_name;
        if (name[strspn(name, "0123456789")] != '\0') {
            continue;
        }
        FILE* stat = fopen(("/proc/" + std::string(name) + "/stat").c_str(), "re");
        char line[1024] = "";
        const bool read = stat != nullptr && fgets(line, sizeof(line), stat) != nullptr;
        if (stat != nullptr) {
            fclose(stat);
        }
        const char* end = strrchr(line, ')');
        int ppid = 0;
        if (read && end != nullptr && sscanf(end + 1, " %*c %d", &ppid) == 1 && ppid == getpid()) {
            kill(atoi(name), SIGKILL);
        }
    }
    closedir(proc);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    bool initOnly = false, inheritStdio = false, propagate = false, rusage = false;
    double timeout = 300;
    std::vector<std::string> envs, unsetEnv, binds, tmpfs;
    std::map<std::string, bool*> flags = {{"--init", &initOnly},
                                          {"--inherit-stdio", &inheritStdio},
                                          {"--propagate", &propagate},
                                          {"--rusage", &rusage}};
    std::map<std::string, std::vector<std::string>*> lists = {
        {"--env", &envs}, {"--unsetenv", &unsetEnv}, {"--bind", &binds}, {"--tmpfs", &tmpfs}};
    std::string sandbox;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        std::string arg = argv[i];
        if (flags.count(arg) != 0) {
            *flags[arg] = true;
        } else if (lists.count(arg) != 0 && i + 1 < argc) {
            lists[arg]->push_back(argv[++i]);
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeout = atof(argv[++i]);
        } else if (sandbox.empty() && arg[0] == '/') {
            sandbox = arg;
        } else {
            fprintf(stderr, "usage: sandbox-run [options] /SANDBOX [-- PROGRAM ARGS...]\n");
            return 125;
        }
    }
    if (sandbox.empty() || !sandbox_layout::redirectedFolder(sandbox).empty()) {
        fprintf(stderr,
                "sandbox-run: the sandbox must be an absolute path outside /etc, /var, "
                "/usr, /opt, /dev, /media and /tmp\n");
        return 125;
    }
    if (!sandbox_layout::init(sandbox)) {
        die("create the layout of " + sandbox);
    }
    if (initOnly) {
        return 0;
    }
    if (++i >= argc) {
        fprintf(stderr, "sandbox-run: no program given\n");
        return 125;
    }
    const std::string out = sandbox + "/out/";
    for (const char* name : {"result", "pid", "rusage"}) {
        unlink((out + name).c_str());
    }
    enterNamespace(sandbox, binds, tmpfs);
    int syslogFd = bindSyslog();
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    // A clean environment: the defaults, the sanitizer options and what --env sets.
    std::map<std::string, std::string> env = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
                                              {"HOME", sandbox + "/home"},
                                              {"LANG", "C"},
                                              {"TMPDIR", "/tmp"}};
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (getenv(name) != nullptr) {
            env[name] = getenv(name);
        }
    }
    for (const std::string& e : envs) {
        env[e.substr(0, e.find('='))] = e.substr(std::min(e.find('='), e.size() - 1) + 1);
    }
    for (const std::string& name : unsetEnv) {
        env.erase(name);
    }

    const double started = now();
    pid_t child = fork();
    if (child < 0) {
        die("fork");
    }
    if (child == 0) {
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        int in = open("/dev/null", O_RDONLY);
        int stdoutFd = open((out + "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int stderrFd = open((out + "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || stdoutFd < 0 || stderrFd < 0) {
            die("open standard streams");
        }
        dup2(in, 0);
        if (!inheritStdio) {
            dup2(stdoutFd, 1);
            dup2(stderrFd, 2);
        }
        clearenv();
        for (const auto& kv : env) {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        for (int fd : {in, stdoutFd, stderrFd}) {
            close(fd);
        }
        execv(argv[i], argv + i);
        perror(argv[i]);
        _exit(127);
    }
    sandbox_layout::writeFile(out + "pid", std::to_string(child) + "\n");
    // Wakes the loop below as soon as the program ends.
    int childFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    FILE* syslogOut = fopen((out + "syslog").c_str(), "w");
    if (syslogOut == nullptr) {
        die("open syslog capture");
    }
    std::string result = "timeout";
    const double deadline = now() + timeout;
    bool childDone = false;
    for (;;) {
        struct pollfd pfds[2] = {{syslogFd, POLLIN, 0}, {childFd, POLLIN, 0}};
        poll(pfds, childDone || childFd < 0 ? 1 : 2, 50);
        drainSyslog(syslogFd, syslogOut);
        int status = 0;
        pid_t pid;
        struct rusage usage;
        while ((pid = wait4(-1, &status, WNOHANG, &usage)) > 0) {
            if (pid != child) {
                continue;
            }
            childDone = true;
            result = WIFEXITED(status) ? "exited " + std::to_string(WEXITSTATUS(status))
                                       : "signaled " + std::to_string(WTERMSIG(status));
            char text[160];
            snprintf(text, sizeof(text), "wall %.6f\nuser %.6f\nsystem %.6f\nmaxrss %ld\n",
                     now() - started, seconds(usage.ru_utime), seconds(usage.ru_stime),
                     usage.ru_maxrss);
            if (rusage) {
                sandbox_layout::writeFile(out + "rusage", text);
            }
        }
        if (pid < 0 && errno == ECHILD) {
            break;
        }
        if (now() > deadline) {
            kill(-child, SIGKILL);
            while (waitpid(-1, nullptr, WNOHANG) >= 0) {
                killChildren();
                usleep(10000);
            }
            break;
        }
    }
    drainSyslog(syslogFd, syslogOut);
    fclose(syslogOut);
    sandbox_layout::writeFile(out + "result", result + "\n");
    int code = atoi(result.c_str() + result.find(' ') + 1);
    return !propagate ? 0 : result[0] == 'e' ? code : result[0] == 's' ? 128 + code : 124;
}
