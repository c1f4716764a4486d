#include "harness/http_server.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "harness/command.h"

namespace {

// Bytes above 0x7e as \u00XX: the server takes strings back as Latin-1.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char escaped[8];
        snprintf(escaped, sizeof(escaped), "\\u%04x", c);
        out += c == '"' || c == '\\' || c < 0x20 || c >= 0x7f ? escaped : std::string(1, c);
    }
    return out + "\"";
}

std::string pairsJson(const HttpServer::Pairs& pairs) {
    std::string json;
    for (const auto& p : pairs) {
        json +=
            (json.empty() ? "[" : ",[") + jsonString(p.first) + "," + jsonString(p.second) + "]";
    }
    return "[" + json + "]";
}

std::string responseJson(const HttpServer::Response& r) {
    std::string json = "{\"status\":" + std::to_string(r.status) +
                       ",\"headers\":" + pairsJson(r.headers) + ",\"body\":" + jsonString(r.body);
    auto number = [&](const char* name, const std::string& value, bool given) {
        json += given ? ",\"" + std::string(name) + "\":" + value : "";
    };
    number("body_size", std::to_string(r.bodySize), r.bodySize >= 0);
    number("content_length", std::to_string(r.contentLength), r.contentLength >= 0);
    number("close_after", std::to_string(r.closeAfter), r.closeAfter >= 0);
    number("slow_chunk", std::to_string(r.slowChunk), r.slowChunk > 0);
    number("slow_delay", std::to_string(r.slowDelay), r.slowChunk > 0);
    number("retry_after_in", std::to_string(r.retryAfterIn), r.retryAfterDate);
    number("slow_headers", std::to_string(r.slowHeaders), r.slowHeaders > 0);
    number("file", jsonString(r.file), !r.file.empty());
    number("ranges", "false", !r.ranges);
    number("chunked", "true", r.chunked);
    return json + "}";
}

}  // namespace

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
    if ((m_nPid = fork()) == 0) {
        dup2(toServer[0], 0);
        dup2(fromServer[1], 1);
        signal(SIGPIPE, SIG_DFL);
        execArgv(args);
    }
    close(toServer[0]);
    close(fromServer[1]);
    m_pToServer = fdopen(toServer[1], "w");
    m_pFromServer = fdopen(fromServer[0], "r");
    // The greeting "port N" comes first.
    std::vector<std::string> greeting = command("");
    m_nPort = static_cast<uint16_t>(std::stoi(greeting.at(0).substr(5)));
}

HttpServer::~HttpServer() {
    fclose(m_pToServer);
    fclose(m_pFromServer);
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
    const std::string& host = m_options.address;
    return std::string(m_options.certFile.empty() ? "http" : "https") + "://" +
           (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(m_nPort) + path;
}

std::vector<std::string> HttpServer::command(const std::string& json) {
    if (!json.empty() && (fputs((json + "\n").c_str(), m_pToServer) < 0 || fflush(m_pToServer))) {
        throw std::runtime_error("http server: cannot send command");
    }
    std::vector<std::string> lines;
    char* buffer = nullptr;
    size_t size = 0;
    for (ssize_t n; (n = getline(&buffer, &size, m_pFromServer)) > 0;) {
        lines.emplace_back(buffer, static_cast<size_t>(n - (buffer[n - 1] == '\n' ? 1 : 0)));
        if (json.empty() || lines.back() == "ok" || lines.back().rfind("error", 0) == 0) {
            break;
        }
    }
    free(buffer);
    std::string last = lines.empty() ? "error: no answer" : lines.back();
    if (last.rfind("error", 0) == 0 || (!json.empty() && last != "ok")) {
        throw std::runtime_error("http server: " + last);
    }
    lines.resize(lines.size() - (json.empty() ? 0 : 1));
    return lines;
}

void HttpServer::script(const std::string& path, const std::vector<Response>& responses) {
    std::string json;
    for (const Response& r : responses) {
        json += (json.empty() ? "" : ",") + responseJson(r);
    }
    command("{\"cmd\":\"set\",\"path\":" + jsonString(path) + ",\"responses\":[" + json + "]}");
}

void HttpServer::requireAuth(const std::string& prefix, const std::string& scheme,
                             const std::string& realm, const Pairs& users) {
    command("{\"cmd\":\"auth\",\"prefix\":" + jsonString(prefix) +
            ",\"scheme\":" + jsonString(scheme) + ",\"realm\":" + jsonString(realm) +
            ",\"users\":" + pairsJson(users) + "}");
}

void HttpServer::requireProxyAuth(const std::string& realm, const Pairs& users) {
    command("{\"cmd\":\"proxy_auth\",\"realm\":" + jsonString(realm) +
            ",\"users\":" + pairsJson(users) + "}");
}

// One line per request: method, target, client port, user, then header names
// and values, tab-separated, with "%", tab, CR and LF as %25 %09 %0D %0A.
std::vector<HttpServer::Request> HttpServer::requests() {
    std::vector<Request> result;
    for (const std::string& line : command("{\"cmd\":\"requests\"}")) {
        std::vector<std::string> f;
        for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
            f.push_back(line.substr(start, (tab = line.find('\t', start)) - start));
            for (size_t at = 0; (at = f.back().find('%', at)) != std::string::npos; ++at) {
                f.back().replace(
                    at, 3, 1,
                    static_cast<char>(std::stoi(f.back().substr(at + 1, 2), nullptr, 16)));
            }
        }
        result.push_back({f.at(0), f.at(1), std::stoi(f.at(2)), {}, f.at(3)});
        for (size_t i = 4; i + 1 < f.size(); i += 2) {
            result.back().headers.emplace_back(f[i], f[i + 1]);
        }
    }
    return result;
}

std::vector<HttpServer::Request> HttpServer::requestsFor(const std::string& target) {
    std::vector<Request> result = requests();
    result.erase(std::remove_if(result.begin(), result.end(),
                                [&](const Request& r) { return r.target != target; }),
                 result.end());
    return result;
}
