// A scriptable HTTP/HTTPS server on loopback for tests (http_server.py): it
// serves a directory (files with an ETag and a Last-Modified date, honouring
// a Range "bytes=N-" and its If-Range), answers chosen paths with scripted
// responses, records every request with its headers and counts the bytes it
// sends. It runs from construction to destruction, on a free port.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class HttpServer {
public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    struct Options {
        std::string address = "127.0.0.1";  // "::1" for IPv6
        std::string root;                   // directory served for unscripted paths
        std::string certFile;               // https when set
        std::string keyFile;
        // Runs the server through this command (a full path first), e.g.
        // "/usr/sbin/ip netns exec NAME" to serve from another network namespace.
        std::vector<std::string> launcher;
    };

    // One scripted answer.
    struct Response {
        int status = 200;
        Pairs headers;
        std::string body;
        long long bodySize = -1;  // that many bytes of a fixed pattern instead of body
        bool chunked = false;
        long long contentLength = -1;  // the length announced, whatever the body's size
        long long closeAfter = -1;     // drop the connection after this many body bytes
        size_t slowChunk = 0;          // send the body in pieces of this size...
        double slowDelay = 0;          // ...with this pause after each
        double slowHeaders = 0;        // send the headers a byte at a time, this pause after each
        std::string file;              // serve this file (as the directory's files are)...
        bool ranges = true;            // ...honouring a Range, or not
        bool retryAfterDate = false;   // "Retry-After" as an HTTP date...
        long retryAfterIn = 0;         // ...this many seconds from now

        static Response ok(const std::string& body) {
            Response r;
            r.body = body;
            return r;
        }
        static Response fromFile(const std::string& path) {
            Response r;
            r.file = path;
            return r;
        }
        static Response withStatus(int code) {
            Response r = ok("status " + std::to_string(code) + "\n");
            r.status = code;
            return r;
        }
        static Response redirect(const std::string& location, int code = 302) {
            return withStatus(code).header("Location", location);
        }
        Response& header(const std::string& name, const std::string& value) {
            headers.emplace_back(name, value);
            return *this;
        }
    };

    struct Request {
        std::string method;
        std::string target;  // as sent: path and query
        int clientPort = 0;  // tells connections apart
        Pairs headers;
        std::string user;  // of the Authorization header (Basic or Digest)

        // The first header of that name (case-insensitive), or empty.
        std::string header(const std::string& name) const;
        bool hasHeader(const std::string& name) const;
        std::string authUser() const { return user; }
    };

    HttpServer() : HttpServer(Options()) {}
    explicit HttpServer(const Options& options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const { return m_nPort; }
    // "http://127.0.0.1:PORT" followed by the path ("https" with a certificate;
    // an IPv6 address in brackets).
    std::string url(const std::string& path = "/") const;

    // Requests for the path (with the query, or else without it) get these
    // responses in turn; the last one repeats.
    void script(const std::string& path, const std::vector<Response>& responses);
    void script(const std::string& path, const Response& response) {
        script(path, std::vector<Response>{response});
    }
    // Requests whose path starts with the prefix need one of these users
    // ("name", "password"), with scheme "Basic" or "Digest" (MD5, qop "auth")
    // in the realm; others get 401 and a challenge. No users: no rule.
    void requireAuth(const std::string& prefix, const std::string& scheme, const std::string& realm,
                     const Pairs& users);
    // Acts as a proxy that needs one of these users with Basic credentials:
    // others get 407 and a challenge. No users: no rule.
    void requireProxyAuth(const std::string& realm, const Pairs& users);
    // Forgets every script, authentication rule and the request log.
    void clear() { command("{\"cmd\":\"clear\"}"); }

    std::vector<Request> requests();
    // Bytes written to clients (headers and bodies) since the start or the last clear.
    long long bytesSent() { return std::stoll(command("{\"cmd\":\"sent\"}").at(0)); }
    // The requests whose target is exactly this.
    std::vector<Request> requestsFor(const std::string& target);

private:
    // Sends one JSON command and returns the lines before its "ok".
    std::vector<std::string> command(const std::string& json);

    Options m_options;
    pid_t m_nPid = -1;
    FILE* m_pToServer = nullptr;
    FILE* m_pFromServer = nullptr;
    uint16_t m_nPort = 0;
};
