#include "rpmdb/package_identity.h"

#include <rpm/rpmio.h>
#include <rpm/rpmkeyring.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmts.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "support/logger.h"
#include "support/system.h"

namespace {

struct KeyringDeleter {
    void operator()(rpmKeyring keyring) const { rpmKeyringFree(keyring); }
};

std::string_view orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// The form every message names a package in, with the architecture.
std::string describe(const Package& package) {
    return packageToString(package) + "." + package.m_sArch.str();
}

}  // namespace

bool headerMatchesPackage(Header header, const Package& listed, const std::string& fileName) {
    Package found;
    found.m_sName = orEmpty(headerGetString(header, RPMTAG_NAME));
    // Without the tag the epoch is 0, as in the lists.
    found.m_evr.m_nEpoch = static_cast<uint32_t>(headerGetNumber(header, RPMTAG_EPOCH));
    found.m_evr.m_sVersion = orEmpty(headerGetString(header, RPMTAG_VERSION));
    found.m_evr.m_sRelease = orEmpty(headerGetString(header, RPMTAG_RELEASE));
    found.m_sArch = orEmpty(headerGetString(header, RPMTAG_ARCH));
    if (found.m_sName == listed.m_sName && found.m_evr.m_nEpoch == listed.m_evr.m_nEpoch &&
        found.m_evr.m_sVersion == listed.m_evr.m_sVersion &&
        found.m_evr.m_sRelease == listed.m_evr.m_sRelease && found.m_sArch == listed.m_sArch) {
        return true;
    }
    LOGE("failed verifying package '%s': the file holds '%s', not '%s'", fileName.c_str(),
         describe(found).c_str(), describe(listed).c_str());
    return false;
}

RpmHeaderPtr readPackageHeader(const std::string& path) {
    const std::string name = baseName(path);
    // A keyring of its own, empty: the RPM library would otherwise load the
    // database's keys, although no signature is verified here.
    RpmTsPtr ts(rpmtsCreate());
    std::unique_ptr<rpmKeyring_s, KeyringDeleter> keyring(rpmKeyringNew());
    if (!ts || !keyring) {
        LOGE("failed reading the header of package '%s'", name.c_str());
        return nullptr;
    }
    rpmtsSetKeyring(ts.get(), keyring.get());
    rpmtsSetVSFlags(ts.get(), RPMVSF_MASK_NOSIGNATURES | RPMVSF_MASK_NODIGESTS);
    RpmFdPtr fd(Fopen(path.c_str(), "r"));
    if (!fd || Ferror(fd.get())) {
        LOGE("failed opening '%s' to read its header: %s", name.c_str(),
             fd ? Fstrerror(fd.get()) : strerror(errno));
        return nullptr;
    }
    Header read = nullptr;
    const rpmRC rc = rpmReadPackageFile(ts.get(), fd.get(), name.c_str(), &read);
    RpmHeaderPtr header(read);
    if (rc != RPMRC_OK || !header) {
        LOGE("failed reading the header of package '%s'", name.c_str());
        return nullptr;
    }
    return header;
}
