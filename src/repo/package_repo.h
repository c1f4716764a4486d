// One configured repository as a source of packages: its base URI, its cache
// directory, its index (repodata/repomd.xml) and the packages of its lists.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "package/checksum_record.h"
#include "package/package.h"
#include "repo/index_record.h"
#include "repo/metadata_type.h"

class Config;
struct Repository;
class Downloader;

// One `data` element of the index.
struct RepoMdEntry {
    std::string m_sType;
    std::string m_sLocation;
    std::string m_sCacheFile;
    Checksum m_checksum;
    Checksum m_openChecksum;
    uint64_t m_nTimestamp = 0;
};

struct RepoMdEntryLess {
    bool operator()(const RepoMdEntry& a, const RepoMdEntry& b) const {
        return a.m_sType < b.m_sType;
    }
};
using RepoMdIndex = std::set<RepoMdEntry, RepoMdEntryLess>;

class PackageRepo {
public:
    PackageRepo(const Config& config, const Repository& repository);
    ~PackageRepo();
    PackageRepo(const PackageRepo&) = delete;
    PackageRepo& operator=(const PackageRepo&) = delete;

    // A text beginning with "/" becomes a file:// URI; anything else is kept.
    void setUri(const std::string& uri);
    const std::string& uri() const { return m_sUri; }
    bool isLocal() const;

    // Brings index and package lists up to date (an empty override keeps the URI).
    bool update(const std::string& overrideUri);
    // Rebuilds index and package lists from the cache alone.
    bool load();

    // Authenticates (unless metadata signatures are not checked) and parses
    // the cached index into the set.
    bool parseIndex(RepoMdIndex& index);
    // The cached copy of the entry matches its checksum or open checksum.
    bool isValidCopy(const RepoMdEntry& entry) const;

    const RepoMdIndex& index() const { return m_setIndex; }
    // Of the index last read, also one that was refused: its revision (empty
    // when it has none) and the creation time of the signature that verified
    // it (seconds since 1970; 0 when it was not verified).
    const std::string& revision() const { return m_sRevision; }
    int64_t signatureTime() const { return m_nSignatureTime; }
    const PackageList& packages() const { return m_lPackages; }
    const std::string& cacheDir() const { return m_sCacheDir; }
    const Repository& repository() const { return m_pRepository; }

    // Package list queries.
    bool hasPackages(const std::vector<std::string>& names, std::string* missing) const;
    bool hasPackage(const std::string& name, PackageType type) const;

    // Package cache: fetches and verifies package files; empties the cache
    // but for the partial downloads of packages the list still has, and
    // removes the images of lists the index no longer names.
    bool getPackages(const PackageSet& packages);
    bool cleanPackages();

    // The repository's update requirements that this system does not meet.
    DependencySet updateRequirements() const;

private:
    // Whether the index must list a package list of the type.
    enum class Presence { REQUIRED, OPTIONAL };
    // Whether a cached list is checked against its checksum before it is read.
    enum class ChecksumCheck { VERIFY, SKIP };

    bool fetchMetadata(MetadataType type, Presence presence, Downloader& downloader);
    bool fetchIndexEntry(const RepoMdEntry& entry, Downloader& downloader);
    bool loadMetadata(ChecksumCheck check, MetadataType type, Presence presence);
    bool loadAllMetadata(ChecksumCheck check);
    // The checksums an image of the entry's list is bound to, and the image's
    // place in the cache (empty when the checksum cannot name a file).
    static std::string checksumsText(const RepoMdEntry& entry);
    std::string imagePath(const RepoMdEntry& entry, MetadataType type) const;
    void removeStaleImages() const;
    const RepoMdEntry* findEntry(MetadataType type, Presence presence) const;

    // Whether the index is authenticated before it is read, and the check
    // itself (index file, detached signature file).
    bool checksIndexSignature() const;
    bool verifyIndexSignature(const std::string& indexFile, const std::string& signatureFile);
    // The verified signature's time against the record and the maximum age.
    bool checkSignatureTime(const std::string& signatureFile);
    // Records the index as accepted once the whole update or load succeeded.
    void recordIndex();
    bool parseIndexFile(RepoMdIndex& index, const std::string& indexFile,
                        const std::string& signatureFile);
    bool isValidFile(const RepoMdEntry& entry, const std::string& path) const;

    // During update, new files go to a staging name next to their place in
    // the cache and replace the cached copies only once all of them are
    // validated and parsed: a failed update leaves the cache as it was.
    std::string stage(const std::string& cacheFile);
    const std::string& currentFile(const std::string& cacheFile) const;
    bool commitStaged();
    void dropStaged();
    // Removes temporary files that an interrupted run left in the cache.
    void removeLeftovers() const;
    // A name in the package cache that belongs to the partial download of a
    // package of the list (of any package while no list is loaded).
    bool isWantedPartial(const std::string& name) const;

    const Repository& m_pRepository;
    bool m_bNoMdSigCheck;
    int32_t m_nMaxIndexAgeDays;
    std::string m_sCacheDir;
    std::string m_sPackagesDir;
    std::string m_sUri;
    RepoMdIndex m_setIndex;
    std::string m_sRevision;
    int64_t m_nSignatureTime = 0;
    std::optional<IndexRecord> m_recorded;  // of this repository and URI, as last read
    PackageList m_lPackages;
    std::vector<std::pair<std::string, std::string>> m_vStaged;  // cache file, staged file
};
