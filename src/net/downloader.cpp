#include "net/downloader.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/fd.h"
#include "support/logger.h"

namespace {

constexpr int kMaxRedirects = 5;

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// A relative path with a ".." component could reach files outside the
// repository (on local storage, any file of the system).
bool hasControlCharacters(const std::string& path) {
    for (char c : path) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            return true;
        }
    }
    return false;
}

// Creates the temporary file afresh: never through a symbolic link or into a
// file planted under that name. A leftover of an earlier run is removed (the
// name, not what a link points to) and creation tried once more.
int createTemporaryFile(const std::string& path) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), kFlags, 0666);
    if (fd < 0 && errno == EEXIST && unlink(path.c_str()) == 0) {
        fd = ::open(path.c_str(), kFlags, 0666);
    }
    return fd;
}

bool leavesBase(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

Downloader::~Downloader() {
    close();
}

bool Downloader::fail() {
    m_vFetchers.clear();
    m_tls.clear();
    m_uri.reset();
    return false;
}

bool Downloader::isOwnHost(const ne_uri& uri) const {
    const char* own = m_uri.get().host;
    return uri.host != nullptr && own != nullptr && strcmp(uri.host, own) == 0;
}

bool Downloader::open(const std::string& uri, const TlsSettings& tls) {
    if (!m_vFetchers.empty()) {
        return false;
    }
    if (!m_uri.parse(uri)) {
        LOGE("failed parsing repository URI '%s'", uri.c_str());
        return fail();
    }
    const ne_uri& parsed = m_uri.get();
    if (parsed.scheme == nullptr || parsed.host == nullptr || parsed.path == nullptr) {
        LOGE("repository URI '%s' missing host, path or scheme", uri.c_str());
        return fail();
    }
    LOGD("opening repo downloader with URI scheme, host, port, path = '%s' '%s' %u '%s'",
         parsed.scheme, parsed.host, parsed.port, parsed.path);

    if (!m_tls.load(tls)) {
        return fail();
    }
    m_vFetchers.push_back(std::make_unique<URLFetcher>(parsed, &m_tls));
    URLFetcher& fetcher = *m_vFetchers.back();
    if (!fetcher.isValid()) {
        LOGE("cannot create fetcher for '%s'", uri.c_str());
        return fail();
    }
    if (m_pNotifier != nullptr && fetcher.hasSession()) {
        fetcher.setNotifier(m_pNotifier);
    }
    m_sBasePath = parsed.path;
    if (m_sBasePath.empty() || m_sBasePath.back() != '/') {
        m_sBasePath += '/';
    }
    LOGD("opened repo downloader with base URI '%s'", uri.c_str());
    return true;
}

void Downloader::close() {
    m_sBasePath.clear();
    m_vFetchers.clear();
    m_tls.clear();
    m_uri.reset();
    m_pNotifier = nullptr;
}

void Downloader::setNotifier(URLFetcher::Notifier* notifier) {
    m_pNotifier = notifier;
    for (const auto& fetcher : m_vFetchers) {
        fetcher->setNotifier(notifier);
    }
}

void Downloader::resolvePath(std::string& path) const {
    std::string resolved = m_sBasePath + path;
    LOGD("resolved URI path '%s' on '%s' to '%s'", path.c_str(), m_sBasePath.c_str(),
         resolved.c_str());
    path.swap(resolved);
}

bool Downloader::isAcceptable(const std::string& path) const {
    if (m_vFetchers.empty()) {
        LOGE("repository downloader not open, cannot download '%s'", path.c_str());
        return false;
    }
    if (leavesBase(path)) {
        LOGE("refusing path '%s' outside the repository", path.c_str());
        return false;
    }
    if (hasControlCharacters(path)) {
        LOGE("refusing path '%s' with control characters", path.c_str());
        return false;
    }
    return true;
}

bool Downloader::download(const std::string& path, const std::string& destination, bool bypassCache,
                          int64_t maxSize) {
    if (!isAcceptable(path)) {
        return false;
    }
    const std::string temporary = destination + ".tmp";
    LOGD("downloading path '%s' to '%s'", path.c_str(), destination.c_str());
    UniqueFd file(createTemporaryFile(temporary));
    if (!file) {
        LOGE("failed creating file '%s' (%s)", temporary.c_str(), errnoString().c_str());
        return false;
    }
    FetchTarget target;
    target.fd = file.get();
    target.maxSize = maxSize;
    bool ok = fetch(path, target, bypassCache);
    if (ok) {
        if (file.close() != 0) {
            LOGE("failed closing file '%s' (%s)", temporary.c_str(), errnoString().c_str());
            ok = false;
        } else if (rename(temporary.c_str(), destination.c_str()) != 0) {
            LOGE("failed renaming '%s' to '%s' (%s)", temporary.c_str(), destination.c_str(),
                 errnoString().c_str());
            ok = false;
        }
    }
    if (!ok) {
        file.reset();
        unlink(temporary.c_str());
        return false;
    }
    LOGD("successfully downloaded path '%s' to '%s'", path.c_str(), destination.c_str());
    return true;
}

bool Downloader::resume(const std::string& path, PartialDownload& partial, bool bypassCache) {
    if (!isAcceptable(path)) {
        return false;
    }
    LOGD("downloading path '%s' to '%s'", path.c_str(), partial.path().c_str());
    FetchTarget target;
    target.fd = partial.fd();
    target.maxSize = partial.expectedSize() > 0 ? partial.expectedSize() : kNoLimit;
    target.partial = &partial;
    target.progressLevel = LogLevel::Info;
    return fetch(path, target, bypassCache);
}

// A connection to another server than the repository's is not kept.
bool Downloader::fetch(const std::string& path, const FetchTarget& target, bool bypassCache) {
    std::string requestPath = path;
    resolvePath(requestPath);
    int redirectsLeft = kMaxRedirects;
    URLFetcher* current = m_vFetchers.front().get();
    for (;;) {
        if (current->get(requestPath, target, bypassCache, path)) {
            if (current != m_vFetchers.front().get()) {
                current->closeConnection();
            }
            return true;
        }
        if (!current->wasRedirected()) {
            return false;
        }
        if (redirectsLeft == 0) {
            LOGE("maximum number of redirects (%i) exceeded", kMaxRedirects);
            return false;
        }
        --redirectsLeft;
        const ne_uri* redirect = current->redirectLocation();
        if (redirect == nullptr) {
            LOGE("got redirect with unparseable location");
            return false;
        }
        LOGD("'%s' redirected to '%s://%s:%u%s", path.c_str(), orEmpty(redirect->scheme),
             orEmpty(redirect->host), redirect->port, orEmpty(redirect->path));
        // The target belongs to the current fetcher's session: take what is
        // needed before anything else happens to it.
        // A server on the network must not get local files copied into the cache.
        if (redirect->scheme != nullptr && strcmp(redirect->scheme, "file") == 0) {
            LOGE("refusing redirection to local file '%s'", ParsedUri::toString(*redirect).c_str());
            return false;
        }
        // What went out over TLS (the identity headers too) stays off plain text.
        if (current->scheme() == "https" && redirect->scheme != nullptr &&
            strcasecmp(redirect->scheme, "http") == 0) {
            LOGE("refusing redirection from https to plain http '%s'",
                 ParsedUri::toString(*redirect).c_str());
            return false;
        }
        std::string nextPath = orEmpty(redirect->path);
        if (redirect->query != nullptr) {
            nextPath += "?";
            nextPath += redirect->query;
        }

        URLFetcher* found = nullptr;
        for (const auto& fetcher : m_vFetchers) {
            if (fetcher->matches(*redirect)) {
                found = fetcher.get();
                break;
            }
        }
        if (found != current) {
            current->closeConnection();
        }
        if (found == nullptr) {
            auto created = std::make_unique<URLFetcher>(*redirect, isOwnHost(*redirect) ? &m_tls : nullptr);
            if (!created->isValid()) {
                LOGE("cannot create fetcher for redirection to '%s'",
                     ParsedUri::toString(*redirect).c_str());
                return false;
            }
            if (created->hasSession()) {
                created->setNotifier(m_pNotifier);
            }
            found = created.get();
            m_vFetchers.push_back(std::move(created));
        }
        current = found;
        requestPath = nextPath;
    }
}
