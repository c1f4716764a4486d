#include "net/url_fetcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ne_alloc.h>
#include <ne_redirect.h>
#include <ne_request.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "net/local_network.h"
#include "net/retry_policy.h"
#include "support/fd.h"
#include "support/logger.h"
#include "support/random.h"
#include "support/version.h"

namespace {

constexpr int kReadTimeout = 120;
constexpr int kConnectTimeout = 180;
constexpr size_t kCopyBlock = 4096;
constexpr size_t kWriteBuffer = 128 * 1024;

// Everything the fetchers share; written once by initialize.
struct ClassState {
    bool m_bInitialized = false;
    NetworkSettings m_network;
    std::string m_sUserAgent;
    URLFetcher::DeviceIdentity m_identity;
    CredentialStore m_defaultCredentials;
};

ClassState& state() {
    static ClassState s_state;
    return s_state;
}

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

bool sameText(const char* a, const std::string& b) {
    return a != nullptr && b == a;
}

struct RequestDeleter {
    void operator()(ne_request* request) const { ne_request_destroy(request); }
};
using Request = std::unique_ptr<ne_request, RequestDeleter>;

// Readies the file for another attempt, which writes the whole body again.
bool emptyFile(int fd) {
    return lseek(fd, 0, SEEK_SET) == 0 && ftruncate(fd, 0) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Request paths, ports and local files

std::string encodeRequestPath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (char c : path) {
        const unsigned char u = static_cast<unsigned char>(c);
        // Everything a request target may hold as it is stays (a '%' too, so
        // that paths already encoded, as in redirect targets, keep their
        // meaning); a '#' would end the path.
        if (u > 0x20 && u < 0x7f && std::strchr("\"#<>\\^`{|}", c) == nullptr) {
            encoded.push_back(c);
        } else {
            encoded.push_back('%');
            encoded.push_back(kHex[u >> 4]);
            encoded.push_back(kHex[u & 0x0f]);
        }
    }
    return encoded;
}

bool hasValidPort(const std::string& uri) {
    size_t start = uri.find("://");
    if (start == std::string::npos) {
        return true;
    }
    start += 3;
    const size_t end = std::min(uri.find_first_of("/?#", start), uri.size());
    std::string authority = uri.substr(start, end - start);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        authority.erase(0, at + 1);
    }
    size_t colon;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            return true;  // left to the URI parser
        }
        colon = authority.find(':', close);
    } else {
        colon = authority.find(':');
    }
    if (colon == std::string::npos) {
        return true;
    }
    const std::string port = authority.substr(colon + 1);
    if (port.empty()) {
        return true;  // the scheme's default port
    }
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long value = std::strtol(port.c_str(), nullptr, 10);
    return value >= 1 && value <= 65535;
}

int openRegularFile(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever.
    UniqueFd in(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in) {
        LOGE("failed copying file (%s)", errnoString().c_str());
        return -1;
    }
    struct stat st;
    if (fstat(in.get(), &st) != 0) {
        LOGE("failed copying file (%s)", errnoString().c_str());
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        LOGE("refusing to copy '%s': not a regular file", path.c_str());
        return -1;
    }
    const int flags = fcntl(in.get(), F_GETFL);
    if (flags < 0 || fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        LOGE("failed copying file (%s)", errnoString().c_str());
        return -1;
    }
    return in.release();
}

// ---------------------------------------------------------------------------
// ParsedUri

ParsedUri::ParsedUri() {
    memset(&m_uri, 0, sizeof(m_uri));
}

ParsedUri::~ParsedUri() {
    ne_uri_free(&m_uri);
}

bool ParsedUri::parse(const std::string& text) {
    reset();
    if (ne_uri_parse(text.c_str(), &m_uri) != 0) {
        reset();
        return false;
    }
    if (!hasValidPort(text)) {
        LOGE("invalid port in URI '%s'", text.c_str());
        reset();
        return false;
    }
    return true;
}

void ParsedUri::reset() {
    ne_uri_free(&m_uri);
    memset(&m_uri, 0, sizeof(m_uri));
}

std::string ParsedUri::toString(const ne_uri& uri) {
    char* text = ne_uri_unparse(&uri);
    std::string result = orEmpty(text);
    ne_free(text);
    return result;
}

// ---------------------------------------------------------------------------
// Notifier

URLFetcher::Notifier::~Notifier() = default;

void URLFetcher::Notifier::notify(ne_session_status, const ne_session_status_info*) {
    // Not overridden: further events are not delivered at all.
    m_bOverridden = false;
}

void URLFetcher::forwardStatus(void* userdata, ne_session_status status,
                               const ne_session_status_info* info) {
    auto* self = static_cast<URLFetcher*>(userdata);
    if (self->m_pNotifier != nullptr && self->m_pNotifier->m_bOverridden) {
        self->m_pNotifier->notify(status, info);
    }
}

// ---------------------------------------------------------------------------
// Class state

void URLFetcher::initialize(const NetworkSettings& settings) {
    ClassState& s = state();
    if (s.m_bInitialized) {
        return;
    }
    s.m_network = settings;
    s.m_bInitialized = true;

    // Without random data the retry waits get their spread from state 1.
    seedRandom();

    readDeviceIdentity();

    s.m_sUserAgent = s.m_network.m_sUserAgentBase + "/" UPDATER_VERSION;
    if (!s.m_network.m_sUserAgentProdname.empty()) {
        s.m_sUserAgent += " (" + s.m_network.m_sUserAgentProdname + ")";
    }

    s.m_identity.m_sFirmwareVersion = readFirmwareVersion();
    if (s.m_identity.m_sFirmwareVersion.empty()) {
        LOGW("cannot read current firmware version");
    }

    if (!setupDefaultCredentials()) {
        LOGW("cannot recover default authentication credentials");
    }
}

// Serial number, hardware revision and type from the hardware.
void URLFetcher::readDeviceIdentity() {
    device::readHardwareInfo(state().m_identity);
}

// The firmware version of the running system: its os-release VERSION_ID.
std::string URLFetcher::readFirmwareVersion() {
    return device::firmwareVersion();
}

// The device's default credentials for Digest authentication.
bool URLFetcher::setupDefaultCredentials() {
    ClassState& s = state();
    return device::setupDefaultCredentials(s.m_identity, s.m_network.m_sUserAgentProdname,
                                           s.m_defaultCredentials);
}

CredentialStore& URLFetcher::defaultCredentials() {
    return state().m_defaultCredentials;
}

const NetworkSettings& URLFetcher::networkSettings() {
    return state().m_network;
}

URLFetcher::DeviceIdentity& URLFetcher::deviceIdentity() {
    return state().m_identity;
}

const std::string& URLFetcher::userAgent() {
    return state().m_sUserAgent;
}

void URLFetcher::resetForTesting() {
    state() = ClassState();
}

// ---------------------------------------------------------------------------
// Construction

void URLFetcher::AddressDeleter::operator()(ne_inet_addr* address) const {
    ne_iaddr_free(address);
}

URLFetcher::URLFetcher(const ne_uri& uri, const TlsCredentials* tls)
    : m_credentials(uri), m_pTls(tls) {
    const ClassState& s = state();
    if (!s.m_bInitialized) {
        LOGE("URLFetcher class not initialized before calling constructor");
        return;
    }
    if (uri.host == nullptr || uri.scheme == nullptr) {
        LOGE("URI missing host or scheme, cannot build fetcher");
        return;
    }
    m_sScheme = uri.scheme;
    m_sHost = uri.host;
    m_nPort = uri.port;

    if (m_sScheme == "file") {
        if (!m_sHost.empty() && m_sHost != "localhost") {
            LOGE("only local file: URIs supported");
            return;
        }
    } else {
        if (m_nPort == 0) {
            m_nPort = ne_uri_defaultport(m_sScheme.c_str());
            if (m_nPort == 0) {
                LOGE("scheme '%s' not supported", m_sScheme.c_str());
                return;
            }
        }
        m_pSession = ne_session_create(m_sScheme.c_str(), m_sHost.c_str(), m_nPort);
        if (m_pSession == nullptr) {
            LOGE("could not open session for scheme '%s', host '%s', port %u", m_sScheme.c_str(),
                 m_sHost.c_str(), m_nPort);
            return;
        }
        if (m_sScheme == "https") {
            setupTls();
        }
        setupAuthentication();

        if (s.m_network.m_sProxyServer.empty()) {
            LOGD("no proxy configured");
        } else {
            if (s.m_network.m_bProxyBypassLocal && !checkLocalNetwork()) {
                LOGW("could not check if addresses for host '%s' are in local net, using proxy",
                     m_sHost.c_str());
            }
            if (m_vLocalAddrs.empty()) {
                ne_session_proxy(m_pSession, s.m_network.m_sProxyServer.c_str(),
                                 s.m_network.m_nProxyPort);
                setupProxyAuthentication();
                LOGD("using proxy for %s", m_sHost.c_str());
            } else {
                LOGD("bypassing proxy since %s is local", m_sHost.c_str());
            }
        }

        ne_set_useragent(m_pSession, s.m_sUserAgent.c_str());
        ne_redirect_register(m_pSession);
        ne_set_read_timeout(m_pSession, kReadTimeout);
        ne_set_connect_timeout(m_pSession, kConnectTimeout);
    }
    m_bValid = true;
    LOGD("URI fetcher %p for scheme '%s', host '%s', port %u created", static_cast<void*>(this),
         m_sScheme.c_str(), m_sHost.c_str(), m_nPort);
}

URLFetcher::~URLFetcher() {
    if (m_pSession != nullptr) {
        LOGD("destroying session for %s://%s:%u", m_sScheme.c_str(), m_sHost.c_str(), m_nPort);
        ne_session_destroy(m_pSession);
        m_pSession = nullptr;
    }
    // The session pointed at these addresses; they go after it.
    m_vAddrList.clear();
    m_vLocalAddrs.clear();
}

void URLFetcher::clearLocalAddresses() {
    if (!m_vAddrList.empty() && m_pSession != nullptr) {
        ne_set_addrlist(m_pSession, nullptr, 0);
    }
    m_vAddrList.clear();
    m_vLocalAddrs.clear();
}

// Collects the host's addresses that lie in a directly attached network; the
// session then connects to those directly instead of through the proxy.
bool URLFetcher::checkLocalNetwork() {
    clearLocalAddresses();
    std::vector<struct sockaddr_storage> local;
    if (!findLocalAddresses(m_sHost, local)) {
        return false;
    }
    for (const struct sockaddr_storage& found : local) {
        ne_inet_addr* address;
        if (found.ss_family == AF_INET) {
            const auto* in = reinterpret_cast<const struct sockaddr_in*>(&found);
            address =
                ne_iaddr_make(ne_iaddr_ipv4, reinterpret_cast<const unsigned char*>(&in->sin_addr));
        } else {
            const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(&found);
            address = ne_iaddr_make(ne_iaddr_ipv6, in6->sin6_addr.s6_addr);
        }
        if (address != nullptr) {
            m_vLocalAddrs.emplace_back(address);
        }
    }
    if (!m_vLocalAddrs.empty()) {
        for (const Address& address : m_vLocalAddrs) {
            m_vAddrList.push_back(address.get());
        }
        ne_set_addrlist(m_pSession, m_vAddrList.data(), m_vAddrList.size());
    }
    return true;
}

bool URLFetcher::matches(const ne_uri& uri) const {
    if (!sameText(uri.scheme, m_sScheme) || !sameText(uri.host, m_sHost)) {
        return false;
    }
    unsigned int port = uri.port != 0 ? uri.port : ne_uri_defaultport(uri.scheme);
    return port == m_nPort;
}

// ---------------------------------------------------------------------------
// Requests

// neon hands the body over in blocks of a few KiB; they are gathered into
// larger writes. The last call, with length 0, writes out the rest.
int URLFetcher::writeBlock(void* userdata, const char* buffer, size_t length) {
    auto* self = static_cast<URLFetcher*>(userdata);
    self->m_vWriteBuffer.insert(self->m_vWriteBuffer.end(), buffer, buffer + length);
    if (length == 0 || self->m_vWriteBuffer.size() >= kWriteBuffer) {
        return self->flushBody() ? 0 : -1;
    }
    return 0;
}

bool URLFetcher::flushBody() {
    const char* next = m_vWriteBuffer.data();
    size_t left = m_vWriteBuffer.size();
    while (left > 0) {
        ssize_t written = write(m_nWriteFd, next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            ne_set_error(m_pSession, "failed writing downloaded data to file (%s)",
                         errnoString().c_str());
            m_vWriteBuffer.clear();
            return false;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
    m_vWriteBuffer.clear();
    return true;
}

int URLFetcher::request(const std::string& path, int fd, bool bypassCache, int& httpStatus) {
    httpStatus = 0;
    if (m_pSession == nullptr) {
        return NE_ERROR;
    }
    m_pRequestPath = path.c_str();
    m_sRetryAfter.clear();
    m_bBadRedirect = false;
    m_nCertFailures = 0;
    m_nWriteFd = fd;
    m_vWriteBuffer.clear();
    m_vWriteBuffer.reserve(kWriteBuffer);

    const DeviceIdentity& identity = state().m_identity;
    const std::string target = encodeRequestPath(path);
    Request req(ne_request_create(m_pSession, "GET", target.c_str()));
    ne_add_response_body_reader(req.get(), ne_accept_2xx, writeBlock, this);
    if (bypassCache) {
        ne_add_request_header(req.get(), "Cache-Control", "no-cache");
        ne_add_request_header(req.get(), "Pragma", "no-cache");
    }
    if (!identity.m_sSerial.empty()) {
        ne_add_request_header(req.get(), "X-vantorix-serial", identity.m_sSerial.c_str());
    }
    if (!identity.m_sFirmwareVersion.empty()) {
        ne_add_request_header(req.get(), "X-vantorix-firmware",
                              identity.m_sFirmwareVersion.c_str());
    }

    int result = ne_request_dispatch(req.get());
    const ne_status* status = ne_get_status(req.get());
    m_tlsRefusal = tlsRefusal(result, status->code);
    if (result == NE_OK && !m_vWriteBuffer.empty() && !flushBody()) {
        result = NE_ERROR;
    }
    if (result == NE_OK) {
        httpStatus = status->code;
        const char* retryAfter = ne_get_response_header(req.get(), "Retry-After");
        if (retryAfter != nullptr) {
            m_sRetryAfter = retryAfter;
        }
    } else if (result == NE_ERROR && status->klass == 3) {
        // neon fails a redirect whose location it cannot parse; that is a
        // redirect without a usable target, not a transient failure.
        const char* location = ne_get_response_header(req.get(), "Location");
        ParsedUri target;
        m_bBadRedirect = location != nullptr && !target.parse(location);
    }
    req.reset();
    m_pRequestPath = nullptr;
    m_nWriteFd = -1;
    m_vWriteBuffer.clear();
    return result;
}

const ne_uri* URLFetcher::redirectLocation() const {
    if (m_pSession == nullptr || !m_bRedirected || m_bBadRedirect) {
        return nullptr;
    }
    const ne_uri* target = ne_redirect_location(m_pSession);
    // A port beyond the range would wrap around to another one.
    return target != nullptr && target->port <= 65535 ? target : nullptr;
}

void URLFetcher::closeConnection() {
    if (m_pSession != nullptr) {
        ne_close_connection(m_pSession);
    }
}

void URLFetcher::setNotifier(Notifier* notifier) {
    m_pNotifier = notifier;
    if (m_pSession == nullptr) {
        return;
    }
    if (notifier != nullptr) {
        ne_set_notifier(m_pSession, forwardStatus, this);
    } else {
        ne_set_notifier(m_pSession, nullptr, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Retries

std::string URLFetcher::errorText(int code, ne_session* session) {
    switch (code) {
        case NE_OK:
            return session != nullptr ? ne_get_error(session) : "no error";
        case NE_ERROR:
            return session != nullptr ? ne_get_error(session) : "generic error";
        case NE_LOOKUP:
            return "server or proxy hostname lookup failed";
        case NE_AUTH:
            return "authentication failed on server";
        case NE_PROXYAUTH:
            return "authentication failed on proxy";
        case NE_CONNECT:
            return "could not connect to server";
        case NE_TIMEOUT:
            return "connection timed out";
        case NE_FAILED:
            return "the precondition failed";
        case NE_RETRY:
            return "retry the request";
        case NE_REDIRECT:
            return "received server redirect";
        default:
            return "<unknown error code>";
    }
}

bool URLFetcher::get(const std::string& path, int fd, bool bypassCache,
                     const std::string& displayName) {
    if (!m_bValid) {
        return false;
    }
    m_bRedirected = false;
    LOGT("URLFetcher::get() this = %p", static_cast<void*>(this));
    if (m_pSession == nullptr) {
        return copyFileToFd(path, fd);
    }

    retry::Attempts attempts;
    int result;
    int status = 0;
    for (;;) {
        result = request(path, fd, bypassCache, status);
        if (result == NE_REDIRECT || m_bBadRedirect) {
            m_bRedirected = true;
            return false;
        }
        // A refused certificate stays refused: no second attempt.
        if (m_tlsRefusal != TlsRefusal::NONE || !attempts.another(result, status)) {
            break;
        }
        LOGW("failed fetching '%s' (%s); retrying", displayName.c_str(),
             errorText(result, m_pSession).c_str());
        if (!emptyFile(fd)) {
            LOGE("failed rewinding, cannot retry");
            break;
        }
        if (!retry::waitBeforeRetry(m_sRetryAfter)) {
            LOGE("failed wait, cannot retry");
            break;
        }
    }

    if (result == NE_OK && status >= 200 && status <= 299) {
        if (attempts.retries() != 0) {
            LOGI("fetched '%s' in retry %i", displayName.c_str(), attempts.retries());
        }
        return true;
    }
    LOGE("failed fetching '%s' (%s)", displayName.c_str(), errorText(result, m_pSession).c_str());
    if (result == NE_LOOKUP) {
        LOGE(
            "make sure that a network gateway and DNS servers are configured\n"
            "and that the unit is connected to the network");
    } else if (result == NE_PROXYAUTH) {
        LOGE("make sure the proper username and password are configured in the proxy settings");
    }
    reportTlsRefusal();
    return false;
}

bool URLFetcher::copyFileToFd(const std::string& path, int fd) {
    UniqueFd in(openRegularFile(path));
    if (!in) {
        return false;
    }
    char buffer[kCopyBlock];
    for (;;) {
        ssize_t got = read(in.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            LOGE("failed copying file (%s)", errnoString().c_str());
            return false;
        }
        if (got == 0) {
            return true;
        }
        const char* next = buffer;
        size_t left = static_cast<size_t>(got);
        while (left > 0) {
            ssize_t written = write(fd, next, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                if (written == 0) {
                    errno = EIO;
                }
                LOGE("failed copying file (%s)", errnoString().c_str());
                return false;
            }
            next += written;
            left -= static_cast<size_t>(written);
        }
    }
}
