// The package cache of a repository: package files fetched and verified
// against the checksums of the package list, and the cleaning of the cache.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "net/downloader.h"
#include "repo/checksum.h"
#include "repo/item_notify.h"
#include "repo/package_repo.h"
#include "repo/verified_fetch.h"
#include "support/logger.h"
#include "support/system.h"

namespace {

bool intactInCache(const Package& package) {
    const std::string cacheFile = package.m_sCacheFile.str();
    return isReadable(cacheFile) && checkFile(package.m_checksum, cacheFile);
}

}  // namespace

bool PackageRepo::getPackages(const PackageSet& packages) {
    if (m_sUri.empty()) {
        LOGE("no repository URI set, cannot get packages");
        return false;
    }
    if (!makeDir(m_sPackagesDir)) {
        return false;
    }
    ItemNotify notify(static_cast<int>(packages.size()));
    Downloader downloader;
    if (!downloader.open(m_sUri)) {
        // Packages already intact in the cache are still accepted.
        LOGE("failed creating repository downloder from '%s'", m_sUri.c_str());
    }
    downloader.setNotifier(&notify);
    for (const Package& package : packages) {
        if (!hasKnownChecksumType({&package.m_checksum})) {
            return false;
        }
        if (intactInCache(package)) {
            continue;
        }
        const std::string location = package.m_sLocation.str();
        const std::string cacheFile = package.m_sCacheFile.str();
        auto fetch = [&](bool bypassCaches) {
            const bool fetched = downloader.download(location, cacheFile, bypassCaches);
            if (!fetched) {
                LOGE("failed getting package '%s' from repository", location.c_str());
            }
            return fetched;
        };
        if (!fetchVerified(cacheFile, fetch,
                           [&] { return checkFile(package.m_checksum, cacheFile); })) {
            return false;
        }
        notify.itemDone();
    }
    return true;
}

bool PackageRepo::cleanPackages() {
    LOGD("removing packages from repository cache '%s'", m_sPackagesDir.c_str());
    // A folder replaced by a symbolic link is not followed: only what lies in
    // the cache itself is removed.
    UniqueDir dir = openDirNoFollow(m_sPackagesDir);
    if (!dir) {
        if (errno == ENOENT) {
            return true;
        }
        LOGE("could not clean packages from '%s' (%s)", m_sPackagesDir.c_str(),
             errnoString().c_str());
        return false;
    }
    bool removalFailed = false;
    bool ok = true;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                LOGE("failed reading directory '%s' (%s)", m_sPackagesDir.c_str(),
                     errnoString().c_str());
                ok = false;
            }
            break;
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string path = m_sPackagesDir + name;
        if (unlinkat(dirfd(dir.get()), name.c_str(), 0) != 0) {
            LOGE("failed removing file '%s' (%s)", path.c_str(), errnoString().c_str());
            removalFailed = true;
        }
    }
    if (removalFailed) {
        LOGW("encountered errors while cleaning package cache");
    }
    return ok;
}
