// The public keys of the RPM database (gpg-pubkey entries): they define
// which package and metadata signatures are trusted.
#include <openssl/evp.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmpgp.h>
#include <rpm/rpmts.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "rpmdb/pgp_packet.h"
#include "rpmdb/rpm_db.h"
#include "support/logger.h"

namespace {

constexpr const char* kPubkeyPackage = "gpg-pubkey";

struct EncodeCtxDeleter {
    void operator()(EVP_ENCODE_CTX* ctx) const { EVP_ENCODE_CTX_free(ctx); }
};
using EncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxDeleter>;

// Decodes one base64 text; false for a text too short, a decoding error or
// an empty result.
bool decodeBase64(EVP_ENCODE_CTX* ctx, const char* text, std::string& out) {
    const size_t length = text != nullptr ? strlen(text) : 0;
    if (length <= 2 || length > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    std::vector<unsigned char> buffer(length - length / 4 + 1);
    int written = 0;
    int last = 0;
    EVP_DecodeInit(ctx);
    if (EVP_DecodeUpdate(ctx, buffer.data(), &written, reinterpret_cast<const unsigned char*>(text),
                         static_cast<int>(length)) < 0 ||
        EVP_DecodeFinal(ctx, buffer.data() + written, &last) != 1) {
        return false;
    }
    const size_t total = static_cast<size_t>(written) + static_cast<size_t>(last);
    if (total == 0) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(buffer.data()), total);
    return true;
}

}  // namespace

bool RpmDB::hasPublicKeys() {
    if (!m_ts) {
        return false;
    }
    bool found = false;
    {
        RpmIteratorPtr iterator(rpmtsInitIterator(m_ts.get(), RPMTAG_NAME, kPubkeyPackage, 0));
        if (!iterator) {
            LOGT("no public keys found in rpm db");
        } else {
            Header header;
            while (!found && (header = rpmdbNextIterator(iterator.get())) != nullptr) {
                found = headerIsEntry(header, RPMTAG_PUBKEYS) != 0;
            }
        }
    }
    rpmtsEmpty(m_ts.get());
    return found;
}

const std::list<std::string>& RpmDB::loadKeys() {
    if (m_bKeysLoaded) {
        return m_lKeys;
    }
    m_bKeysLoaded = true;
    if (!m_ts) {
        LOGD("read %zu public keys from RPM DB", m_lKeys.size());
        return m_lKeys;
    }
    {
        RpmIteratorPtr iterator(rpmtsInitIterator(m_ts.get(), RPMTAG_NAME, kPubkeyPackage, 0));
        if (!iterator) {
            LOGT("no public keys found in rpm db");
            LOGD("read %zu public keys from RPM DB", m_lKeys.size());
            return m_lKeys;
        }
        EncodeCtxPtr ctx(EVP_ENCODE_CTX_new());
        if (!ctx) {
            LOGE("failed to allocate base64 decoding context");
        }
        Header header;
        while (ctx && (header = rpmdbNextIterator(iterator.get())) != nullptr) {
            if (headerIsEntry(header, RPMTAG_PUBKEYS) == 0) {
                continue;
            }
            RpmTagData keys;
            if (!keys.read(header, RPMTAG_PUBKEYS, HEADERGET_MINMEM)) {
                LOGW("failed reading public key entry");
                continue;
            }
            rpmtdInit(keys);
            while (rpmtdNext(keys) >= 0) {
                std::string key;
                if (!decodeBase64(ctx.get(), rpmtdGetString(keys), key)) {
                    LOGW("failed base64 decode of public key data");
                    continue;
                }
                m_lKeys.push_back(key);
                pgpKeyID_t id;
                if (pgpPubkeyKeyID(reinterpret_cast<const uint8_t*>(key.data()), key.size(), id) ==
                    0) {
                    PGPKeyId keyId;
                    std::copy(id, id + sizeof(id), keyId.begin());
                    m_setTrustedKeyIds.insert(keyId);
                    LOGD("added key ID %s found in RPM DB to trusted set",
                         keyIdToHex(keyId).c_str());
                } else {
                    LOGW("failed to get key ID from public key in data");
                }
            }
        }
    }
    rpmtsEmpty(m_ts.get());
    LOGD("read %zu public keys from RPM DB", m_lKeys.size());
    return m_lKeys;
}

bool RpmDB::isTrustedKey(const PGPKeyId& id) {
    if (!m_bKeysLoaded) {
        loadKeys();
    }
    return m_setTrustedKeyIds.count(id) != 0;
}
