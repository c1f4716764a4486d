// What a repository's own https server is trusted by and what the device
// shows it: the certificate authorities of the repository's TLS settings and
// the device's client certificate with its key, read once from their PEM
// files (with OpenSSL's readers) and handed to neon's sessions of that
// server. The fetchers of other hosts get none of it.
#pragma once

#include <ne_session.h>
#include <ne_ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"

class TlsCredentials {
public:
    // Reads and checks every file the settings name, before any connection.
    // False, after one Error line naming the file and its setting, when a
    // file is missing or unreadable, holds no PEM certificate or no
    // unencrypted PEM key, or the key does not belong to the certificate. A
    // key that users other than root can read gets a warning.
    bool load(const TlsSettings& settings);
    void clear();

    // Trusts the configured authorities in the session (the system's too when
    // the settings ask for them), or the system's alone when none are set.
    void trustIn(ne_session* session) const;
    // The device's certificate; null when none is configured.
    const ne_ssl_client_cert* clientCert() const { return m_pClientCert.get(); }
    const std::string& clientCertFile() const { return m_sClientCertFile; }

private:
    struct CertFree {
        void operator()(ne_ssl_certificate* cert) const { ne_ssl_cert_free(cert); }
    };
    struct ClientCertFree {
        void operator()(ne_ssl_client_cert* cert) const { ne_ssl_clicert_free(cert); }
    };
    bool loadAuthorities(const std::string& path);
    bool loadClientCert(const std::string& certFile, const std::string& keyFile);

    std::vector<std::unique_ptr<ne_ssl_certificate, CertFree>> m_vAuthorities;
    bool m_bSystemCa = true;
    std::unique_ptr<ne_ssl_client_cert, ClientCertFree> m_pClientCert;
    std::string m_sClientCertFile;
};
