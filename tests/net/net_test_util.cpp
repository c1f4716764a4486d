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
#include <vector>

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

// Starts a server program and waits until it accepts connections.
static pid_t startServer(const std::vector<std::string>& args, uint16_t port) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 250 && loopback(port, true) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pid;
}

Nginx::Nginx(const std::string& root) : m_nPort(loopback(0, false)) {
    if (m_nPort == 0) {
        throw std::runtime_error("no free port");
    }
    const std::string dir = m_dir.path() + "/";
    writeHostFile(m_dir.file("nginx.conf"),
                  "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + dir +
                      "nginx.pid;\nerror_log " + dir +
                      "error.log;\nevents { worker_connections 16; }\nhttp {\n"
                      "  log_format ranges '$status \"$http_range\" $body_bytes_sent';\n"
                      "  access_log " +
                      dir + "access.log ranges;\n  client_body_temp_path " + dir +
                      ";\n  proxy_temp_path " + dir + ";\n  fastcgi_temp_path " + dir +
                      ";\n  uwsgi_temp_path " + dir + ";\n  scgi_temp_path " + dir +
                      ";\n  server { listen 127.0.0.1:" + std::to_string(m_nPort) + "; root " +
                      root + "; }\n}\n");
    m_nPid = startServer(
        {"nginx", "-p", dir, "-c", m_dir.file("nginx.conf"), "-e", m_dir.file("error.log")},
        m_nPort);
}

Nginx::~Nginx() {
    if (m_nPid > 0) {
        kill(m_nPid, SIGTERM);
        waitpid(m_nPid, nullptr, 0);
    }
}

TinyProxy::TinyProxy(const std::string& extraConfig) : m_nPort(loopback(0, false)) {
    if (m_nPort == 0) {
        throw std::runtime_error("no free port");
    }
    writeHostFile(m_dir.file("tinyproxy.conf"),
                  "Port " + std::to_string(m_nPort) + "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" +
                      m_dir.file("tinyproxy.log") +
                      "\"\nLogLevel Info\nMaxClients 10\nAllow 127.0.0.1\n" + extraConfig);
    m_nPid = startServer({"tinyproxy", "-d", "-c", m_dir.file("tinyproxy.conf")}, m_nPort);
}

TinyProxy::~TinyProxy() {
    if (m_nPid > 0) {
        kill(m_nPid, SIGTERM);
        waitpid(m_nPid, nullptr, 0);
    }
}
