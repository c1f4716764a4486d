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

static void stop(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

// Starts the program and waits until the port takes connections.
static pid_t startServer(const std::vector<std::string>& argv, uint16_t port) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    for (int i = 0; i < 250 && loopback(port, true) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pid;
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
    stop(m_nPid);
}

Nginx::Nginx(const std::string& root, const std::vector<std::string>& servers) {
    for (size_t i = 0; i < servers.size(); ++i) {
        m_vPorts.push_back(loopback(0, false));
    }
    const std::string& dir = m_dir.path();
    std::string conf = "daemon off;\nmaster_process off;\npid " + dir + "/nginx.pid;\n" +
                       "events { worker_connections 64; }\nhttp {\n  log_format t '$server_port "
                       "$status $request_uri \"$ssl_client_s_dn\" \"$http_range\" $body_bytes_sent';\n  access_log " +
                       dir + "/access.log t;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf += "  " + std::string(temp) + "_temp_path " + dir + ";\n";
    }
    for (size_t i = 0; i < servers.size(); ++i) {
        std::string lines = servers[i];
        for (size_t j = 0; j < m_vPorts.size(); ++j) {
            const std::string name = "@PORT" + std::to_string(j) + "@";
            for (size_t at; (at = lines.find(name)) != std::string::npos;) {
                lines.replace(at, name.size(), std::to_string(m_vPorts[j]));
            }
        }
        const bool tls = lines.find("ssl_certificate ") != std::string::npos;
        conf += "  server { listen 127.0.0.1:" + std::to_string(m_vPorts[i]) + (tls ? " ssl" : "") +
                "; root " + root + ";\n    " + lines + "\n  }\n";
    }
    writeHostFile(m_dir.file("nginx.conf"), conf + "}\n");
    m_nPid = startServer(
        {"nginx", "-p", dir, "-c", m_dir.file("nginx.conf"), "-e", m_dir.file("error.log")},
        m_vPorts.back());
}

Nginx::~Nginx() {
    stop(m_nPid);
}
