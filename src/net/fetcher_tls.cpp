// The TLS side of a fetcher's https session: the authorities it trusts, the
// client certificate it shows when the server asks for one, and why a request
// was refused over a certificate, with what to change.
#include <ne_request.h>
#include <ne_ssl.h>

#include "net/url_fetcher.h"
#include "support/logger.h"

void URLFetcher::setupTls() {
    if (m_pTls != nullptr) {
        m_pTls->trustIn(m_pSession);
    } else {
        ne_ssl_trust_default_ca(m_pSession);
    }
    ne_ssl_set_verify(m_pSession, verifyServer, this);
    ne_ssl_provide_clicert(m_pSession, provideClientCert, this);
}

// neon asks only about a certificate that failed its checks (the session's
// error text says why): noted and refused.
int URLFetcher::verifyServer(void* userdata, int failures, const ne_ssl_certificate*) {
    static_cast<URLFetcher*>(userdata)->m_nCertFailures = failures;
    return -1;
}

// The server asks for a client certificate and the session has none yet: the
// device's goes to the repository's own host, and no other.
void URLFetcher::provideClientCert(void* userdata, ne_session* session, const ne_ssl_dname* const*,
                                   int) {
    auto* self = static_cast<URLFetcher*>(userdata);
    self->m_bClientCertAsked = true;
    const ne_ssl_client_cert* cert = self->m_pTls != nullptr ? self->m_pTls->clientCert() : nullptr;
    if (cert != nullptr) {
        ne_ssl_set_clicert(session, cert);
        self->m_bClientCertSent = true;
        LOGD("presenting client certificate '%s' to %s", self->m_pTls->clientCertFile().c_str(),
             self->m_sHost.c_str());
    }
}

// A server that asked for a client certificate and does not take the one it
// got (or got none) either ends the connection before any response (which
// also happens to a connection that merely breaks) or answers 400 or 403, as
// nginx does.
URLFetcher::TlsRefusal URLFetcher::tlsRefusal(int result, int statusCode) const {
    if (m_nCertFailures != 0) {
        return TlsRefusal::SERVER_CERT;
    }
    const bool refused = result == NE_ERROR
                             ? statusCode == 0
                             : result == NE_OK && (statusCode == 400 || statusCode == 403);
    if (!m_bClientCertAsked || !refused) {
        return TlsRefusal::NONE;
    }
    return m_bClientCertSent ? TlsRefusal::CLIENT_CERT_REFUSED : TlsRefusal::CLIENT_CERT_MISSING;
}

void URLFetcher::reportTlsRefusal() const {
    const char* host = m_sHost.c_str();
    const bool ownHost = m_pTls != nullptr;
    switch (m_tlsRefusal) {
        case TlsRefusal::NONE:
            break;
        case TlsRefusal::SERVER_CERT:
            if ((m_nCertFailures & NE_SSL_UNTRUSTED) != 0 && ownHost) {
                LOGE(
                    "make sure 'ca-file' in the repository's 'tls' element names the authority "
                    "that issued the certificate of server '%s'",
                    host);
            } else if ((m_nCertFailures & NE_SSL_UNTRUSTED) != 0) {
                LOGE(
                    "server '%s' is not the repository's own host: only the system's certificate "
                    "authorities are trusted for it",
                    host);
            } else if ((m_nCertFailures & NE_SSL_IDMISMATCH) != 0) {
                LOGE(
                    "make sure server '%s' is reached by a host name its certificate was issued "
                    "for",
                    host);
            } else {
                LOGE(
                    "make sure the clock of the unit is right and server '%s' has a current "
                    "certificate",
                    host);
            }
            break;
        case TlsRefusal::CLIENT_CERT_MISSING:
            if (ownHost) {
                LOGE(
                    "server '%s' asks for a client certificate: set 'client-cert' and "
                    "'client-key' in the repository's 'tls' element",
                    host);
            } else {
                LOGE(
                    "server '%s' asks for a client certificate, which only the repository's own "
                    "host gets",
                    host);
            }
            break;
        case TlsRefusal::CLIENT_CERT_REFUSED:
            LOGE(
                "server '%s' did not accept client certificate '%s': make sure it is current and "
                "issued by an authority the server trusts",
                host, m_pTls->clientCertFile().c_str());
            break;
    }
}
