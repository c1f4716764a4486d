#include "harness/http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char escaped[8];
        snprintf(escaped, sizeof(escaped), "\\u%04x", c);
        out += c == '"' || c == '\\'   ? std::string("\\") + static_cast<char>(c)
               : c < 0x20 || c >= 0x7f ? std::string(escaped)
                                       : std::string(1, static_cast<char>(c));
    }
    return out + "\"";
}

std::string pairsJson(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string json = "[";
    for (const auto& p : pairs) {
        json +=
            (json.size() > 1 ? ",[" : "[") + jsonString(p.first) + "," + jsonString(p.second) + "]";
    }
    return json + "]";
}

std::string responseJson(const HttpServer::Response& r) {
    std::string json =
        "{\"status\":" + std::to_string(r.status) + ",\"headers\":" + pairsJson(r.headers);
    auto number = [&](const char* name, const std::string& value, bool given) {
        json += given ? ",\"" + std::string(name) + "\":" + value : "";
    };
    number("body_size", std::to_string(r.bodySize), r.bodySize >= 0);
    number("content_length", std::to_string(r.contentLength), r.contentLength >= 0);
    number("close_after", std::to_string(r.closeAfter), r.closeAfter >= 0);
    number("slow_chunk", std::to_string(r.slowChunk), r.slowChunk > 0);
    number("slow_delay", std::to_string(r.slowDelay), r.slowChunk > 0);
    number("retry_after_in", std::to_string(r.retryAfterIn), r.retryAfterDate);
    number("chunked", "true", r.chunked);
    // Hex keeps any bytes intact.
    std::string hex;
    for (unsigned char c : r.body) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
    }
    return json + ",\"body_hex\":\"" + hex + "\"}";
}

// A request log line: R, method, target, client port, user, then header names and values.
HttpServer::Request parseRequest(const std::string& line) {
    std::vector<std::string> fields;
    for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
        tab = line.find('\t', start);
        std::string field = line.substr(start, tab - start);
        for (size_t at = 0;
             (at = field.find('%', at)) != std::string::npos && at + 2 < field.size(); ++at) {
            field.replace(at, 3, 1,
                          static_cast<char>(std::stoi(field.substr(at + 1, 2), nullptr, 16)));
        }
        fields.push_back(field);
    }
    HttpServer::Request r;
    if (fields.size() < 5) {
        throw std::runtime_error("http server: bad request line " + line);
    }
    r.method = fields[1];
    r.target = fields[2];
    r.clientPort = std::stoi(fields[3]);
    r.user = fields[4];
    for (size_t i = 5; i + 1 < fields.size(); i += 2) {
        r.headers.emplace_back(fields[i], fields[i + 1]);
    }
    return r;
}

}  // namespace

HttpServer::Response HttpServer::Response::ok(const std::string& body) {
    Response r;
    r.body = body;
    return r;
}

HttpServer::Response HttpServer::Response::withStatus(int code) {
    Response r = ok("status " + std::to_string(code) + "\n");
    r.status = code;
    return r;
}

HttpServer::Response HttpServer::Response::redirect(const std::string& location, int code) {
    return withStatus(code).header("Location", location);
}

std::string HttpServer::Request::header(const std::string& name) const {
    auto it = std::find_if(headers.begin(), headers.end(), [&](const auto& h) {
        return strcasecmp(h.first.c_str(), name.c_str()) == 0;
    });
    return it == headers.end() ? "" : it->second;
}

bool HttpServer::Request::hasHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) {
        return strcasecmp(h.first.c_str(), name.c_str()) == 0;
    });
}

HttpServer::HttpServer(const Options& options) : m_options(options) {
    int toServer[2];
    int fromServer[2];
    if (pipe2(toServer, O_CLOEXEC) != 0 || pipe2(fromServer, O_CLOEXEC) != 0) {
        throw std::runtime_error("http server: pipe failed");
    }
    std::vector<std::string> args = options.launcher;
    args.insert(args.end(),
                {"/usr/bin/python3", "-u", HTTP_SERVER_SCRIPT, options.address, options.root});
    if (!options.certFile.empty()) {
        args.insert(args.end(), {options.certFile, options.keyFile});
    }
    m_nPid = fork();
    if (m_nPid < 0) {
        throw std::runtime_error("http server: fork failed");
    }
    if (m_nPid == 0) {
        dup2(toServer[0], 0);
        dup2(fromServer[1], 1);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(toServer[0]);
    close(fromServer[1]);
    m_nToServer = toServer[1];
    m_nFromServer = fromServer[0];
    std::vector<std::string> greeting = command("");
    if (greeting.empty() || greeting.back().rfind("port ", 0) != 0) {
        throw std::runtime_error("http server did not start");
    }
    m_nPort = static_cast<uint16_t>(std::stoi(greeting.back().substr(5)));
}

HttpServer::~HttpServer() {
    close(m_nToServer);
    close(m_nFromServer);
    // Closing its input ends the server; do not wait for slow handlers.
    for (int i = 0; i < 100; ++i) {
        if (waitpid(m_nPid, nullptr, WNOHANG) == m_nPid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(m_nPid, SIGKILL);
    waitpid(m_nPid, nullptr, 0);
}

std::string HttpServer::url(const std::string& path) const {
    std::string host = m_options.address.find(':') != std::string::npos
                           ? "[" + m_options.address + "]"
                           : m_options.address;
    return std::string(m_options.certFile.empty() ? "http" : "https") + "://" + host + ":" +
           std::to_string(m_nPort) + path;
}

std::vector<std::string> HttpServer::command(const std::string& json) {
    std::string line = json.empty() ? "" : json + "\n";
    for (size_t done = 0; done < line.size();) {
        ssize_t n = write(m_nToServer, line.data() + done, line.size() - done);
        if (n <= 0 && errno != EINTR) {
            throw std::runtime_error("http server: cannot send command");
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    std::vector<std::string> lines;
    for (;;) {
        for (size_t newline; (newline = m_sPending.find('\n')) != std::string::npos;) {
            lines.push_back(m_sPending.substr(0, newline));
            m_sPending.erase(0, newline + 1);
            if (lines.back().rfind("error", 0) == 0) {
                throw std::runtime_error("http server: " + lines.back());
            }
            if (lines.back() == "ok") {
                lines.pop_back();
                return lines;
            }
            if (lines.back().rfind("port ", 0) == 0) {
                return lines;
            }
        }
        struct pollfd p = {m_nFromServer, POLLIN, 0};
        char buffer[65536];
        int ready = poll(&p, 1, 20000);
        ssize_t n = ready > 0 ? read(m_nFromServer, buffer, sizeof(buffer)) : -1;
        if (n <= 0 && errno != EINTR) {
            throw std::runtime_error("http server: no answer");
        }
        m_sPending.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }
}

void HttpServer::script(const std::string& path, const std::vector<Response>& responses) {
    std::string json;
    for (const Response& r : responses) {
        json += (json.empty() ? "" : ",") + responseJson(r);
    }
    command("{\"cmd\":\"set\",\"path\":" + jsonString(path) + ",\"responses\":[" + json + "]}");
}

void HttpServer::requireAuth(const std::string& prefix, const std::string& scheme,
                             const std::string& realm,
                             const std::vector<std::pair<std::string, std::string>>& users) {
    command("{\"cmd\":\"auth\",\"prefix\":" + jsonString(prefix) +
            ",\"scheme\":" + jsonString(scheme) + ",\"realm\":" + jsonString(realm) +
            ",\"users\":" + pairsJson(users) + "}");
}

void HttpServer::requireProxyAuth(const std::string& realm,
                                  const std::vector<std::pair<std::string, std::string>>& users) {
    command("{\"cmd\":\"proxy_auth\",\"realm\":" + jsonString(realm) +
            ",\"users\":" + pairsJson(users) + "}");
}

void HttpServer::clear() {
    command("{\"cmd\":\"clear\"}");
}

std::vector<HttpServer::Request> HttpServer::requests() {
    std::vector<Request> result;
    for (const std::string& line : command("{\"cmd\":\"requests\"}")) {
        result.push_back(parseRequest(line));
    }
    return result;
}

std::vector<HttpServer::Request> HttpServer::requestsFor(const std::string& target) {
    std::vector<Request> result;
    for (Request& r : requests()) {
        if (r.target == target) {
            result.push_back(r);
        }
    }
    return result;
}
