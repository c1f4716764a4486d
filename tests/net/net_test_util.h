// Debian's tinyproxy on a free loopback port, for the network tests; extra
// lines go into its configuration file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "harness/sandbox.h"

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
