#include "rpmdb/package_signature.h"

#include <rpm/rpmio.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmpgp.h>
#include <rpm/rpmts.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "rpmdb/pgp_packet.h"
#include "rpmdb/rpm_db.h"
#include "support/logger.h"
#include "support/system.h"

namespace {

struct SignatureRow {
    const char* label;
    rpmTagVal tag;
    rpmVSFlags flags;  // set while the package is read
};

const SignatureRow kSignatureRows[] = {
    {"RSA", RPMTAG_RSAHEADER, RPMVSF_NODSAHEADER},
    {"DSA", RPMTAG_DSAHEADER, RPMVSF_NORSAHEADER},
};

// Puts the transaction set's verification flags back and empties its caches
// however the check ends.
class VerifyFlagsGuard {
public:
    explicit VerifyFlagsGuard(rpmts ts) : m_ts(ts), m_previous(rpmtsSetVSFlags(ts, 0)) {}
    ~VerifyFlagsGuard() {
        rpmtsSetVSFlags(m_ts, m_previous);
        rpmtsEmpty(m_ts);
    }
    VerifyFlagsGuard(const VerifyFlagsGuard&) = delete;
    VerifyFlagsGuard& operator=(const VerifyFlagsGuard&) = delete;

private:
    rpmts m_ts;
    rpmVSFlags m_previous;
};

void dumpPackets(const RpmTagData& data, const char* label) {
    LOGT("dumping %s data to stderr", label);
    pgpDig dig = pgpNewDig();
    const uint8_t* bytes = static_cast<const uint8_t*>(data.get()->data);
    pgpPrtPkts(bytes, data.get()->count, dig, 1);
    pgpFreeDig(dig);
    dig = pgpNewDig();
    pgpPrtPkts(bytes, data.get()->count, dig, 0);
    pgpFreeDig(dig);
}

}  // namespace

bool checkHeaderSignature(RpmDB& db, Header header, rpmTagVal tag, const char* label,
                          const std::string& name, bool quiet) {
    if (headerIsEntry(header, tag) == 0) {
        return false;
    }
    RpmTagData data;
    if (!data.read(header, tag, HEADERGET_MINMEM) || data.get()->data == nullptr) {
        LOGE("failed to get %s header entry from package '%s'", label, name.c_str());
        return false;
    }
    const LogLevel level = quiet ? LogLevel::Debug : LogLevel::Info;
    if (theLogger().isEnabled(level)) {
        theLogger().log(level, "checking signature of %s", name.c_str());
        if (theLogger().isEnabled(LogLevel::Trace)) {
            dumpPackets(data, label);
        }
    }
    PGPPacketSeq packets;
    if (!packets.append(static_cast<const uint8_t*>(data.get()->data), data.get()->count)) {
        LOGE("failed extracting %s header packets from package '%s'", label, name.c_str());
        return false;
    }
    PGPSigData signature;
    if (!signature.parseFirst(packets)) {
        LOGE("failed parsing signature data from %s header from package '%s'", label, name.c_str());
        return false;
    }
    if (!signature.hasKeyId) {
        LOGE("could not find key ID from %s header from package '%s'", label, name.c_str());
        return false;
    }
    const std::string keyId = keyIdToHex(signature.keyId);
    LOGT("found v%u signature with key ID %s", static_cast<unsigned>(signature.version),
         keyId.c_str());
    if (signature.version != 4) {
        LOGE("unsupported %s signature v%u in package '%s'", label,
             static_cast<unsigned>(signature.version), name.c_str());
        return false;
    }
    if (db.isTrustedKey(signature.keyId)) {
        return true;
    }
    LOGD("%s signing key ID %s for package '%s' is not trusted", label, keyId.c_str(),
         name.c_str());
    return false;
}

bool checkPackageSignature(RpmDB& db, const std::string& path, bool quiet, RpmHeaderPtr* checked) {
    const std::string name = baseName(path);
    rpmts ts = db.transactionSet();
    if (ts == nullptr) {
        LOGE("failed verifying package '%s'", name.c_str());
        return false;
    }
    VerifyFlagsGuard guard(ts);
    RpmHeaderPtr header;
    for (const SignatureRow& row : kSignatureRows) {
        if (header) {
            if (headerIsEntry(header.get(), row.tag) == 0) {
                continue;
            }
            header.reset();
        }
        RpmFdPtr fd(Fopen(path.c_str(), "r"));
        if (!fd || Ferror(fd.get())) {
            LOGE("failed opening '%s' to check signature: %s", name.c_str(),
                 fd ? Fstrerror(fd.get()) : strerror(errno));
            return false;
        }
        rpmtsSetVSFlags(ts, row.flags);
        Header read = nullptr;
        rpmRC rc = rpmReadPackageFile(ts, fd.get(), name.c_str(), &read);
        header.reset(read);
        if (rc != RPMRC_OK) {
            LOGE("failed verifying package '%s'", name.c_str());
            return false;
        }
        if (!header) {
            LOGE("no header on package '%s'", name.c_str());
            return false;
        }
        if (checkHeaderSignature(db, header.get(), row.tag, row.label, name, quiet)) {
            if (checked != nullptr) {
                *checked = std::move(header);
            }
            return true;
        }
        fd.reset();
        rpmtsEmpty(ts);
    }
    LOGE("no acceptable signature on package '%s'", name.c_str());
    return false;
}
