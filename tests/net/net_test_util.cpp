#include "net/net_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ne_socket.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/logger.h"

std::vector<struct timespec> FakeSleep::s_vCalls;
int FakeSleep::s_nFailErrno = 0;

int FakeSleep::sleep(const struct timespec* request, struct timespec*) {
    s_vCalls.push_back(*request);
    if (s_nFailErrno != 0) {
        errno = s_nFailErrno;
        return -1;
    }
    return 0;
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

bool insideSandbox() {
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
    if (insideSandbox()) {
        NetTest::TearDown();
    }
}

bool ServedTest::get(URLFetcher& f, const std::string& path, bool bypassCache) {
    EXPECT_EQ(ftruncate(fd.get(), 0), 0);
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
    return f.get(path, fd.get(), bypassCache, "item");
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

bool fileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

uint16_t freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(s, reinterpret_cast<struct sockaddr*>(&address), &length) != 0) {
        close(s);
        throw std::runtime_error("no free port");
    }
    close(s);
    return ntohs(address.sin_port);
}

namespace {

bool accepting(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool ok = connect(s, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0;
    close(s);
    return ok;
}

}  // namespace

TinyProxy::TinyProxy(const std::string& extraConfig) {
    m_nPort = freePort();
    std::string config = "Port " + std::to_string(m_nPort) +
                         "\n"
                         "Listen 127.0.0.1\n"
                         "Timeout 30\n"
                         "LogFile \"" +
                         m_dir.file("tinyproxy.log") +
                         "\"\n"
                         "LogLevel Info\n"
                         "MaxClients 10\n"
                         "Allow 127.0.0.1\n" +
                         extraConfig;
    writeHostFile(m_dir.file("tinyproxy.conf"), config);
    m_nPid = fork();
    if (m_nPid == 0) {
        execlp("tinyproxy", "tinyproxy", "-d", "-c", m_dir.file("tinyproxy.conf").c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 250 && !accepting(m_nPort); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TinyProxy::~TinyProxy() {
    if (m_nPid > 0) {
        kill(m_nPid, SIGTERM);
        waitpid(m_nPid, nullptr, 0);
    }
}
