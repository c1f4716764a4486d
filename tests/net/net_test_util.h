// Debian's tinyproxy on a free loopback port, for the network tests; extra
// lines go into its configuration file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "harness/sandbox.h"

// Debian's nginx serving a directory on a free loopback port. Its access log
// has one line per request: status, Range header and body bytes sent.
class Nginx {
public:
    explicit Nginx(const std::string& root);
    ~Nginx();
    uint16_t port() const { return m_nPort; }
    std::string accessLog() const { return readHostFile(m_dir.file("access.log")); }

private:
    ScratchDir m_dir{"nginx"};
    pid_t m_nPid = -1;
    uint16_t m_nPort = 0;
};

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
