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
#include "net/partial_download.h"
#include "net/retry_policy.h"
#include "net/transfer_progress.h"
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
    TransferWatchdog::Floor m_floor;  // the configured minimum speed
    uint64_t m_nBodyBytes = 0;        // received by every fetcher of the process
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

// What identifies the version of a resource in an If-Range: its ETag, when
// it is a strong one, else its Last-Modified date; empty when it has neither.
std::string responseValidator(ne_request* req) {
    const char* etag = ne_get_response_header(req, "ETag");
    if (etag != nullptr && etag[0] == '"') {
        return etag;
    }
    const char* modified = ne_get_response_header(req, "Last-Modified");
    return modified != nullptr ? modified : "";
}

// A decimal number that fills the text; -1 otherwise.
int64_t parseSize(const char* text, const char* end = nullptr) {
    if (text == nullptr) {
        return -1;
    }
    const char* stop = end != nullptr ? end : text + strlen(text);
    int64_t value = 0;
    if (text == stop) {
        return -1;
    }
    for (const char* p = text; p < stop; ++p) {
        if (*p < '0' || *p > '9' || value > (INT64_MAX - 9) / 10) {
            return -1;
        }
        value = value * 10 + (*p - '0');
    }
    return value;
}

// "bytes FIRST-LAST/TOTAL": the first byte and the whole size (-1 for "*"
// or anything unreadable).
void parseContentRange(const char* text, int64_t& first, int64_t& total) {
    first = total = -1;
    if (text == nullptr || strncmp(text, "bytes ", 6) != 0) {
        return;
    }
    const char* dash = strchr(text + 6, '-');
    const char* slash = dash != nullptr ? strchr(dash, '/') : nullptr;
    if (slash != nullptr) {
        first = parseSize(text + 6, dash);
        total = parseSize(slash + 1);
    }
}

// The lowest free descriptor, which POSIX gives to the next socket.
int lowestFreeDescriptor() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    }
    return fd;
}

}  // namespace

// One fetch of a path, over its attempts.
struct URLFetcher::Transfer {
    Transfer(const FetchTarget& t, const std::string& n)
        : target(t),
          name(n),
          progress(n, t.progressLevel,
                   t.partial != nullptr && t.partial->expectedSize() > 0 ? t.partial->expectedSize()
                                                                         : -1) {}
    const FetchTarget& target;
    const std::string& name;
    TransferProgress progress;
    int64_t rangeStart = 0;  // the byte of the file the body begins with
    int64_t held = 0;        // bytes of the file, those still buffered included
    bool startOver = false;  // what the file holds cannot be continued
    bool tooLong = false;    // the body goes past target.maxSize
    bool refused = false;    // the body is not read at all
    bool stalled = false;    // below the speed floor
};

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
    if (status == ne_status_connecting) {
        // neon creates the socket right after this event.
        self->m_nNextSocket = lowestFreeDescriptor();
        self->m_vConnecting.assign(16, 0);
        const size_t length = ne_iaddr_typeof(info->ci.address) == ne_iaddr_ipv4 ? 4 : 16;
        ne_iaddr_raw(info->ci.address, self->m_vConnecting.data());
        self->m_vConnecting.resize(length);
    } else if (status == ne_status_connected) {
        self->m_watchdog.setSocket(self->connectedSocket());
    }
    if (self->m_pNotifier != nullptr && self->m_pNotifier->m_bOverridden) {
        self->m_pNotifier->notify(status, info);
    }
}

// The descriptor foreseen at the connecting event, when it is indeed a
// socket connected to the address of that event; else -1 (no speed floor for
// this connection).
int URLFetcher::connectedSocket() const {
    const int fd = m_nNextSocket;
    struct stat st;
    struct sockaddr_storage peer;
    socklen_t length = sizeof(peer);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &length) != 0) {
        LOGD("no socket found for the connection to '%s'", m_sHost.c_str());
        return -1;
    }
    const void* raw = nullptr;
    if (peer.ss_family == AF_INET && m_vConnecting.size() == 4) {
        raw = &reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_addr;
    } else if (peer.ss_family == AF_INET6 && m_vConnecting.size() == 16) {
        raw = reinterpret_cast<const struct sockaddr_in6*>(&peer)->sin6_addr.s6_addr;
    }
    if (raw == nullptr || memcmp(raw, m_vConnecting.data(), m_vConnecting.size()) != 0) {
        LOGD("no socket found for the connection to '%s'", m_sHost.c_str());
        return -1;
    }
    return fd;
}

// neon runs this before it closes the socket.
void URLFetcher::connectionClosed(void* userdata) {
    static_cast<URLFetcher*>(userdata)->m_watchdog.setSocket(-1);
}

// ---------------------------------------------------------------------------
// Class state

void URLFetcher::initialize(const NetworkSettings& settings) {
    ClassState& s = state();
    if (s.m_bInitialized) {
        return;
    }
    s.m_network = settings;
    s.m_floor = {settings.m_nLowSpeedBytes, settings.m_nLowSpeedSeconds};
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

uint64_t URLFetcher::bytesReceived() {
    return state().m_nBodyBytes;
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
        ne_set_notifier(m_pSession, forwardStatus, this);
        ne_hook_close_conn(m_pSession, connectionClosed, this);
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

// Decides, once the headers are in, whether the body goes to the file. A
// partial download continues only with a 206 that starts at the byte asked
// for and carries the same validator; a 200 replaces what it held, and a 416
// or a mismatch make it start again from the beginning.
int URLFetcher::acceptBody(void* userdata, ne_request* req, const ne_status* status) {
    return static_cast<URLFetcher*>(userdata)->acceptResponse(req, status) ? 1 : 0;
}

bool URLFetcher::acceptResponse(ne_request* req, const ne_status* status) {
    Transfer& t = *m_pTransfer;
    PartialDownload* partial = t.target.partial;
    if (status->klass != 2) {
        t.startOver = t.rangeStart > 0 && status->code == 416;
    } else if (t.rangeStart > 0 && status->code == 206) {
        int64_t first;
        int64_t total;
        parseContentRange(ne_get_response_header(req, "Content-Range"), first, total);
        t.startOver = first != t.rangeStart || responseValidator(req) != partial->validator();
        t.tooLong = !t.startOver && t.target.maxSize >= 0 && total > t.target.maxSize;
        t.progress.setTotal(total);
    } else {
        if (partial != nullptr && !partial->restart(responseValidator(req))) {
            ne_set_error(m_pSession, "failed writing downloaded data to file (%s)",
                         errnoString().c_str());
            t.refused = true;
            return true;
        }
        t.startOver = false;
        if (t.rangeStart > 0) {
            LOG_AT(t.target.progressLevel, "'%s' starts again from its first byte", t.name.c_str());
        }
        t.rangeStart = t.held = 0;
        const int64_t total = parseSize(ne_get_response_header(req, "Content-Length"));
        t.progress.setTotal(total);
        t.tooLong = t.target.maxSize >= 0 && total > t.target.maxSize;
    }
    if (t.startOver) {
        LOG_AT(t.target.progressLevel, "cannot continue '%s' at byte %lld, starting again",
               t.name.c_str(), static_cast<long long>(t.rangeStart));
    }
    if (t.tooLong) {
        ne_set_error(m_pSession, "longer than %lld bytes",
                     static_cast<long long>(t.target.maxSize));
    }
    // A body that must not be read is taken and refused at its first block,
    // which drops the connection instead of reading it to its end.
    t.refused = t.refused || t.tooLong || (t.startOver && status->klass == 2);
    return status->klass == 2;
}

// neon hands the body over in blocks of a few KiB; they are gathered into
// larger writes. The last call, with length 0, writes out the rest. Nothing
// past the target's limit is written.
int URLFetcher::writeBlock(void* userdata, const char* buffer, size_t length) {
    auto* self = static_cast<URLFetcher*>(userdata);
    Transfer& t = *self->m_pTransfer;
    if (t.refused) {
        return -1;
    }
    const int64_t limit = t.target.maxSize;
    if (limit >= 0 && static_cast<int64_t>(length) > limit - t.held) {
        length = static_cast<size_t>(limit - t.held);
        t.tooLong = t.refused = true;
    }
    self->m_vWriteBuffer.insert(self->m_vWriteBuffer.end(), buffer, buffer + length);
    t.held += static_cast<int64_t>(length);
    state().m_nBodyBytes += length;
    self->m_watchdog.received(length);
    t.progress.received(length, t.held);
    if (t.tooLong) {
        self->flushBody();
        ne_set_error(self->m_pSession, "longer than %lld bytes", static_cast<long long>(limit));
        return -1;
    }
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

int URLFetcher::request(const std::string& path, Transfer& t, bool bypassCache, int& httpStatus) {
    httpStatus = 0;
    if (m_pSession == nullptr) {
        return NE_ERROR;
    }
    m_pRequestPath = path.c_str();
    m_sRetryAfter.clear();
    m_bBadRedirect = false;
    m_nCertFailures = 0;
    m_pTransfer = &t;
    m_nWriteFd = t.target.fd;
    m_vWriteBuffer.clear();
    m_vWriteBuffer.reserve(kWriteBuffer);
    t.rangeStart = t.target.partial != nullptr ? t.target.partial->resumeOffset() : 0;
    t.held = std::max<int64_t>(t.rangeStart, 0);
    t.startOver = t.tooLong = t.refused = t.stalled = false;

    const DeviceIdentity& identity = state().m_identity;
    const std::string target = encodeRequestPath(path);
    Request req(ne_request_create(m_pSession, "GET", target.c_str()));
    ne_add_response_body_reader(req.get(), acceptBody, writeBlock, this);
    if (t.rangeStart > 0) {
        LOG_AT(t.target.progressLevel, "continuing '%s' at byte %lld", t.name.c_str(),
               static_cast<long long>(t.rangeStart));
        ne_print_request_header(req.get(), "Range", "bytes=%lld-",
                                static_cast<long long>(t.rangeStart));
        ne_add_request_header(req.get(), "If-Range", t.target.partial->validator().c_str());
    }
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

    m_watchdog.start(state().m_floor);
    int result = ne_request_dispatch(req.get());
    m_watchdog.stop();
    const ne_status* status = ne_get_status(req.get());
    m_tlsRefusal = tlsRefusal(result, status->code);
    // What arrived of a partial download's body stays for the next attempt.
    const bool keep = result == NE_OK || (t.target.partial != nullptr && !t.refused);
    if (keep && !m_vWriteBuffer.empty() && !flushBody()) {
        result = NE_ERROR;
    }
    if (result != NE_OK && m_watchdog.tripped()) {
        t.stalled = true;
        result = NE_TIMEOUT;
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
        ParsedUri redirectTarget;
        m_bBadRedirect = location != nullptr && !redirectTarget.parse(location);
    }
    req.reset();
    m_pRequestPath = nullptr;
    m_pTransfer = nullptr;
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
    FetchTarget target;
    target.fd = fd;
    return get(path, target, bypassCache, displayName);
}

bool URLFetcher::get(const std::string& path, const FetchTarget& target, bool bypassCache,
                     const std::string& displayName) {
    if (!m_bValid) {
        return false;
    }
    m_bRedirected = false;
    LOGT("URLFetcher::get() this = %p", static_cast<void*>(this));
    if (m_pSession == nullptr) {
        // Local files are copied whole.
        if (target.partial != nullptr && !target.partial->restart("")) {
            LOGE("failed copying file (%s)", errnoString().c_str());
            return false;
        }
        return copyFileToFd(path, target.fd, target.maxSize);
    }

    Transfer transfer(target, displayName);
    retry::Attempts attempts;
    int result;
    int status = 0;
    for (;;) {
        result = request(path, transfer, bypassCache, status);
        if (result == NE_REDIRECT || m_bBadRedirect) {
            m_bRedirected = true;
            return false;
        }
        if (transfer.stalled) {
            LOGW("received fewer than %lld bytes of '%s' in %d seconds",
                 static_cast<long long>(state().m_floor.m_nBytes), displayName.c_str(),
                 state().m_floor.m_nSeconds);
        }
        if (transfer.startOver) {
            // Asked for from the first byte, the next request cannot end so.
            if (!target.partial->restart("")) {
                LOGE("failed emptying file '%s' (%s)", target.partial->path().c_str(),
                     errnoString().c_str());
                return false;
            }
            continue;
        }
        // A refused certificate stays refused: no second attempt.
        if (transfer.tooLong || m_tlsRefusal != TlsRefusal::NONE ||
            !attempts.another(result, status)) {
            break;
        }
        LOGW("failed fetching '%s' (%s); retrying", displayName.c_str(),
             errorText(result, m_pSession).c_str());
        if (target.partial == nullptr && !emptyFile(target.fd)) {
            LOGE("failed rewinding, cannot retry");
            break;
        }
        if (!retry::waitBeforeRetry(m_sRetryAfter)) {
            LOGE("failed wait, cannot retry");
            break;
        }
    }

    if (result == NE_OK && status >= 200 && status <= 299) {
        transfer.progress.finish(transfer.held);
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

bool URLFetcher::copyFileToFd(const std::string& path, int fd, int64_t maxSize) {
    UniqueFd in(openRegularFile(path));
    if (!in) {
        return false;
    }
    char buffer[kCopyBlock];
    int64_t copied = 0;
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
        copied += got;
        if (maxSize >= 0 && copied > maxSize) {
            LOGE("failed copying file (longer than %lld bytes)", static_cast<long long>(maxSize));
            return false;
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
