// Credentials for server authentication: the entries of the network
// credentials file that belong to one server, or the device's default
// credentials, handed out in order to neon's authentication callbacks.
#pragma once

#include <ne_uri.h>

#include <cstdint>
#include <string>
#include <vector>

struct Credential {
    std::string m_sPath;   // applies to requests below this path
    std::string m_sRealm;  // empty: any realm
    std::string m_sUser;
    std::string m_sPassword;
};

// User names and passwords handed to neon are limited to this size,
// terminator included (neon's NE_ABUFSIZ).
constexpr size_t kAuthBufferSize = 256;

class CredentialStore {
public:
    // A store for no server (the default credentials).
    CredentialStore() = default;
    // A store for the URI's scheme, host and port (the scheme's default port
    // when the URI gives none).
    explicit CredentialStore(const ne_uri& uri);

    // Adds the entries of the credentials file that are for this store's server.
    bool loadFile(const std::string& path);
    void add(const Credential& credential);
    void clear();
    void rewind();
    // The next entry for the realm whose path lies above the request path;
    // null when none is left. Moves the cursor past the entry returned.
    const Credential* nextMatch(const std::string& realm, const std::string& requestPath);

    size_t size() const { return m_lEntries.size(); }

    const std::string& scheme() const { return m_sScheme; }
    const std::string& host() const { return m_sHost; }
    uint32_t port() const { return m_nPort; }

private:
    std::string m_sScheme;
    std::string m_sHost;
    uint32_t m_nPort = 0;
    std::vector<Credential> m_lEntries;  // in the order added
    size_t m_nCursor = 0;                // index of the next entry to look at
};

// Copies the user name and password into neon's buffers (kAuthBufferSize
// bytes each). Returns 0 to try them, non-zero (after an error line) when the
// user name is empty or either text does not fit.
int fillCredentials(const std::string& user, const std::string& password, const char* label,
                    char* userBuffer, char* passwordBuffer);

// Offers the next entry of the store that fits the realm and request path
// (null path: "/"); at attempt 0 both the store and the default store are
// rewound first. Returns 0 when an entry was filled in, non-zero otherwise.
int offerCredentials(CredentialStore& store, CredentialStore& defaults, const char* label,
                     const char* realm, int attempt, const char* requestPath, char* userBuffer,
                     char* passwordBuffer);
