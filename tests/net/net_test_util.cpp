#include "net/net_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

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
