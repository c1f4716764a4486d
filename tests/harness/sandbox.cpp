#include "harness/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "harness/command.h"
#include "harness/sandbox_layout.h"

namespace {

std::string testName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                       : std::string("sandbox");
    for (char& c : name) {
        if (c == '/' || c == ' ') {
            c = '_';
        }
    }
    return name;
}

SyslogRecord parseSyslogLine(const std::string& line) {
    // <PRI>Mon DD HH:MM:SS ident[pid]: text
    SyslogRecord record;
    size_t close = line.find('>');
    if (line.empty() || line[0] != '<' || close == std::string::npos) {
        record.text = line;
        return record;
    }
    int pri = atoi(line.substr(1, close - 1).c_str());
    record.facility = pri / 8;
    record.priority = pri % 8;
    size_t identStart = close + 1 + 16;  // "Mon DD HH:MM:SS "
    size_t colon = line.find(": ", identStart);
    if (identStart > line.size() || colon == std::string::npos) {
        record.text = line.substr(std::min(line.size(), close + 1));
        return record;
    }
    std::string ident = line.substr(identStart, colon - identStart);
    size_t bracket = ident.find('[');
    if (bracket != std::string::npos) {
        record.pid = atoi(ident.substr(bracket + 1).c_str());
        ident = ident.substr(0, bracket);
    }
    record.ident = ident;
    record.text = line.substr(colon + 2);
    return record;
}

}  // namespace

std::string sandboxRoot() {
    const char* env = getenv("UPDATER_SANDBOX_DIR");
    return env != nullptr && *env != '\0' ? env : UPDATER_SANDBOX_DIR;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> RunResult::errLines() const {
    return splitLines(err);
}

int RunResult::errCount(const std::string& line) const {
    int count = 0;
    for (const std::string& l : errLines()) {
        if (l == line) {
            ++count;
        }
    }
    return count;
}

std::string RunResult::describe() const {
    std::ostringstream s;
    if (timedOut) {
        s << "timed out";
    } else if (signaled) {
        s << "signal " << signal;
    } else {
        s << "exit " << exitCode;
    }
    s << "\n--- stdout ---\n" << out << "--- stderr ---\n" << err;
    return s.str();
}

std::string readHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeHostFile(const std::string& path, const std::string& content, mode_t mode) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        makeDirs(path.substr(0, slash));
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    out << content;
    out.close();
    chmod(path.c_str(), mode);
}

void makeDirs(const std::string& path, mode_t mode) {
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string partial = path.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            throw std::runtime_error("cannot create " + partial + ": " + strerror(errno));
        }
    }
}

void removeTree(const std::string& path) {
    if (path.empty() || path == "/") {
        return;
    }
    // Overlay work directories may hold entries without permissions; rm copes.
    runCommand({"rm", "-rf", "--one-file-system", path});
}

ScratchDir::ScratchDir(const std::string& name) {
    makeDirs(sandboxRoot());
    std::string pattern = sandboxRoot() + "/" + name + "." + testName() + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create scratch directory " + pattern);
    }
    m_sPath = pattern;
}

ScratchDir::~ScratchDir() {
    if (getenv("UPDATER_KEEP_SANDBOXES") == nullptr) {
        removeTree(m_sPath);
    }
}

Sandbox::Sandbox() : Sandbox(testName()) {}

Sandbox::Sandbox(const std::string& name) {
    makeDirs(sandboxRoot());
    std::string pattern = sandboxRoot() + "/" + name + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create sandbox " + pattern);
    }
    m_sDir = pattern;
    m_bKeep = getenv("UPDATER_KEEP_SANDBOXES") != nullptr;
    init();
}

Sandbox::~Sandbox() {
    if (!m_bKeep) {
        removeTree(m_sDir);
    }
}

void Sandbox::init() {
    CommandResult r = runCommand({runnerBinary(), "--init", m_sDir});
    if (r.status != 0) {
        throw std::runtime_error("sandbox-run --init failed: " + r.output);
    }
}

std::string Sandbox::updaterBinary() {
    return UPDATER_BINARY;
}
std::string Sandbox::runnerBinary() {
    return SANDBOX_RUN_BINARY;
}

std::string Sandbox::hostPath(const std::string& path) const {
    return sandbox_layout::redirectedFolder(path).empty() ? path : m_sDir + "/root" + path;
}

void Sandbox::writeFile(const std::string& path, const std::string& content, mode_t mode) {
    writeHostFile(hostPath(path), content, mode);
}

std::string Sandbox::readFile(const std::string& path) const {
    return readHostFile(hostPath(path));
}

bool Sandbox::exists(const std::string& path) const {
    struct stat st;
    if (lstat(hostPath(path).c_str(), &st) != 0) {
        return false;
    }
    // A whiteout hides the host's file.
    return !(S_ISCHR(st.st_mode) && st.st_rdev == makedev(0, 0));
}

void Sandbox::makeDir(const std::string& path, mode_t mode) {
    makeDirs(hostPath(path), mode);
    chmod(hostPath(path).c_str(), mode);
}

void Sandbox::hide(const std::string& path) {
    std::string host = hostPath(path);
    removeTree(host);
    size_t slash = host.rfind('/');
    makeDirs(host.substr(0, slash));
    if (mknod(host.c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0) {
        throw std::runtime_error("cannot hide " + path + ": " + strerror(errno));
    }
}

void Sandbox::remove(const std::string& path) {
    removeTree(hostPath(path));
}

std::vector<std::string> Sandbox::listDir(const std::string& path) const {
    std::vector<std::string> names;
    DIR* dir = opendir(hostPath(path).c_str());
    if (dir == nullptr) {
        return names;
    }
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string Sandbox::simpleConfig(const std::string& location, const std::string& level,
                                  const std::string& extra) {
    std::string xml = "<?xml version=\"1.0\"?>\n<updater>\n";
    xml += "  <log level=\"" + level + "\"><logger type=\"stderr\"/></log>\n";
    if (!location.empty()) {
        xml += "  <repository id=\"main\"><name>Main</name><location href=\"" + location +
               "\"/></repository>\n";
    }
    xml += extra;
    xml += "</updater>\n";
    return xml;
}

std::vector<std::string> Sandbox::stubCalls() const {
    return splitLines(readHostFile(m_sDir + "/out/calls.log"));
}

void Sandbox::setStubExit(const std::string& stub, int code) {
    writeHostFile(m_sDir + "/out/" + stub + ".exit", std::to_string(code) + "\n");
}

SandboxProcess Sandbox::start(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv = {runnerBinary(), "--timeout",
                                     std::to_string(options.timeoutSeconds)};
    for (const auto& kv : options.env) {
        argv.push_back("--env");
        argv.push_back(kv.first + "=" + kv.second);
    }
    for (const std::string& name : options.unsetEnv) {
        argv.push_back("--unsetenv");
        argv.push_back(name);
    }
    for (const std::string& bind : options.binds) {
        argv.push_back("--bind");
        argv.push_back(bind);
    }
    for (const std::string& dst : options.tmpfs) {
        argv.push_back("--tmpfs");
        argv.push_back(dst);
    }
    if (!options.waitDescendants) {
        argv.push_back("--no-wait-descendants");
    }
    if (options.rusage) {
        argv.push_back("--rusage");
    }
    argv.push_back(m_sDir);
    argv.push_back("--");
    argv.push_back(options.program.empty() ? updaterBinary() : options.program);
    argv.insert(argv.end(), args.begin(), args.end());

    // Nothing of an earlier run may be mistaken for this one's output.
    for (const char* name : {"pid", "result", "stdout", "stderr", "syslog"}) {
        unlink((m_sDir + "/out/" + name).c_str());
    }
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        std::vector<char*> cargv;
        for (std::string& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    return SandboxProcess(this, pid);
}

RunResult Sandbox::run(const std::vector<std::string>& args, const RunOptions& options) {
    return start(args, options).wait();
}

RunResult Sandbox::collect() const {
    RunResult result;
    std::string out = m_sDir + "/out/";
    std::string end = readHostFile(out + "result");
    if (end.compare(0, 7, "exited ") == 0) {
        result.exited = true;
        result.exitCode = atoi(end.c_str() + 7);
    } else if (end.compare(0, 9, "signaled ") == 0) {
        result.signaled = true;
        result.signal = atoi(end.c_str() + 9);
    } else {
        result.timedOut = true;
    }
    result.out = readHostFile(out + "stdout");
    result.err = readHostFile(out + "stderr");
    for (const std::string& line : splitLines(readHostFile(out + "syslog"))) {
        result.syslog.push_back(parseSyslogLine(line));
    }
    return result;
}

pid_t SandboxProcess::programPid() {
    std::string path = m_pSandbox->dir() + "/out/pid";
    for (int i = 0; i < 2000; ++i) {
        std::string text = readHostFile(path);
        if (!text.empty() && text.back() == '\n') {
            return static_cast<pid_t>(atoi(text.c_str()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

RunResult SandboxProcess::wait() {
    if (m_nRunner > 0) {
        int status = 0;
        while (waitpid(m_nRunner, &status, 0) < 0 && errno == EINTR) {
        }
        m_nRunner = -1;
    }
    return m_pSandbox->collect();
}

long Sandbox::peakMemoryKib() const {
    for (const std::string& line : splitLines(readHostFile(m_sDir + "/out/rusage"))) {
        if (line.compare(0, 7, "maxrss ") == 0) {
            return atol(line.c_str() + 7);
        }
    }
    return -1;
}
