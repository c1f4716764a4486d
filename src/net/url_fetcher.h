// One connection to one server (scheme, host, port), over which resources are
// fetched into open files with GET requests: neon for http and https, a plain
// file copy for local file URIs. What is the same for every server (proxy,
// user agent, device identity, default credentials) is class state, set once
// by URLFetcher::initialize, which also seeds the program's random generator.
// When a failed request is tried again is the retry policy's
// (net/retry_policy.h); a refused certificate is never tried again.
#pragma once

#include <ne_request.h>
#include <ne_session.h>
#include <ne_socket.h>
#include <ne_uri.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/credential_store.h"
#include "net/device_identity.h"
#include "net/tls_credentials.h"
#include "net/transfer_watchdog.h"

class PartialDownload;

// Owner of a URI parsed by neon.
// The path as sent in a request line: control characters, spaces, bytes
// outside ASCII and the characters never allowed in a request target are
// percent-encoded; everything else (including '%') stays.
std::string encodeRequestPath(const std::string& path);

// False when the URI names a port that is not a number from 1 to 65535.
bool hasValidPort(const std::string& uri);

// Opens a local file for reading without blocking on FIFOs or devices; -1
// (and an Error line) unless it is a regular file.
int openRegularFile(const std::string& path);

class ParsedUri {
public:
    ParsedUri();
    ~ParsedUri();
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    // Parses the text; on failure the URI is empty and false is returned.
    bool parse(const std::string& text);
    void reset();
    const ne_uri& get() const { return m_uri; }
    // The URI written back as text.
    static std::string toString(const ne_uri& uri);

private:
    ne_uri m_uri;
};

// Where a fetch writes and what it may write there.
struct FetchTarget {
    int fd = -1;  // the file; for a partial download its descriptor
    // A body longer than this fails at once, with nothing past it written;
    // -1: no limit.
    int64_t maxSize = -1;
    // Set: what the file holds is kept across attempts, and a request asks
    // only for the rest. Unset: every attempt writes the whole body again.
    PartialDownload* partial = nullptr;
    LogLevel progressLevel = LogLevel::Debug;  // of the progress lines
};

class URLFetcher {
public:
    // Observes the progress of transfers (resolving, connecting, receiving with
    // byte counts...). Owned by the caller; it must outlive the fetchers it is
    // attached to. A notifier that does not override notify is not called.
    class Notifier {
    public:
        virtual ~Notifier();
        virtual void notify(ne_session_status status, const ne_session_status_info* info);

    private:
        friend class URLFetcher;
        bool m_bOverridden = true;  // cleared by the base notify
    };

    // What the device tells each server about itself, and what it needs for
    // its default credentials. Filled at class initialisation.
    using DeviceIdentity = ::DeviceIdentity;

    // Class initialisation; runs once, later calls do nothing.
    static void initialize(const NetworkSettings& settings);

    // Sets up a fetcher for the URI's scheme, host and port. The TLS
    // credentials (not owned; they must outlive the fetcher) are given for
    // the repository's own host only; without them an https server is
    // trusted by the system's authorities and gets no client certificate.
    explicit URLFetcher(const ne_uri& uri, const TlsCredentials* tls = nullptr);
    ~URLFetcher();
    URLFetcher(const URLFetcher&) = delete;
    URLFetcher& operator=(const URLFetcher&) = delete;

    bool isValid() const { return m_bValid; }
    bool hasSession() const { return m_pSession != nullptr; }
    const std::string& scheme() const { return m_sScheme; }
    // Same scheme, host and port (the scheme's default port when the URI gives none).
    bool matches(const ne_uri& uri) const;

    // The retrying fetch of a path into an open, empty file.
    bool get(const std::string& path, int fd, bool bypassCache, const std::string& displayName);
    // The same into a target: with a limit, or continuing a partial download.
    bool get(const std::string& path, const FetchTarget& target, bool bypassCache,
             const std::string& displayName);

    bool wasRedirected() const { return m_bRedirected; }
    // The parsed target of the last redirect; null when there was none or its
    // location could not be parsed. Valid until the next request.
    const ne_uri* redirectLocation() const;

    void closeConnection();
    void setNotifier(Notifier* notifier);

    static std::string errorText(int code, ne_session* session);
    // The fetch of a local file; more than maxSize bytes (unless -1) fail.
    static bool copyFileToFd(const std::string& path, int fd, int64_t maxSize = -1);

    static DeviceIdentity& deviceIdentity();
    // The device's default credentials (at most one entry).
    static CredentialStore& defaultCredentials();
    static const std::string& userAgent();
    static const NetworkSettings& networkSettings();
    // Body bytes that responses brought, over all fetches of the process
    // (copies of local files not counted).
    static uint64_t bytesReceived();

    // Test seam: lets the class initialisation run again.
    static void resetForTesting();

private:
    struct AddressDeleter {
        void operator()(ne_inet_addr* address) const;
    };
    using Address = std::unique_ptr<ne_inet_addr, AddressDeleter>;

    // Call points of the device identity and the default credentials.
    static void readDeviceIdentity();
    static std::string readFirmwareVersion();
    static bool setupDefaultCredentials();

    // neon's authentication callbacks (fetcher_auth.cpp): configured
    // credentials for every protocol, then the default credentials for
    // Digest only, and the proxy user for the proxy.
    static int serverAuthConfigured(void* userdata, const char* realm, int attempt, char* user,
                                    char* password);
    static int serverAuthWithDefault(void* userdata, const char* realm, int attempt, char* user,
                                     char* password);
    static int proxyAuth(void* userdata, const char* realm, int attempt, char* user,
                         char* password);
    void setupAuthentication();
    void setupProxyAuthentication();

    // TLS (fetcher_tls.cpp): what the session trusts and shows, and why a
    // request was refused over a certificate.
    enum class TlsRefusal { NONE, SERVER_CERT, CLIENT_CERT_MISSING, CLIENT_CERT_REFUSED };
    void setupTls();
    static int verifyServer(void* userdata, int failures, const ne_ssl_certificate* cert);
    static void provideClientCert(void* userdata, ne_session* session,
                                  const ne_ssl_dname* const* names, int count);
    TlsRefusal tlsRefusal(int result, int statusCode) const;
    void reportTlsRefusal() const;

    bool checkLocalNetwork();
    void clearLocalAddresses();

    // One fetch in progress (url_fetcher.cpp).
    struct Transfer;
    // One GET of the path; returns neon's result code and sets the HTTP
    // status when the result is 0.
    int request(const std::string& path, Transfer& transfer, bool bypassCache, int& httpStatus);
    static int acceptBody(void* userdata, ne_request* request, const ne_status* status);
    bool acceptResponse(ne_request* request, const ne_status* status);
    static int writeBlock(void* userdata, const char* buffer, size_t length);
    bool flushBody();
    // Session events: the socket of a new connection goes to the watchdog.
    static void forwardStatus(void* userdata, ne_session_status status,
                              const ne_session_status_info* info);
    static void connectionClosed(void* userdata);
    int connectedSocket() const;

    bool m_bValid = false;
    std::string m_sScheme;
    std::string m_sHost;
    uint32_t m_nPort = 0;
    ne_session* m_pSession = nullptr;
    std::vector<Address> m_vLocalAddrs;
    std::vector<const ne_inet_addr*> m_vAddrList;  // the session's view of m_vLocalAddrs
    CredentialStore m_credentials;
    Notifier* m_pNotifier = nullptr;
    const char* m_pRequestPath = nullptr;
    Transfer* m_pTransfer = nullptr;  // of the request in progress
    TransferWatchdog m_watchdog;
    // The descriptor neon's next socket gets and the address it connects to.
    int m_nNextSocket = -1;
    std::vector<unsigned char> m_vConnecting;
    int m_nWriteFd = -1;
    std::vector<char> m_vWriteBuffer;  // body data not yet written to m_nWriteFd
    std::string m_sRetryAfter;
    bool m_bRedirected = false;
    bool m_bBadRedirect = false;  // a redirect whose location could not be parsed
    const TlsCredentials* m_pTls = nullptr;
    int m_nCertFailures = 0;          // neon's NE_SSL_* bits of the last request
    bool m_bClientCertAsked = false;  // by the server, on this session
    bool m_bClientCertSent = false;
    TlsRefusal m_tlsRefusal = TlsRefusal::NONE;  // of the last request
};
