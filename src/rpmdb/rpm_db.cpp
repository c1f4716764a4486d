#include "rpmdb/rpm_db.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmds.h>
#include <rpm/rpmfileutil.h>
#include <rpm/rpmio.h>
#include <rpm/rpmts.h>
#include <unistd.h>

#include <cstdlib>

#include "support/logger.h"

namespace {

// Main files of the database formats the RPM library reads (sqlite, ndb, bdb).
const char* const kDatabaseFiles[] = {"rpmdb.sqlite", "Packages.db", "Packages"};

// Even opened read-only, the RPM library creates a database that is missing,
// and an empty new database would read as "nothing installed": look first.
bool databaseExists(rpmts ts) {
    char* path = rpmGenPath(rpmtsRootDir(ts), "%{?_dbpath}", nullptr);
    std::string dir = path != nullptr ? path : "";
    free(path);
    if (!dir.empty()) {
        for (const char* file : kDatabaseFiles) {
            if (access((dir + "/" + file).c_str(), F_OK) == 0) {
                return true;
            }
        }
    }
    LOGD("no rpm database in '%s'", dir.c_str());
    return false;
}

}  // namespace

void RpmTsDeleter::operator()(rpmts ts) const {
    rpmtsFree(ts);
}
void RpmIteratorDeleter::operator()(rpmdbMatchIterator iterator) const {
    rpmdbFreeIterator(iterator);
}
void RpmHeaderDeleter::operator()(Header header) const {
    headerFree(header);
}
void RpmFdCloser::operator()(FD_t fd) const {
    Fclose(fd);
}

RpmTagData::RpmTagData() : m_td(rpmtdNew()) {}

RpmTagData::~RpmTagData() {
    rpmtdFreeData(m_td);
    rpmtdFree(m_td);
}

bool RpmTagData::read(Header header, rpmTagVal tag, headerGetFlags flags) {
    rpmtdFreeData(m_td);
    return headerGet(header, tag, m_td, flags) != 0;
}

rpm_count_t RpmTagData::count() const {
    return rpmtdCount(m_td);
}
rpmTagType RpmTagData::type() const {
    return rpmtdType(m_td);
}

namespace {
constexpr sqlite3_int64 kDatabaseCacheBytes = 512 * 1024;
}  // namespace

bool RpmDB::open(HeaderCheck check) {
    if (m_ts) {
        LOGE("attempted to reopen an opened RpmDB");
        return false;
    }
    RpmTsPtr ts(rpmtsCreate());
    if (!ts) {
        LOGE("failed opening rpm transaction");
        return false;
    }
    // The database's SQLite page cache would keep 2 MiB of pages read once
    // while the installed packages are read, on top of the package lists.
    sqlite3_soft_heap_limit64(kDatabaseCacheBytes);
    if (!databaseExists(ts.get()) || rpmtsOpenDB(ts.get(), O_RDONLY) != 0) {
        LOGE("failed opening rpm DB");
        return false;
    }
    const bool skip = check == HeaderCheck::SKIP;
    if (skip) {
        rpmtsSetVSFlags(ts.get(), RPMVSF_NOHDRCHK);
    }
    LOGD("opened rpm transaction (%schecking headers)", skip ? "NOT " : "");
    m_ts = std::move(ts);
    return true;
}

void RpmDB::close() {
    m_ts.reset();
    m_setTrustedKeyIds.clear();
    m_lKeys.clear();
    m_bKeysLoaded = false;
}

bool RpmDB::getTagString(Header header, rpmTagVal tag, std::string& out) {
    RpmTagData td;
    if (td.read(header, tag, HEADERGET_MINMEM) && td.count() == 1) {
        const char* value = rpmtdGetString(td);
        if (value != nullptr) {
            out = value;
        }
        return true;
    }
    LOGE("failed retrieving rpm tag %i as string", static_cast<int>(tag));
    return false;
}

bool RpmDB::getDependencies(Header header, rpmTagVal nameTag, DependencySet& set) {
    const char* kind;
    rpmTagVal versionTag;
    rpmTagVal flagsTag;
    switch (nameTag) {
        case RPMTAG_REQUIRENAME:
            kind = "requires";
            versionTag = RPMTAG_REQUIREVERSION;
            flagsTag = RPMTAG_REQUIREFLAGS;
            break;
        case RPMTAG_RECOMMENDNAME:
            kind = "recommends";
            versionTag = RPMTAG_RECOMMENDVERSION;
            flagsTag = RPMTAG_RECOMMENDFLAGS;
            break;
        case RPMTAG_PROVIDENAME:
            kind = "provides";
            versionTag = RPMTAG_PROVIDEVERSION;
            flagsTag = RPMTAG_PROVIDEFLAGS;
            break;
        default:
            LOGE("unrecognized dependency tag %u", static_cast<unsigned>(nameTag));
            return false;
    }

    RpmTagData names;
    RpmTagData versions;
    RpmTagData flags;
    bool hasNames = names.read(header, nameTag, HEADERGET_MINMEM);
    bool hasVersions = versions.read(header, versionTag, HEADERGET_MINMEM);
    bool hasFlags = flags.read(header, flagsTag, HEADERGET_MINMEM);
    if (!hasNames && !hasVersions && !hasFlags) {
        return true;
    }
    rpm_count_t count = hasNames ? names.count() : 0;
    LOGT("evaluating %u %s dependencies", static_cast<unsigned>(count), kind);
    if (!hasNames || names.type() != RPM_STRING_ARRAY_TYPE || !hasFlags ||
        flags.type() != RPM_INT32_TYPE || !hasVersions ||
        versions.type() != RPM_STRING_ARRAY_TYPE || flags.count() != count ||
        versions.count() != count) {
        LOGE("failed retrieving rpm dependencies");
        return false;
    }

    for (rpm_count_t i = 0; i < count; ++i) {
        int index = static_cast<int>(i);
        rpmtdSetIndex(names, index);
        rpmtdSetIndex(flags, index);
        rpmtdSetIndex(versions, index);
        const char* name = rpmtdGetString(names);
        const uint32_t* senseFlags = rpmtdGetUint32(flags);
        if (name == nullptr || senseFlags == nullptr) {
            LOGW("missing flags or name entry %u in dependency data %p %p",
                 static_cast<unsigned>(i), static_cast<const void*>(senseFlags),
                 static_cast<const void*>(name));
            continue;
        }
        if ((*senseFlags & (RPMSENSE_RPMLIB | RPMSENSE_MISSINGOK)) != 0) {
            continue;
        }
        const char* version = rpmtdGetString(versions);
        Dependency dep;
        dep.m_sName = name;
        if (version != nullptr && *version != '\0') {
            dep.m_evr = parseEvr(version);
        }
        dep.m_nFlags = *senseFlags & 0xF;
        LOGT("%u: %s %s 0x%x => %s", static_cast<unsigned>(i), name,
             version != nullptr ? version : "", *senseFlags, depToString(dep).c_str());
        set.insert(dep);
    }
    return true;
}

bool RpmDB::readPackage(Header header, Package& package) {
    std::string name;
    std::string version;
    std::string release;
    if (!getTagString(header, RPMTAG_NAME, name) ||
        !getTagString(header, RPMTAG_VERSION, version) ||
        !getTagString(header, RPMTAG_RELEASE, release)) {
        LOGE("failed while iterating on rpm DB");
        return false;
    }
    package.m_sName = name;
    package.m_nType = PackageType::RPM;
    package.m_evr.m_sVersion = version;
    package.m_evr.m_sRelease = release;
    if (headerIsEntry(header, RPMTAG_EPOCH)) {
        RpmTagData epoch;
        if (!epoch.read(header, RPMTAG_EPOCH, HEADERGET_EXT) || epoch.count() != 1 ||
            (epoch.type() != RPM_INT16_TYPE && epoch.type() != RPM_INT32_TYPE)) {
            LOGE("failed retrieving rpm tag %i as int", static_cast<int>(RPMTAG_EPOCH));
            LOGE("failed while iterating on rpm DB");
            return false;
        }
        rpmtdSetIndex(epoch, 0);
        package.m_evr.m_nEpoch = static_cast<uint32_t>(rpmtdGetNumber(epoch));
    }

    LOGT("getting dependencies for package '%s'", package.m_sName.c_str());
    if (!getDependencies(header, RPMTAG_REQUIRENAME, package.m_setRequires)) {
        LOGE("failed getting requires for package '%s'", package.m_sName.c_str());
        return false;
    }
    if (!getDependencies(header, RPMTAG_RECOMMENDNAME, package.m_setRecommends)) {
        LOGE("failed getting recommends for package '%s'", package.m_sName.c_str());
        return false;
    }
    if (!getDependencies(header, RPMTAG_PROVIDENAME, package.m_setProvides)) {
        LOGE("failed getting provides for package '%s'", package.m_sName.c_str());
        return false;
    }
    return true;
}

std::unique_ptr<PackageList> RpmDB::getInstalledPackages() {
    if (!m_ts) {
        LOGE("failed initializing rpm DB iterator");
        return nullptr;
    }
    auto packages = std::make_unique<PackageList>();
    RpmIteratorPtr iterator(rpmtsInitIterator(m_ts.get(), RPMDBI_PACKAGES, nullptr, 0));
    if (!iterator) {
        LOGE("failed initializing rpm DB iterator");
        return nullptr;
    }
    bool ok = true;
    while (Header header = rpmdbNextIterator(iterator.get())) {
        Package package;
        if (!readPackage(header, package)) {
            ok = false;
            break;
        }
        // The sets were filled once; drop their spare room.
        package.m_setRequires.shrinkToFit();
        package.m_setRecommends.shrinkToFit();
        package.m_setProvides.shrinkToFit();
        packages->insert(std::move(package));
    }
    iterator.reset();
    rpmtsEmpty(m_ts.get());
    // Interning the packages' texts compared them with the equal texts of
    // the lists read before, whose pages stay mapped in.
    string_pool::releaseTakenPages();
    if (!ok) {
        return nullptr;
    }
    return packages;
}
