#include "harness/http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char buffer[8];
                    snprintf(buffer, sizeof(buffer), "\\u%04x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(unescape(line.substr(start, tab - start)));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

std::string responseJson(const HttpServer::Response& r) {
    std::string json = "{\"status\":" + std::to_string(r.status);
    json += ",\"headers\":[";
    for (size_t i = 0; i < r.headers.size(); ++i) {
        json += (i ? "," : "") + std::string("[") + jsonString(r.headers[i].first) + "," +
                jsonString(r.headers[i].second) + "]";
    }
    json += "]";
    if (r.bodySize >= 0) {
        json += ",\"body_size\":" + std::to_string(r.bodySize);
    } else if (!r.file.empty()) {
        json += ",\"file\":" + jsonString(r.file);
    } else {
        // Hex keeps any bytes intact.
        static const char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char c : r.body) {
            hex += kDigits[c >> 4];
            hex += kDigits[c & 15];
        }
        json += ",\"body_hex\":\"" + hex + "\"";
    }
    if (r.chunked) {
        json += ",\"chunked\":true";
    }
    if (r.contentLength >= 0) {
        json += ",\"content_length\":" + std::to_string(r.contentLength);
    }
    if (r.closeAfter >= 0) {
        json += ",\"close_after\":" + std::to_string(r.closeAfter);
    }
    if (r.slowChunk > 0) {
        json += ",\"slow\":{\"chunk\":" + std::to_string(r.slowChunk) +
                ",\"delay\":" + std::to_string(r.slowDelay) + "}";
    }
    if (r.retryAfterDate) {
        json += ",\"retry_after_in\":" + std::to_string(r.retryAfterIn);
    }
    return json + "}";
}

}  // namespace

HttpServer::Response HttpServer::Response::ok(const std::string& body) {
    Response r;
    r.body = body;
    return r;
}

HttpServer::Response HttpServer::Response::withStatus(int code) {
    Response r;
    r.status = code;
    r.body = "status " + std::to_string(code) + "\n";
    return r;
}

HttpServer::Response HttpServer::Response::redirect(const std::string& location, int code) {
    Response r = withStatus(code);
    r.headers.emplace_back("Location", location);
    return r;
}

HttpServer::Response& HttpServer::Response::header(const std::string& name,
                                                   const std::string& value) {
    headers.emplace_back(name, value);
    return *this;
}

std::string HttpServer::Request::header(const std::string& name) const {
    for (const auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) {
            return h.second;
        }
    }
    return "";
}

bool HttpServer::Request::hasHeader(const std::string& name) const {
    for (const auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

std::string HttpServer::Request::authUser() const {
    std::string value = header("Authorization");
    if (value.rfind("Basic ", 0) == 0) {
        static const std::string kAlphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string decoded;
        unsigned int bits = 0;
        int count = 0;
        for (size_t i = 6; i < value.size(); ++i) {
            size_t index = kAlphabet.find(value[i]);
            if (index == std::string::npos) {
                break;
            }
            bits = (bits << 6) | static_cast<unsigned int>(index);
            count += 6;
            if (count >= 8) {
                count -= 8;
                decoded += static_cast<char>((bits >> count) & 0xff);
            }
        }
        return decoded.substr(0, decoded.find(':'));
    }
    size_t start = value.find("username=\"");
    if (value.rfind("Digest ", 0) != 0 || start == std::string::npos) {
        return "";
    }
    start += 10;
    return value.substr(start, value.find('"', start) - start);
}

HttpServer::HttpServer() : HttpServer(Options()) {}

HttpServer::HttpServer(const Options& options) : m_options(options) {
    int toServer[2];
    int fromServer[2];
    if (pipe2(toServer, O_CLOEXEC) != 0 || pipe2(fromServer, O_CLOEXEC) != 0) {
        throw std::runtime_error("http server: pipe failed");
    }
    std::vector<std::string> args = {"/usr/bin/python3", "-u", HTTP_SERVER_SCRIPT, "--address",
                                     options.address};
    if (!options.root.empty()) {
        args.insert(args.end(), {"--root", options.root});
    }
    if (!options.certFile.empty()) {
        args.insert(args.end(), {"--cert", options.certFile, "--key", options.keyFile});
    }
    args.insert(args.begin(), options.launcher.begin(), options.launcher.end());
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
    std::vector<std::string> lines;
    std::string first = command("", &lines);
    if (first.rfind("port ", 0) != 0) {
        throw std::runtime_error("http server did not start: " + first);
    }
    m_nPort = static_cast<uint16_t>(std::stoi(first.substr(5)));
}

HttpServer::~HttpServer() {
    if (m_nToServer >= 0) {
        close(m_nToServer);
    }
    if (m_nFromServer >= 0) {
        close(m_nFromServer);
    }
    if (m_nPid > 0) {
        // Closing its input ends the server; do not wait for slow handlers.
        for (int i = 0; i < 100; ++i) {
            int status;
            if (waitpid(m_nPid, &status, WNOHANG) == m_nPid) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
    }
}

std::string HttpServer::url(const std::string& path) const {
    std::string host = m_options.address.find(':') != std::string::npos
                           ? "[" + m_options.address + "]"
                           : m_options.address;
    return std::string(m_options.certFile.empty() ? "http" : "https") + "://" + host + ":" +
           std::to_string(m_nPort) + path;
}

// Sends one command line (none when empty) and reads lines up to the answer:
// "ok", "error ...", or the greeting "port N". Other lines go to *lines.
std::string HttpServer::command(const std::string& json, std::vector<std::string>* lines) {
    if (!json.empty()) {
        std::string line = json + "\n";
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = write(m_nToServer, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw std::runtime_error("http server: cannot send command");
            }
            done += static_cast<size_t>(n);
        }
    }
    for (;;) {
        size_t newline;
        while ((newline = m_sPending.find('\n')) != std::string::npos) {
            std::string line = m_sPending.substr(0, newline);
            m_sPending.erase(0, newline + 1);
            if (line == "ok" || line.rfind("error", 0) == 0 || line.rfind("port ", 0) == 0) {
                if (line.rfind("error", 0) == 0) {
                    throw std::runtime_error("http server: " + line);
                }
                return line;
            }
            if (lines != nullptr) {
                lines->push_back(line);
            }
        }
        struct pollfd p = {m_nFromServer, POLLIN, 0};
        int ready = poll(&p, 1, 20000);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            throw std::runtime_error("http server: no answer");
        }
        char buffer[65536];
        ssize_t n = read(m_nFromServer, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("http server: ended unexpectedly");
        }
        m_sPending.append(buffer, static_cast<size_t>(n));
    }
}

void HttpServer::script(const std::string& path, const std::vector<Response>& responses) {
    std::string json = "{\"cmd\":\"set\",\"path\":" + jsonString(path) + ",\"responses\":[";
    for (size_t i = 0; i < responses.size(); ++i) {
        json += (i ? "," : "") + responseJson(responses[i]);
    }
    command(json + "]}");
}

void HttpServer::requireAuth(const std::string& prefix, const std::string& scheme,
                             const std::string& realm,
                             const std::vector<std::pair<std::string, std::string>>& users) {
    std::string json = "{\"cmd\":\"auth\",\"prefix\":" + jsonString(prefix) +
                       ",\"scheme\":" + jsonString(scheme) + ",\"realm\":" + jsonString(realm) +
                       ",\"users\":[";
    for (size_t i = 0; i < users.size(); ++i) {
        json += (i ? "," : "") + std::string("[") + jsonString(users[i].first) + "," +
                jsonString(users[i].second) + "]";
    }
    command(json + "]}");
}

void HttpServer::requireProxyAuth(const std::string& realm,
                                  const std::vector<std::pair<std::string, std::string>>& users) {
    std::string json = "{\"cmd\":\"proxy_auth\",\"realm\":" + jsonString(realm) + ",\"users\":[";
    for (size_t i = 0; i < users.size(); ++i) {
        json += (i ? "," : "") + std::string("[") + jsonString(users[i].first) + "," +
                jsonString(users[i].second) + "]";
    }
    command(json + "]}");
}

void HttpServer::clear() {
    command("{\"cmd\":\"clear\"}");
}

std::vector<HttpServer::Request> HttpServer::requests() {
    std::vector<std::string> lines;
    command("{\"cmd\":\"requests\"}", &lines);
    std::vector<Request> result;
    for (const std::string& line : lines) {
        std::vector<std::string> fields = splitTabs(line);
        if (fields.size() < 4 || fields[0] != "R") {
            continue;
        }
        Request r;
        r.method = fields[1];
        r.target = fields[2];
        r.clientPort = std::stoi(fields[3]);
        for (size_t i = 4; i + 1 < fields.size(); i += 2) {
            r.headers.emplace_back(fields[i], fields[i + 1]);
        }
        result.push_back(r);
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
