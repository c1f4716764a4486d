// sandbox-run: runs a program, unchanged, in a private mount namespace in
// which the system's fixed locations are redirected into a sandbox directory.
//
//   sandbox-run [options] SANDBOX -- PROGRAM [ARGS...]
//
// Inside the namespace /etc, /var, /usr, /opt, /dev and /media are overlays whose upper
// layers are SANDBOX/root/<dir>, and /tmp is SANDBOX/root/tmp. The host's files
// stay untouched. telinit and shutdown are replaced by stubs that record their
// arguments in SANDBOX/out/calls.log. A datagram socket bound at /dev/log
// captures syslog into SANDBOX/out/syslog. The program's standard output and
// error go to SANDBOX/out/stdout and SANDBOX/out/stderr, its process id to
// SANDBOX/out/pid, and its end ("exited N", "signaled N" or "timeout") to
// SANDBOX/out/result. HOME is SANDBOX/home, whose .rpmmacros points the RPM
// database at SANDBOX/rpmdb.
//
// Options:
//   --init              only create the sandbox layout, run nothing
//   --timeout SECS      kill everything after SECS seconds (default 300)
//   --env NAME=VALUE    set an environment variable for the program
//   --unsetenv NAME     remove an environment variable
//   --bind SRC=DST      bind-mount SRC over DST inside the namespace
//   --tmpfs DST[=SIZE]  mount a tmpfs (optionally of SIZE, e.g. 64k) over DST
//   --stdin FILE        standard input of the program (default /dev/null)
//   --no-wait-descendants  return as soon as the program itself has ended
//   --inherit-stdio     keep this process's standard output and error
//   --propagate         exit with the program's exit code (128 + N for signal N)
//   --rusage            write the program's resource use (with that of the children
//                       it waited for) to SANDBOX/out/rusage: "wall S", "user S",
//                       "system S" (seconds) and "maxrss KIB"
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "harness/sandbox_layout.h"

namespace {

using sandbox_layout::kOverlaid;

[[noreturn]] void die(const std::string& what) {
    fprintf(stderr, "sandbox-run: %s: %s\n", what.c_str(), strerror(errno));
    exit(125);
}

void mkdirs(const std::string& path, mode_t mode = 0755) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            die("mkdir " + partial);
        }
    }
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        die("write " + path);
    }
    fputs(content.c_str(), f);
    fclose(f);
    chmod(path.c_str(), mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string stubScript(const std::string& sandbox, const std::string& name) {
    return "#!/bin/sh\n"
           "# Stand-in for the real " +
           name +
           ": records its arguments.\n"
           "echo \"" +
           name + " $*\" >> '" + sandbox +
           "/out/calls.log'\n"
           "if [ -f '" +
           sandbox + "/out/" + name +
           ".exit' ]; then\n"
           "  exit $(cat '" +
           sandbox + "/out/" + name +
           ".exit')\n"
           "fi\n"
           "exit 0\n";
}

// Creates the layout once; existing files are kept, so tests may prepare them first.
void initLayout(const std::string& sandbox) {
    for (const char* dir : kOverlaid) {
        mkdirs(sandbox + "/root/" + dir);
        mkdirs(sandbox + "/work/" + dir);
    }
    mkdirs(sandbox + "/root/tmp", 01777);
    chmod((sandbox + "/root/tmp").c_str(), 01777);
    // On Debian /var/run and /var/lock are links into /run; here they are
    // real directories of the sandbox.
    for (const char* dir :
         {"/root/var/lib/updater", "/root/var/log/updater", "/root/var/cache/updater",
          "/root/var/lock", "/root/var/run", "/root/usr/sbin", "/home", "/rpmdb", "/out"}) {
        mkdirs(sandbox + dir);
    }
    for (const char* stub : {"telinit", "shutdown"}) {
        std::string path = sandbox + "/root/usr/sbin/" + stub;
        if (!exists(path)) {
            writeFile(path, stubScript(sandbox, stub), 0755);
        }
    }
    std::string macros = sandbox + "/home/.rpmmacros";
    if (!exists(macros)) {
        writeFile(macros, "%_dbpath " + sandbox + "/rpmdb\n", 0644);
    }
}

void enterNamespace(const std::string& sandbox, const std::vector<std::string>& binds,
                    const std::vector<std::string>& tmpfs) {
    if (unshare(CLONE_NEWNS) != 0) {
        die("unshare");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        die("make / private");
    }
    for (const char* dir : kOverlaid) {
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
        std::string src = bind.substr(0, eq);
        std::string dst = eq == std::string::npos ? src : bind.substr(eq + 1);
        if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            die("bind " + src + " on " + dst);
        }
    }
    for (const std::string& spec : tmpfs) {
        size_t eq = spec.find('=');
        std::string dst = spec.substr(0, eq);
        std::string options = "mode=0755";
        if (eq != std::string::npos) {
            options += ",size=" + spec.substr(eq + 1);
        }
        mkdirs(dst);
        if (mount("tmpfs", dst.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            die("tmpfs " + dst);
        }
    }
}

int bindSyslog() {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    unlink("/dev/log");
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        die("bind /dev/log");
    }
    chmod("/dev/log", 0666);
    return fd;
}

void drainSyslog(int fd, FILE* out) {
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0) {
            return;
        }
        std::string line(buffer, static_cast<size_t>(n));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\0')) {
            line.pop_back();
        }
        std::string escaped;
        for (char c : line) {
            if (c == '\n') {
                escaped += "\\n";
            } else {
                escaped += c;
            }
        }
        fprintf(out, "%s\n", escaped.c_str());
        fflush(out);
    }
}

// Kills every process whose parent is this one (adopted descendants included).
void killChildren() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return;
    }
    std::string self = std::to_string(getpid());
    while (struct dirent* entry = readdir(proc)) {
        std::string statusPath = std::string("/proc/") + entry->d_name + "/status";
        FILE* f = fopen(statusPath.c_str(), "r");
        if (f == nullptr) {
            continue;
        }
        char line[256];
        while (fgets(line, sizeof(line), f) != nullptr) {
            if (strncmp(line, "PPid:", 5) == 0) {
                if (atoi(line + 5) == getpid()) {
                    kill(atoi(entry->d_name), SIGKILL);
                }
                break;
            }
        }
        fclose(f);
    }
    closedir(proc);
}

double seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void usage() {
    fprintf(stderr,
            "usage: sandbox-run [--init] [--timeout SECS] [--env NAME=VALUE] "
            "[--unsetenv NAME] [--bind SRC=DST] [--tmpfs DST[=SIZE]] [--stdin FILE] "
            "[--no-wait-descendants] [--inherit-stdio] [--propagate] [--rusage] SANDBOX [-- "
            "PROGRAM ARGS...]\n");
    exit(125);
}

}  // namespace

int main(int argc, char** argv) {
    bool initOnly = false;
    bool waitDescendants = true;
    bool inheritStdio = false;
    bool propagate = false;
    bool rusage = false;
    double timeout = 300;
    std::vector<std::string> binds, tmpfs;
    std::map<std::string, std::string> setEnv;
    std::vector<std::string> unsetEnv;
    std::string stdinPath = "/dev/null";
    std::string sandbox;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
            }
            return argv[++i];
        };
        if (arg == "--init") {
            initOnly = true;
        } else if (arg == "--timeout") {
            timeout = atof(next().c_str());
        } else if (arg == "--env") {
            std::string kv = next();
            size_t eq = kv.find('=');
            if (eq == std::string::npos) {
                usage();
            }
            setEnv[kv.substr(0, eq)] = kv.substr(eq + 1);
        } else if (arg == "--unsetenv") {
            unsetEnv.push_back(next());
        } else if (arg == "--bind") {
            binds.push_back(next());
        } else if (arg == "--tmpfs") {
            tmpfs.push_back(next());
        } else if (arg == "--stdin") {
            stdinPath = next();
        } else if (arg == "--no-wait-descendants") {
            waitDescendants = false;
        } else if (arg == "--inherit-stdio") {
            inheritStdio = true;
        } else if (arg == "--propagate") {
            propagate = true;
        } else if (arg == "--rusage") {
            rusage = true;
        } else if (arg == "--") {
            ++i;
            break;
        } else if (sandbox.empty() && arg[0] != '-') {
            sandbox = arg;
        } else {
            usage();
        }
    }
    if (sandbox.empty() || sandbox[0] != '/') {
        fprintf(stderr, "sandbox-run: the sandbox must be an absolute path\n");
        return 125;
    }
    std::string folder = sandbox_layout::redirectedFolder(sandbox);
    if (!folder.empty()) {
        fprintf(stderr, "sandbox-run: the sandbox must not lie under %s\n", folder.c_str());
        return 125;
    }
    initLayout(sandbox);
    if (initOnly) {
        return 0;
    }
    if (i >= argc) {
        usage();
    }
    std::string out = sandbox + "/out/";
    unlink((out + "result").c_str());
    unlink((out + "pid").c_str());
    unlink((out + "rusage").c_str());

    enterNamespace(sandbox, binds, tmpfs);
    int syslogFd = bindSyslog();
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    // A clean environment: the program sees only what a test sets.
    std::map<std::string, std::string> env = {
        {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
        {"HOME", sandbox + "/home"},
        {"LANG", "C"},
        {"TMPDIR", "/tmp"},
    };
    // Sanitizer settings of the test run reach the program.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = getenv(name)) {
            env[name] = value;
        }
    }
    for (const auto& kv : setEnv) {
        env[kv.first] = kv.second;
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
        int in = open(stdinPath.c_str(), O_RDONLY);
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
    writeFile(out + "pid", std::to_string(child) + "\n", 0644);
    // Wakes the loop below as soon as the program ends (no pidfd: the poll
    // timeout still notices it).
    int childFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));

    FILE* syslogOut = fopen((out + "syslog").c_str(), "w");
    if (syslogOut == nullptr) {
        die("open syslog capture");
    }
    std::string result;
    double deadline = now() + timeout;
    bool childDone = false;
    for (;;) {
        struct pollfd pfds[2] = {{syslogFd, POLLIN, 0}, {childFd, POLLIN, 0}};
        poll(pfds, childDone || childFd < 0 ? 1 : 2, 50);
        drainSyslog(syslogFd, syslogOut);
        int status = 0;
        pid_t pid;
        bool noChildren = false;
        struct rusage usage;
        while ((pid = wait4(-1, &status, WNOHANG, &usage)) != 0) {
            if (pid < 0) {
                noChildren = errno == ECHILD;
                break;
            }
            if (pid == child) {
                childDone = true;
                if (rusage) {
                    char text[160];
                    snprintf(text, sizeof(text), "wall %.6f\nuser %.6f\nsystem %.6f\nmaxrss %ld\n",
                             now() - started, seconds(usage.ru_utime), seconds(usage.ru_stime),
                             usage.ru_maxrss);
                    writeFile(out + "rusage", text, 0644);
                }
                if (WIFEXITED(status)) {
                    result = "exited " + std::to_string(WEXITSTATUS(status));
                } else if (WIFSIGNALED(status)) {
                    result = "signaled " + std::to_string(WTERMSIG(status));
                }
            }
        }
        if (noChildren || (childDone && !waitDescendants)) {
            break;
        }
        if (now() > deadline) {
            if (!childDone) {
                result = "timeout";
            }
            kill(-child, SIGKILL);
            killChildren();
            while (waitpid(-1, nullptr, 0) > 0) {
            }
            break;
        }
    }
    if (childFd >= 0) {
        close(childFd);
    }
    drainSyslog(syslogFd, syslogOut);
    fclose(syslogOut);
    writeFile(out + "result", result + "\n", 0644);
    if (propagate) {
        if (result.compare(0, 7, "exited ") == 0) {
            return atoi(result.c_str() + 7);
        }
        if (result.compare(0, 9, "signaled ") == 0) {
            return 128 + atoi(result.c_str() + 9);
        }
        return 124;
    }
    return 0;
}
