#include "net/net_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ne_socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

std::vector<struct timespec> FakeSleep::s_vCalls;
int FakeSleep::s_nFailErrno = 0;

int FakeSleep::sleep(const struct timespec* request, struct timespec*) {
    s_vCalls.push_back(*request);
    errno = s_nFailErrno;
    return s_nFailErrno != 0 ? -1 : 0;
}

void NetTest::SetUp() {
    ne_sock_init();
    FakeSleep::s_vCalls.clear();
    FakeSleep::s_nFailErrno = 0;
    URLFetcher::setSleepForTesting(FakeSleep::sleep);
    reinitialize(NetworkSettings());
    log = std::make_unique<LogCapture>();
}

void NetTest::TearDown() {
    log.reset();
    URLFetcher::setSleepForTesting(nullptr);
    URLFetcher::setTimeForTesting(nullptr);
    URLFetcher::resetForTesting();
    ne_sock_exit();
}

void NetTest::reinitialize(const NetworkSettings& settings) {
    URLFetcher::resetForTesting();
    URLFetcher::initialize(settings);
}

std::unique_ptr<URLFetcher> NetTest::fetcher(const std::string& uri) {
    ParsedUri parsed;
    EXPECT_TRUE(parsed.parse(uri)) << uri;
    return std::make_unique<URLFetcher>(parsed.get());
}

static bool insideSandbox() {
    for (const std::string& line : splitLines(readHostFile("/proc/self/mountinfo"))) {
        if (line.find(" /etc ") != std::string::npos &&
            line.find(" - overlay ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

void ServedTest::SetUp() {
    if (!insideSandbox()) {
        GTEST_SKIP() << "needs the sandbox (run through ctest)";
    }
    NetTest::SetUp();
    target = scratch.file("target");
    fd = UniqueFd(open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

void ServedTest::TearDown() {
    if (!IsSkipped()) {
        NetTest::TearDown();
    }
}

bool ServedTest::get(URLFetcher& f, const std::string& path, bool bypassCache) {
    EXPECT_EQ(ftruncate(fd.get(), 0), 0);
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
    return f.get(path, fd.get(), bypassCache, "item");
}

bool fileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Binds (port 0: any free port) or connects a loopback socket; the port, or 0.
static uint16_t loopback(uint16_t port, bool connectTo) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof(address);
    auto* any = reinterpret_cast<struct sockaddr*>(&address);
    bool ok = connectTo ? connect(s, any, length) == 0
                        : bind(s, any, length) == 0 && getsockname(s, any, &length) == 0;
    close(s);
    return ok ? ntohs(address.sin_port) : 0;
}

TinyProxy::TinyProxy(const std::string& extraConfig) : m_nPort(loopback(0, false)) {
    if (m_nPort == 0) {
        throw std::runtime_error("no free port");
    }
    writeHostFile(m_dir.file("tinyproxy.conf"),
                  "Port " + std::to_string(m_nPort) + "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" +
                      m_dir.file("tinyproxy.log") +
                      "\"\nLogLevel Info\nMaxClients 10\nAllow 127.0.0.1\n" + extraConfig);
    m_nPid = fork();
    if (m_nPid == 0) {
        execlp("tinyproxy", "tinyproxy", "-d", "-c", m_dir.file("tinyproxy.conf").c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 250 && loopback(m_nPort, true) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TinyProxy::~TinyProxy() {
    if (m_nPid > 0) {
        kill(m_nPid, SIGTERM);
        waitpid(m_nPid, nullptr, 0);
    }
}
