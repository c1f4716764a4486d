// Network fetching: the repository downloader, bound to the base URI of one
// repository, which fetches paths relative to it into local files through one
// URLFetcher per server it meets, following redirects. The repository's TLS
// settings apply to its own host (on any port) and to no other: a redirect to
// another host is verified against the system's authorities alone and never
// gets the device's client certificate.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/partial_download.h"
#include "net/url_fetcher.h"

class Downloader {
public:
    Downloader() = default;
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Binds the downloader to a repository and reads the files of its TLS
    // settings; false when already open or a file is unusable.
    bool open(const std::string& uri, const TlsSettings& tls = TlsSettings());
    static constexpr int64_t kNoLimit = -1;
    // Fetches the path (relative to the base) into the destination, through
    // "<destination>.tmp" and a rename; the destination is untouched on
    // failure. A body longer than maxSize fails at once.
    bool download(const std::string& path, const std::string& destination, bool bypassCache,
                  int64_t maxSize = kNoLimit);
    // Fetches the path into the partial download, asking only for what it
    // does not hold yet (and for nothing past its expected size), with
    // progress lines at info. The file stays where it is: the caller checks
    // it and puts it in place.
    bool resume(const std::string& path, PartialDownload& partial, bool bypassCache);
    // Attached to every fetcher, present and future; not owned.
    void setNotifier(URLFetcher::Notifier* notifier);
    void close();
    bool isOpen() const { return !m_vFetchers.empty(); }

    // The request path of a relative path: the base path followed by it.
    void resolvePath(std::string& path) const;

    // The fetchers met so far, the repository's own first.
    size_t fetcherCount() const { return m_vFetchers.size(); }

private:
    bool fail();
    // The repository's own host, whatever the port.
    bool isOwnHost(const ne_uri& uri) const;
    // The path into the target, following redirects.
    bool fetch(const std::string& path, const FetchTarget& target, bool bypassCache);
    // The checks of a relative path before anything is requested.
    bool isAcceptable(const std::string& path) const;

    ParsedUri m_uri;
    TlsCredentials m_tls;  // outlives the fetchers, which point at it
    std::vector<std::unique_ptr<URLFetcher>> m_vFetchers;
    std::string m_sBasePath;
    URLFetcher::Notifier* m_pNotifier = nullptr;
};
