// The package cache of a repository: package files fetched and verified
// against the checksums of the package list, and the cleaning of the cache.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// The package file into its partial download, continuing what an earlier
// attempt or run left there; it takes the package's name in the cache only
// once it passes its checksum. A copy that fails is removed, so the second
// transfer (past the HTTP caches) starts from the beginning.
bool fetchPackage(Downloader& downloader, const Package& package) {
    const std::string location = package.m_sLocation.str();
    const std::string cacheFile = package.m_sCacheFile.str();
    bool valid = false;
    auto fetch = [&](bool bypassCaches) {
        PartialDownload partial;
        const bool fetched =
            partial.open(cacheFile, package.m_nPackageSize) &&
            (partial.isComplete() || downloader.resume(location, partial, bypassCaches));
        if (!fetched) {
            LOGE("failed getting package '%s' from repository", location.c_str());
            return false;
        }
        valid = checkFile(package.m_checksum, partial.path());
        if (!valid) {
            partial.discard();
            return true;
        }
        return partial.commit();
    };
    return fetchVerified(cacheFile, fetch, [&] { return valid; });
}

// The name of a partial download's file or validator with its suffix cut
// off; empty for other names.
std::string partialOf(const std::string& name) {
    for (const char* suffix : {PartialDownload::kSuffix, PartialDownload::kValidatorSuffix}) {
        const size_t length = strlen(suffix);
        if (name.size() > length && name.compare(name.size() - length, length, suffix) == 0) {
            return name.substr(0, name.size() - length);
        }
    }
    return "";
}

}  // namespace

bool PackageRepo::getPackages(const PackageSet& packages) {
    if (m_sUri.empty()) {
        LOGE("no repository URI set, cannot get packages");
        return false;
    }
    // Neither folder may have become a symbolic link: the files would be
    // written wherever it points.
    if (!makeDir(m_sCacheDir) || !makeDir(m_sPackagesDir)) {
        return false;
    }
    ItemNotify notify(static_cast<int>(packages.size()));
    Downloader downloader;
    if (!downloader.open(m_sUri, m_pRepository.m_tls)) {
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
        if (!fetchPackage(downloader, package)) {
            return false;
        }
        notify.itemDone();
    }
    return true;
}

bool PackageRepo::isWantedPartial(const std::string& name) const {
    const std::string file = partialOf(name);
    if (file.empty()) {
        return false;
    }
    // Before any list is read nothing tells which packages are wanted.
    if (m_lPackages.empty()) {
        return true;
    }
    return m_lPackages.holdsCacheFile(file);
}

bool PackageRepo::cleanPackages() {
    removeStaleImages();
    LOGD("removing packages from repository cache '%s'", m_sPackagesDir.c_str());
    // Neither the repository's folder nor its packages folder is followed
    // when it was replaced by a symbolic link: only what lies in the cache
    // itself is removed.
    UniqueDir repoDir = openDirNoFollow(m_sCacheDir);
    UniqueDir dir =
        repoDir ? openDirNoFollow(baseName(m_sPackagesDir), dirfd(repoDir.get())) : nullptr;
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
        if (isWantedPartial(name)) {
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
