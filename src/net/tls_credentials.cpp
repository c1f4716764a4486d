#include "net/tls_credentials.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "support/fd.h"
#include "support/logger.h"

namespace {

// PEM files are small; anything beyond this is not one.
constexpr size_t kMaxPemFile = 1024 * 1024;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct Pkcs12Free {
    void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// A file named by a setting, for the messages.
struct PemFile {
    const char* what;
    const char* setting;
    const std::string& path;
};

// The whole file, read without blocking on a FIFO, and its status when
// asked for; false after the Error line.
bool readPemFile(const PemFile& file, std::string& content, struct stat* st = nullptr) {
    UniqueFd fd(open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    bool ok = fd && (st == nullptr || fstat(fd.get(), st) == 0);
    char buffer[4096];
    while (ok) {
        const ssize_t got = read(fd.get(), buffer, sizeof(buffer));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            ok = errno == EINTR;
        } else if (content.size() + static_cast<size_t>(got) > kMaxPemFile) {
            errno = EFBIG;
            ok = false;
        } else {
            content.append(buffer, static_cast<size_t>(got));
        }
    }
    OPENSSL_cleanse(buffer, sizeof(buffer));
    if (!ok) {
        LOGE("cannot read %s '%s' set by '%s' (%s)", file.what, file.path.c_str(), file.setting,
             errnoString().c_str());
    }
    return ok;
}

// The text may hold secrets: wiped before it goes.
struct WipedText {
    std::string text;
    ~WipedText() { OPENSSL_cleanse(&text[0], text.size()); }
};

std::unique_ptr<BIO, BioFree> memoryBio(const std::string& text) {
    return std::unique_ptr<BIO, BioFree>(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// True when the PEM reader stopped because no further block starts: the
// text held nothing damaged.
bool endedCleanly() {
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    return error == 0 ||
           (ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE);
}

// neon takes certificates as base64 DER text.
ne_ssl_certificate* toNeon(X509* cert) {
    const int length = i2d_X509(cert, nullptr);
    if (length <= 0) {
        return nullptr;
    }
    std::vector<unsigned char> der(static_cast<size_t>(length));
    unsigned char* end = der.data();
    i2d_X509(cert, &end);
    std::vector<unsigned char> base64(4 * ((der.size() + 2) / 3) + 1);
    EVP_EncodeBlock(base64.data(), der.data(), length);
    return ne_ssl_cert_import(reinterpret_cast<const char*>(base64.data()));
}

// neon takes client certificates as PKCS#12 only: an unencrypted one made
// in memory and wiped after use.
ne_ssl_client_cert* toNeon(X509* cert, EVP_PKEY* key) {
    std::unique_ptr<PKCS12, Pkcs12Free> p12(
        PKCS12_create(nullptr, nullptr, key, cert, nullptr, -1, -1, 0, -1, 0));
    unsigned char* der = nullptr;
    const int length = p12 ? i2d_PKCS12(p12.get(), &der) : 0;
    if (length <= 0) {
        return nullptr;
    }
    ne_ssl_client_cert* result = ne_ssl_clicert_import(der, static_cast<size_t>(length));
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    if (result != nullptr && ne_ssl_clicert_encrypted(result) != 0) {
        ne_ssl_clicert_free(result);
        return nullptr;
    }
    return result;
}

// A key is never asked a password for: it must be stored unencrypted.
int refusePassword(char*, int, int, void*) {
    return -1;
}

}  // namespace

void TlsCredentials::clear() {
    m_vAuthorities.clear();
    m_bSystemCa = true;
    m_pClientCert.reset();
    m_sClientCertFile.clear();
}

bool TlsCredentials::load(const TlsSettings& settings) {
    clear();
    if (!settings.m_sCaFile.empty()) {
        if (!loadAuthorities(settings.m_sCaFile)) {
            return false;
        }
        m_bSystemCa = settings.m_bSystemCa;
    }
    if (!settings.m_sClientCert.empty() &&
        !loadClientCert(settings.m_sClientCert, settings.m_sClientKey)) {
        clear();
        return false;
    }
    return true;
}

bool TlsCredentials::loadAuthorities(const std::string& path) {
    const PemFile file{"CA certificate file", "ca-file", path};
    std::string pem;
    if (!readPemFile(file, pem)) {
        return false;
    }
    auto bio = memoryBio(pem);
    ERR_clear_error();
    bool taken = true;
    while (X509Ptr cert{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)}) {
        ne_ssl_certificate* authority = toNeon(cert.get());
        taken = authority != nullptr;
        if (!taken) {
            break;
        }
        m_vAuthorities.emplace_back(authority);
    }
    if (!endedCleanly() || !taken || m_vAuthorities.empty()) {
        LOGE("%s '%s' set by '%s' is not a valid PEM certificate file", file.what, path.c_str(),
             file.setting);
        m_vAuthorities.clear();
        return false;
    }
    LOGD("trusting %zu certificate authorities from '%s'", m_vAuthorities.size(), path.c_str());
    return true;
}

bool TlsCredentials::loadClientCert(const std::string& certFile, const std::string& keyFile) {
    const PemFile certPem{"client certificate file", "client-cert", certFile};
    const PemFile keyPem{"client key file", "client-key", keyFile};
    std::string pem;
    WipedText keyText;
    struct stat keyStat;
    if (!readPemFile(certPem, pem) || !readPemFile(keyPem, keyText.text, &keyStat)) {
        return false;
    }
    ERR_clear_error();
    X509Ptr cert(PEM_read_bio_X509(memoryBio(pem).get(), nullptr, nullptr, nullptr));
    if (!cert) {
        ERR_clear_error();
        LOGE("%s '%s' set by '%s' is not a valid PEM certificate file", certPem.what,
             certFile.c_str(), certPem.setting);
        return false;
    }
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        PEM_read_bio_PrivateKey(memoryBio(keyText.text).get(), nullptr, refusePassword, nullptr));
    ERR_clear_error();
    if (!key) {
        LOGE("%s '%s' set by '%s' is not an unencrypted PEM private key", keyPem.what,
             keyFile.c_str(), keyPem.setting);
        return false;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        LOGE("client key file '%s' does not match client certificate file '%s'", keyFile.c_str(),
             certFile.c_str());
        return false;
    }
    // Read at every contact with the repository; said once.
    static std::set<std::string> s_warned;
    if ((keyStat.st_uid != 0 || (keyStat.st_mode & (S_IRGRP | S_IROTH)) != 0) &&
        s_warned.insert(keyFile).second) {
        LOGW(
            "client key file '%s' can be read by users other than root; make it owned by root "
            "with mode 0600",
            keyFile.c_str());
    }
    m_pClientCert.reset(toNeon(cert.get(), key.get()));
    ERR_clear_error();
    if (!m_pClientCert) {
        LOGE("cannot use client certificate file '%s' with its key", certFile.c_str());
        return false;
    }
    m_sClientCertFile = certFile;
    LOGD("client certificate '%s' ready for the repository's server", certFile.c_str());
    return true;
}

void TlsCredentials::trustIn(ne_session* session) const {
    for (const auto& authority : m_vAuthorities) {
        ne_ssl_trust_cert(session, authority.get());
    }
    if (m_vAuthorities.empty() || m_bSystemCa) {
        ne_ssl_trust_default_ca(session);
    }
}
