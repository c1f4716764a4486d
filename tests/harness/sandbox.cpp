#include "harness/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "harness/command.h"
#include "harness/sandbox_layout.h"

namespace {

// SANDBOX_ROOT/<prefix><test suite>.<test>.XXXXXX, created.
std::string makeTestDir(const std::string& prefix, const std::string& name = "") {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = !name.empty()     ? name
                       : info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                         : "sandbox";
    std::replace_if(
        test.begin(), test.end(), [](char c) { return c == '/' || c == ' '; }, '_');
    makeDirs(sandboxRoot());
    std::string pattern = sandboxRoot() + "/" + prefix + test + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create " + pattern);
    }
    return pattern;
}

void removeUnlessKept(const std::string& dir) {
    if (getenv("UPDATER_KEEP_SANDBOXES") == nullptr) {
        removeTree(dir);
    }
}

// <PRI>Mon DD HH:MM:SS ident[pid]: text
SyslogRecord parseSyslogLine(const std::string& line) {
    SyslogRecord record{0, 0, "", 0, line};
    size_t close = line.find('>');
    size_t colon = line.find(": ", close + 17);
    if (line.empty() || line[0] != '<' || close == std::string::npos ||
        colon == std::string::npos) {
        return record;
    }
    int pri = atoi(line.c_str() + 1);
    record = {pri / 8, pri % 8, line.substr(close + 17, colon - close - 17), 0,
              line.substr(colon + 2)};
    size_t bracket = record.ident.find('[');
    if (bracket != std::string::npos) {
        record.pid = atoi(record.ident.c_str() + bracket + 1);
        record.ident.resize(bracket);
    }
    return record;
}

}  // namespace

std::string sandboxRoot() {
    const char* env = getenv("UPDATER_SANDBOX_DIR");
    return env != nullptr && *env != '\0' ? env : UPDATER_SANDBOX_DIR;
}

std::string Sandbox::updaterBinary() {
    return UPDATER_BINARY;
}

std::string Sandbox::runnerBinary() {
    return SANDBOX_RUN_BINARY;
}

std::string readHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeHostFile(const std::string& path, const std::string& content, mode_t mode) {
    makeDirs(path.substr(0, path.rfind('/') + 1));
    if (!sandbox_layout::writeFile(path, content, mode)) {
        throw std::runtime_error("cannot write " + path);
    }
}

void makeDirs(const std::string& path) {
    if (!path.empty() && !sandbox_layout::mkdirs(path)) {
        throw std::runtime_error("cannot create " + path + ": " + strerror(errno));
    }
}

void removeTree(const std::string& path) {
    // Overlay work directories may hold entries without permissions; rm copes.
    if (!path.empty() && path != "/") {
        runCommand({"rm", "-rf", "--one-file-system", path});
    }
}

ScratchDir::ScratchDir(const std::string& name) : m_sPath(makeTestDir(name + ".")) {}

ScratchDir::~ScratchDir() {
    removeUnlessKept(m_sPath);
}

Sandbox::Sandbox(const std::string& name) : m_sDir(makeTestDir("", name)) {
    if (!sandbox_layout::init(m_sDir)) {
        throw std::runtime_error("cannot lay out the sandbox " + m_sDir);
    }
}

Sandbox::~Sandbox() {
    removeUnlessKept(m_sDir);
}

std::string Sandbox::hostPath(const std::string& path) const {
    return sandbox_layout::redirectedFolder(path).empty() ? path : m_sDir + "/root" + path;
}

bool Sandbox::exists(const std::string& path) const {
    struct stat st;
    // A whiteout hides the host's file.
    return lstat(hostPath(path).c_str(), &st) == 0 &&
           !(S_ISCHR(st.st_mode) && st.st_rdev == makedev(0, 0));
}

void Sandbox::makeDir(const std::string& path, mode_t mode) {
    makeDirs(hostPath(path));
    chmod(hostPath(path).c_str(), mode);
}

void Sandbox::hide(const std::string& path) {
    std::string host = hostPath(path);
    removeTree(host);
    makeDirs(host.substr(0, host.rfind('/')));
    if (mknod(host.c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0) {
        throw std::runtime_error("cannot hide " + path + ": " + strerror(errno));
    }
}

std::vector<std::string> Sandbox::listDir(const std::string& path) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(hostPath(path), error)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Sandbox::simpleConfig(const std::string& location, const std::string& level,
                                  const std::string& extra) {
    return "<?xml version=\"1.0\"?>\n<updater>\n  <log level=\"" + level +
           "\"><logger type=\"stderr\"/></log>\n" +
           (location.empty() ? ""
                             : "  <repository id=\"main\"><name>Main</name><location href=\"" +
                                   location + "\"/></repository>\n") +
           extra + "</updater>\n";
}

SandboxProcess Sandbox::start(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv = {runnerBinary(), "--timeout",
                                     std::to_string(options.timeoutSeconds)};
    for (const auto& kv : options.env) {
        argv.insert(argv.end(), {"--env", kv.first + "=" + kv.second});
    }
    for (const auto& list :
         {std::make_pair("--unsetenv", &options.unsetEnv), std::make_pair("--bind", &options.binds),
          std::make_pair("--tmpfs", &options.tmpfs)}) {
        for (const std::string& value : *list.second) {
            argv.insert(argv.end(), {list.first, value});
        }
    }
    if (options.rusage) {
        argv.push_back("--rusage");
    }
    argv.insert(argv.end(),
                {m_sDir, "--", options.program.empty() ? updaterBinary() : options.program});
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
        dup2(open("/dev/null", O_RDWR), 0);
        execArgv(argv);
    }
    return SandboxProcess(this, pid);
}

pid_t SandboxProcess::programPid() {
    for (int i = 0; i < 2000; ++i) {
        std::string text = readHostFile(m_pSandbox->dir() + "/out/pid");
        if (!text.empty() && text.back() == '\n') {
            return static_cast<pid_t>(atoi(text.c_str()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

RunResult SandboxProcess::wait() {
    while (m_nRunner > 0 && waitpid(m_nRunner, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_nRunner = -1;
    const std::string out = m_pSandbox->dir() + "/out/";
    RunResult result;
    std::string end = readHostFile(out + "result");
    result.exited = end.rfind("exited ", 0) == 0;
    result.signaled = end.rfind("signaled ", 0) == 0;
    result.timedOut = end == "timeout\n";  // none of the three: sandbox-run itself failed
    (result.exited ? result.exitCode : result.signal) = atoi(end.c_str() + end.find(' ') + 1);
    result.out = readHostFile(out + "stdout");
    result.err = readHostFile(out + "stderr");
    for (const std::string& line : splitLines(readHostFile(out + "syslog"))) {
        result.syslog.push_back(parseSyslogLine(line));
    }
    return result;
}

long Sandbox::peakMemoryKib() const {
    std::string usage = readHostFile(m_sDir + "/out/rusage");
    size_t at = usage.find("maxrss ");
    return at == std::string::npos ? -1 : atol(usage.c_str() + at + 7);
}
