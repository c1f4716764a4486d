// Shared pieces of the network tests: a recording stand-in for the retry
// sleep, fixtures that set up the fetcher's class state, and a tinyproxy.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "harness/http_server.h"
#include "harness/log_capture.h"
#include "harness/sandbox.h"
#include "net/downloader.h"
#include "support/fd.h"

// Records the retry sleeps instead of sleeping; a set errno makes them fail.
struct FakeSleep {
    static std::vector<struct timespec> s_vCalls;
    static int s_nFailErrno;
    static int sleep(const struct timespec* request, struct timespec* remaining);
};

class NetTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs the class initialisation again with these settings.
    void reinitialize(const NetworkSettings& settings);
    // A fetcher for the URI (which must parse).
    std::unique_ptr<URLFetcher> fetcher(const std::string& uri);

    std::unique_ptr<LogCapture> log;
    ScratchDir scratch{"net"};
};

// A fetcher test with a server on loopback and a target file. It writes the
// fixed paths (/etc, mounts), so it runs only inside the sandbox that ctest
// starts for the whole binary and is skipped elsewhere.
class ServedTest : public NetTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // One get of the path into the target file, which starts empty.
    bool get(URLFetcher& f, const std::string& path, bool bypassCache = false);

    HttpServer server;
    std::string target;
    UniqueFd fd;
};

// Puts a file of the sandbox back as it was (the sandbox outlives the test).
class RestoredFile {
public:
    explicit RestoredFile(const std::string& path)
        : m_sPath(path), m_sContent(readHostFile(path)) {}
    ~RestoredFile() { writeHostFile(m_sPath, m_sContent); }

private:
    std::string m_sPath;
    std::string m_sContent;
};

bool fileExists(const std::string& path);

// Debian's tinyproxy on a free loopback port; extra lines go into its
// configuration file.
class TinyProxy {
public:
    explicit TinyProxy(const std::string& extraConfig = "");
    ~TinyProxy();
    uint16_t port() const { return m_nPort; }

private:
    ScratchDir m_dir{"tinyproxy"};
    pid_t m_nPid = -1;
    uint16_t m_nPort = 0;
};
