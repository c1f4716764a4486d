// Read-only access to the RPM database: the installed packages with their
// dependencies, and (for the signature checks) the imported public keys.
#pragma once

#include <rpm/header.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmtypes.h>

#include <list>
#include <memory>
#include <set>
#include <string>

#include "package/package.h"
#include "rpmdb/pgp_packet.h"

// Owners of the RPM library's handles.
struct RpmTsDeleter {
    void operator()(rpmts ts) const;
};
using RpmTsPtr = std::unique_ptr<rpmts_s, RpmTsDeleter>;

struct RpmIteratorDeleter {
    void operator()(rpmdbMatchIterator iterator) const;
};
using RpmIteratorPtr = std::unique_ptr<rpmdbMatchIterator_s, RpmIteratorDeleter>;

struct RpmHeaderDeleter {
    void operator()(Header header) const;
};
using RpmHeaderPtr = std::unique_ptr<headerToken_s, RpmHeaderDeleter>;

struct RpmFdCloser {
    void operator()(FD_t fd) const;
};
using RpmFdPtr = std::unique_ptr<struct _FD_s, RpmFdCloser>;

// A tag data container and the data it holds.
class RpmTagData {
public:
    RpmTagData();
    ~RpmTagData();
    RpmTagData(const RpmTagData&) = delete;
    RpmTagData& operator=(const RpmTagData&) = delete;

    // headerGet into this container (releasing what it held); true when found.
    bool read(Header header, rpmTagVal tag, headerGetFlags flags);
    rpmtd get() const { return m_td; }
    operator rpmtd() const { return m_td; }
    rpm_count_t count() const;
    rpmTagType type() const;

private:
    rpmtd m_td;
};

// Whether the RPM library verifies the digests of the headers it reads from
// the database. Skipping it makes reading much faster.
enum class HeaderCheck { VERIFY, SKIP };

class RpmDB {
public:
    RpmDB() = default;
    ~RpmDB() { close(); }
    RpmDB(const RpmDB&) = delete;
    RpmDB& operator=(const RpmDB&) = delete;

    // Opens the database read-only.
    bool open(HeaderCheck check);
    // Frees the transaction set and the key data.
    void close();
    bool isOpen() const { return m_ts != nullptr; }
    rpmts transactionSet() const { return m_ts.get(); }

    // Every installed package (core only, type PackageType::RPM) in name order;
    // nothing on failure, never a partial list.
    std::unique_ptr<PackageList> getInstalledPackages();

    // Adds the requires (RPMTAG_REQUIRENAME), recommends (RPMTAG_RECOMMENDNAME)
    // or provides (RPMTAG_PROVIDENAME) of a header to the set. rpmlib()
    // features and missing-ok dependencies are left out; flags keep the
    // sense bits only.
    static bool getDependencies(Header header, rpmTagVal nameTag, DependencySet& set);

    // Reads a single-valued string tag.
    static bool getTagString(Header header, rpmTagVal tag, std::string& out);

    // Trusted keys: the public keys imported as gpg-pubkey entries.
    // At least one gpg-pubkey entry holds a key.
    bool hasPublicKeys();
    // The decoded keys, in database order; read on the first call only.
    const std::list<std::string>& loadKeys();
    // The key ID belongs to one of the keys (loads them first if needed).
    bool isTrustedKey(const PGPKeyId& id);

private:
    bool readPackage(Header header, Package& package);

    RpmTsPtr m_ts;
    std::list<std::string> m_lKeys;  // decoded public keys, in reading order
    bool m_bKeysLoaded = false;
    std::set<PGPKeyId> m_setTrustedKeyIds;
};
