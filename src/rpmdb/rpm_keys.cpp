// The public keys of the RPM database (gpg-pubkey entries): they define
// which package and metadata signatures are trusted.
#include <rpm/rpmdb.h>
#include <rpm/rpmpgp.h>
#include <rpm/rpmts.h>

#include <algorithm>
#include <cstring>

#include "rpmdb/pgp_armor.h"
#include "rpmdb/pgp_packet.h"
#include "rpmdb/rpm_db.h"
#include "support/logger.h"

namespace {

constexpr const char* kPubkeyPackage = "gpg-pubkey";

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
        Header header;
        while ((header = rpmdbNextIterator(iterator.get())) != nullptr) {
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
                const char* text = rpmtdGetString(keys);
                if (text == nullptr || !decodeBase64(text, strlen(text), key)) {
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
