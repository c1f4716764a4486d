// Server and proxy authentication of a fetcher's session: which credentials
// neon gets for which challenge.
#include <ne_auth.h>

#include "net/url_fetcher.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/system.h"

void URLFetcher::setupAuthentication() {
    if (isReadable(paths::kCredentialsFile)) {
        m_credentials.loadFile(paths::kCredentialsFile);
    }
    // neon uses, for each challenge, the first registration that covers its
    // protocol: Digest gets the default credentials after the configured
    // ones, every other protocol only the configured ones.
    ne_add_server_auth(m_pSession, NE_AUTH_DIGEST, serverAuthWithDefault, this);
    ne_add_server_auth(m_pSession, NE_AUTH_DEFAULT, serverAuthConfigured, this);
}

void URLFetcher::setupProxyAuthentication() {
    ne_add_proxy_auth(m_pSession, NE_AUTH_DEFAULT, proxyAuth, this);
}

int URLFetcher::serverAuthConfigured(void* userdata, const char* realm, int attempt, char* user,
                                     char* password) {
    auto* self = static_cast<URLFetcher*>(userdata);
    if (self == nullptr) {
        return -1;
    }
    return offerCredentials(self->m_credentials, defaultCredentials(), "user", realm, attempt,
                            self->m_pRequestPath, user, password);
}

int URLFetcher::serverAuthWithDefault(void* userdata, const char* realm, int attempt, char* user,
                                      char* password) {
    auto* self = static_cast<URLFetcher*>(userdata);
    if (self == nullptr) {
        return -1;
    }
    if (offerCredentials(self->m_credentials, defaultCredentials(), "user", realm, attempt,
                         self->m_pRequestPath, user, password) == 0) {
        return 0;
    }
    return offerCredentials(defaultCredentials(), defaultCredentials(), "default user", realm,
                            attempt, self->m_pRequestPath, user, password);
}

int URLFetcher::proxyAuth(void* userdata, const char* /*realm*/, int attempt, char* user,
                          char* password) {
    if (userdata == nullptr) {
        return -1;
    }
    const NetworkSettings& network = networkSettings();
    if (attempt == 0) {
        return fillCredentials(network.m_sProxyUser, network.m_sProxyPassword, "proxy", user,
                               password);
    }
    LOGE("proxy authentication as user '%s' failed", network.m_sProxyUser.c_str());
    return -1;
}
