// Debian's tinyproxy and nginx on free loopback ports, for the network tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness/sandbox.h"

// Extra lines go into its configuration file.
class TinyProxy {
public:
    explicit TinyProxy(const std::string& extraConfig = "");
    ~TinyProxy();
    uint16_t port() const { return m_nPort; }
    std::string log() const { return readHostFile(m_dir.file("tinyproxy.log")); }

private:
    ScratchDir m_dir{"tinyproxy"};
    pid_t m_nPid = -1;
    uint16_t m_nPort = 0;
};

// Serves the directory with one server block per entry of lines
// (certificates, client certificate checks, redirects), in which "@PORTn@"
// stands for the port of block n; a block with an ssl_certificate speaks
// https.
class Nginx {
public:
    Nginx(const std::string& root, const std::vector<std::string>& servers);
    ~Nginx();
    uint16_t port(size_t server) const { return m_vPorts.at(server); }
    // One line per request: port, status, target, the client certificate's
    // subject in quotes, the Range header in quotes and the body bytes sent.
    std::string log() const { return readHostFile(m_dir.file("access.log")); }

private:
    ScratchDir m_dir{"nginx"};
    pid_t m_nPid = -1;
    std::vector<uint16_t> m_vPorts;
};
