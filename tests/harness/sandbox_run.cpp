// sandbox-run: runs a program, unchanged, in a private mount namespace in
// which the system's fixed locations are redirected into a sandbox directory
// (see sandbox_layout.h); the host's files stay untouched.
//
//   sandbox-run [options] SANDBOX [-- PROGRAM [ARGS...]]
//
// telinit and shutdown are stubs that append "NAME ARGS" to SANDBOX/out/calls.log.
// A datagram socket at /dev/log captures syslog into SANDBOX/out/syslog. The
// program's standard output and error go to SANDBOX/out/stdout and stderr, its
// process id to SANDBOX/out/pid and its end ("exited N", "signaled N" or
// "timeout") to SANDBOX/out/result. HOME is SANDBOX/home, whose .rpmmacros
// points the RPM database at SANDBOX/rpmdb. The environment is clean but for
// the sanitizer options and what --env sets.
//
// Options:
//   --init              only create the sandbox layout, run nothing
//   --timeout SECS      kill everything after SECS seconds (default 300)
//   --env NAME=VALUE    set an environment variable; --unsetenv NAME removes one
//   --bind SRC=DST      bind-mount SRC over DST inside the namespace
//   --tmpfs DST[=SIZE]  mount a tmpfs (optionally of SIZE, e.g. 64k) over DST
//   --inherit-stdio     keep this process's standard output and error
//   --propagate         exit with the program's exit code (128 + N for signal N)
//   --rusage            write "wall S", "user S", "system S" and "maxrss KIB" of the
//                       program (and the children it waited for) to SANDBOX/out/rusage
// sandbox-run waits for every descendant of the program, not only the program.
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
#include <time.h>
#include <unistd.h>

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

void enterNamespace(const std::string& sandbox, const std::vector<std::string>& binds,
                    const std::vector<std::string>& tmpfs) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        die("private mount namespace");
    }
    for (const char* dir : sandbox_layout::kOverlaid) {
        std::string target = std::string("/") + dir;
        std::string options = "lowerdir=" + target + ",upperdir=" + sandbox + "/root/" + dir +
                              ",workdir=" + sandbox + "/work/" + dir;
        if (mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) {
            die("overlay " + target);
        }
    }
    if (mount((sandbox + "/root/tmp").c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0) {
        die("bind /tmp");
    }
    // The overlay hides the mounts below the host's /dev; give back the ones
    // programs commonly use.
    mkdir("/dev/shm", 01777);
    mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777");
    mkdir("/dev/pts", 0755);
    mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666");
    for (const std::string& bind : binds) {
        size_t eq = bind.find('=');
        std::string dst = eq == std::string::npos ? bind : bind.substr(eq + 1);
        if (mount(bind.substr(0, eq).c_str(), dst.c_str(), nullptr, MS_BIND | MS_REC, nullptr)) {
            die("bind " + bind);
        }
    }
    for (const std::string& spec : tmpfs) {
        size_t eq = spec.find('=');
        std::string dst = spec.substr(0, eq);
        std::string options =
            eq == std::string::npos ? "mode=0755" : "mode=0755,size=" + spec.substr(eq + 1);
        if (!sandbox_layout::mkdirs(dst) ||
            mount("tmpfs", dst.c_str(), "tmpfs", 0, options.c_str())) {
            die("tmpfs " + dst);
        }
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
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
        std::string line(buffer, static_cast<size_t>(n));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\0')) {
            line.pop_back();
        }
        for (size_t at = 0; (at = line.find('\n', at)) != std::string::npos; at += 2) {
            line.replace(at, 1, "\\n");
        }
        fprintf(out, "%s\n", line.c_str());
        fflush(out);
    }
}

// Kills every process whose parent is this one (adopted descendants included).
void killChildren() {
    DIR* proc = opendir("/proc");
    while (struct dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        int ppid = 0;
        FILE* f = fopen((std::string("/proc/") + entry->d_name + "/stat").c_str(), "r");
        if (f != nullptr && fscanf(f, "%*d (%*[^)]) %*c %d", &ppid) == 1 && ppid == getpid()) {
            kill(atoi(entry->d_name), SIGKILL);
        }
        if (f != nullptr) {
            fclose(f);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
}

double seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    bool initOnly = false, inheritStdio = false, propagate = false, rusage = false;
    double timeout = 300;
    std::vector<std::string> binds, tmpfs, unsetEnv;
    std::map<std::string, std::string> env;
    std::string sandbox;
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        std::string arg = argv[i];
        std::string value = i + 1 < argc ? argv[i + 1] : "";
        bool takesValue = true;
        if (arg == "--timeout") {
            timeout = atof(value.c_str());
        } else if (arg == "--env" && value.find('=') != std::string::npos) {
            env[value.substr(0, value.find('='))] = value.substr(value.find('=') + 1);
        } else if (arg == "--unsetenv") {
            unsetEnv.push_back(value);
        } else if (arg == "--bind") {
            binds.push_back(value);
        } else if (arg == "--tmpfs") {
            tmpfs.push_back(value);
        } else {
            takesValue = false;
            bool* flag = arg == "--init"            ? &initOnly
                         : arg == "--inherit-stdio" ? &inheritStdio
                         : arg == "--propagate"     ? &propagate
                         : arg == "--rusage"        ? &rusage
                                                    : nullptr;
            if (flag != nullptr) {
                *flag = true;
            } else if (sandbox.empty() && arg[0] == '/') {
                sandbox = arg;
            } else {
                fprintf(stderr, "usage: sandbox-run [options] /SANDBOX [-- PROGRAM ARGS...]\n");
                return 125;
            }
        }
        i += takesValue ? 1 : 0;
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
    env.insert({{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
                {"HOME", sandbox + "/home"},
                {"LANG", "C"},
                {"TMPDIR", "/tmp"}});
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (getenv(name) != nullptr) {
            env.emplace(name, getenv(name));
        }
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
        close(in);
        close(stdoutFd);
        close(stderrFd);
        clearenv();
        for (const auto& kv : env) {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
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
            if (rusage) {
                char text[160];
                snprintf(text, sizeof(text), "wall %.6f\nuser %.6f\nsystem %.6f\nmaxrss %ld\n",
                         now() - started, seconds(usage.ru_utime), seconds(usage.ru_stime),
                         usage.ru_maxrss);
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
    if (!propagate) {
        return 0;
    }
    int code = atoi(result.c_str() + result.find(' ') + 1);
    return result[0] == 'e' ? code : result[0] == 's' ? 128 + code : 124;
}
