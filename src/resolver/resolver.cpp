// The resolver's set-up: installed packages, the firmware release guard and
// the selection of newer packages.
#include "resolver/resolver.h"

#include <iterator>
#include <string_view>

#include "config/config.h"
#include "rpmdb/rpm_db.h"
#include "support/logger.h"

namespace {

bool holds(const NameSet& set, std::string_view name) {
    return !set.empty() && set.count(std::string(name)) != 0;
}

}  // namespace

Resolver::Resolver(const Config& config, unsigned typeMask, const PackageList& available)
    : m_pAvailable(available),
      m_sReleasePkg(config.m_sReleasePkg),
      m_bCheckDbHeaders(config.m_bCheckDbHeaders),
      m_bIgnoreRecommends(config.m_bIgnoreRecommends),
      m_typeMask(typeMask) {}

Resolver::~Resolver() = default;

bool Resolver::init(const PackageList& external, const NameSet& include, const NameSet& exclude,
                    const NameSet& excludedGroups, const NameSet& pull) {
    if (m_pInstalled) {
        LOGE("attempted to reinitilize a resolver");
        return false;
    }
    std::unique_ptr<PackageList> installed;
    {
        RpmDB db;
        if (!db.open(m_bCheckDbHeaders ? HeaderCheck::VERIFY : HeaderCheck::SKIP)) {
            LOGE("failed opening rpm database");
            return false;
        }
        installed = db.getInstalledPackages();
    }
    if (!installed) {
        LOGE("failed getting list of installed packages");
        return false;
    }
    m_pInstalled = std::move(installed);
    for (const Package& package : external) {
        LOGD("adding external package %s to installed packages", packageToString(package).c_str());
        m_pInstalled->insert(packageCore(package));
    }
    m_bHaveInclude = !include.empty();
    buildGroups();

    m_bLowerRelease = isLowerRelease();
    if (m_bLowerRelease) {
        LOGW("available packages are from a lower firmware release, ignoring");
    } else {
        select(include, exclude, excludedGroups, pull);
    }
    return true;
}

bool Resolver::isLowerRelease() const {
    if (m_sReleasePkg.empty()) {
        LOGW("firmware release package name not set, cannot check if updating to lower firmware");
        return false;
    }
    const char* name = m_sReleasePkg.c_str();
    auto installed = m_pInstalled->equal_range(m_sReleasePkg);
    if (installed.first == installed.second) {
        LOGW("firmware release version package '%s' is not installed", name);
        return false;
    }
    const Package* highest = &*installed.first;
    for (auto it = std::next(installed.first); it != installed.second; ++it) {
        LOGW(
            "found multiple installed firmware release version packages %s: %s in addition to "
            "%s, keeping highest",
            name, evrToString(it->m_evr).c_str(), evrToString(highest->m_evr).c_str());
        if (compareEvr(it->m_evr, highest->m_evr) > 0) {
            highest = &*it;
        }
    }

    auto available = m_pAvailable.equal_range(m_sReleasePkg);
    if (available.first == available.second) {
        LOGW("firmware release version package '%s' is not available in updates", name);
        return false;
    }
    const Package* lowest = &*available.first;
    for (auto it = std::next(available.first); it != available.second; ++it) {
        LOGW(
            "found multiple firmware release version packages %s in available updates: %s in "
            "addition to %s, keeping lowest",
            name, evrToString(it->m_evr).c_str(), evrToString(lowest->m_evr).c_str());
        if (compareEvr(it->m_evr, lowest->m_evr) < 0) {
            lowest = &*it;
        }
    }
    LOGD("firmware release package check found installed %s and available %s",
         packageToString(*highest).c_str(), packageToString(*lowest).c_str());
    return compareEvr(highest->m_evr, lowest->m_evr) > 0;
}

void Resolver::buildGroups() {
    m_vGroups.clear();
    // At most one group per package, in one allocation: the list is large.
    m_vGroups.reserve(m_pAvailable.size());
    auto begin = m_pAvailable.begin();
    auto end = m_pAvailable.end();
    auto it = begin;
    while (it != end) {
        NameGroup group;
        group.m_nFirst = static_cast<uint32_t>(it - begin);
        group.m_nBest = group.m_nFirst;
        const Package* best = &*it;
        for (++it; it != end && it->m_sName == best->m_sName; ++it) {
            if (compareEvr(it->m_evr, best->m_evr) > 0) {
                best = &*it;
                group.m_nBest = static_cast<uint32_t>(it - begin);
            }
        }
        group.m_nEnd = static_cast<uint32_t>(it - begin);
        m_vGroups.push_back(group);
    }
}

bool Resolver::isExcludedByType(const Package& package) const {
    if (package.m_nType <= PackageType::VTXPKG) {
        return (m_typeMask & typeBit(package.m_nType)) != 0;
    }
    // A flashed firmware image can be neither fetched (it may have no file)
    // nor installed by this program: it only describes what is flashed.
    return true;
}

void Resolver::select(const NameSet& include, const NameSet& exclude, const NameSet& excludedGroups,
                      const NameSet& pull) {
    LOGD("resolving for newer packages");
    NameSet obsoleteExclusions;
    const bool trace = theLogger().isEnabled(LogLevel::Trace);

    for (const NameGroup& group : m_vGroups) {
        if (trace && group.m_nEnd - group.m_nFirst > 1) {
            // The candidate is known; replay the choice for the record.
            const Package* best = &availableAt(group.m_nFirst);
            for (uint32_t i = group.m_nFirst + 1; i < group.m_nEnd; ++i) {
                const Package& entry = availableAt(i);
                if (compareEvr(entry.m_evr, best->m_evr) > 0) {
                    LOGT("dropping update %s for newer %s", packageToString(*best).c_str(),
                         packageToString(entry).c_str());
                    best = &entry;
                } else {
                    LOGT("dropping update %s, has newer %s", packageToString(entry).c_str(),
                         packageToString(*best).c_str());
                }
            }
        }
        const Package& candidate = availableAt(group.m_nBest);
        std::string_view name = candidate.m_sName.view();
        LOGT("checking update %s (group %s)", packageToString(candidate).c_str(),
             candidate.m_sGroup.c_str());

        if (isExcludedByType(candidate)) {
            LOGT("skipping package excluded by type");
            continue;
        }
        if (!include.empty() && !holds(include, name)) {
            LOGT("skipping package not in include set");
            continue;
        }
        if (holds(exclude, name) || holds(excludedGroups, candidate.m_sGroup.view()) ||
            holds(obsoleteExclusions, name)) {
            LOGT("skipping package in exclude set");
            for (const Dependency& obsolete : candidate.m_setObsoletes) {
                LOGT("adding %s to exclude set, obsoleted by excluded package",
                     obsolete.m_sName.c_str());
                obsoleteExclusions.insert(obsolete.m_sName.str());
                auto chosen = m_setNew.find(obsolete.m_sName.view());
                if (chosen != m_setNew.end()) {
                    m_setNew.erase(chosen);
                }
            }
            continue;
        }

        auto installed = m_pInstalled->equal_range(name);
        if (installed.first != installed.second) {
            if (name == kUpdateRequirementsPkg) {
                LOGW("special %s is available in repository but also installed, ignoring",
                     candidate.m_sName.c_str());
                continue;
            }
            bool newer = true;
            for (auto it = installed.first; it != installed.second; ++it) {
                LOGT("checking installed %s", packageToString(*it).c_str());
                if (compareEvr(it->m_evr, candidate.m_evr) >= 0) {
                    newer = false;
                    break;
                }
            }
            if (!newer) {
                continue;
            }
        } else if (holds(pull, name)) {
            LOGD("considering %s as newer because in pull set", packageToString(candidate).c_str());
        } else if (!obsoletesInstalled(candidate)) {
            continue;
        }

        LOGD("found newer package %s", packageToString(candidate).c_str());
        auto inserted = m_setNew.insert(m_pAvailable.complete(candidate));
        if (!inserted.second) {
            LOGE("internal error: failed including package %s, already have %s",
                 packageToString(candidate).c_str(), packageToString(*inserted.first).c_str());
        }
    }

    // A new package replaces the new packages it obsoletes.
    for (auto it = m_setNew.begin(); it != m_setNew.end(); ++it) {
        if (it->m_setObsoletes.empty()) {
            continue;
        }
        LOGT("checking if %s obsoletes any new packages", packageToString(*it).c_str());
        for (const Dependency& obsolete : it->m_setObsoletes) {
            LOGT("checking obsoletes '%s'", depToString(obsolete).c_str());
            auto other = m_setNew.find(obsolete.m_sName.view());
            if (other != m_setNew.end() && other != it &&
                depMatches(obsolete, depFromPackage(*other))) {
                LOGD("removing %s from new packages, obsoleted by %s",
                     packageToString(*other).c_str(), packageToString(*it).c_str());
                m_setNew.erase(other);
            }
        }
    }
    LOGD("done resolving for newer packages");
}

bool Resolver::obsoletesInstalled(const Package& candidate) const {
    if (!m_pInstalled) {
        return false;
    }
    for (const Dependency& obsolete : candidate.m_setObsoletes) {
        LOGT("checking obsoletes '%s'", depToString(obsolete).c_str());
        auto installed = m_pInstalled->equal_range(obsolete.m_sName.view());
        for (auto it = installed.first; it != installed.second; ++it) {
            if (depMatches(obsolete, depFromPackage(*it))) {
                LOGD("considering %s newer than %s due to obsoletes",
                     packageToString(candidate).c_str(), packageToString(*it).c_str());
                return true;
            }
        }
    }
    return false;
}

bool Resolver::updatesInstalled(const Package& candidate) const {
    if (!m_pInstalled) {
        return false;
    }
    auto installed = m_pInstalled->equal_range(candidate.m_sName.view());
    if (installed.first == installed.second) {
        return obsoletesInstalled(candidate);
    }
    for (auto it = installed.first; it != installed.second; ++it) {
        if (compareEvr(it->m_evr, candidate.m_evr) >= 0) {
            return false;
        }
    }
    return true;
}

const Package* Resolver::highestInstalled(std::string_view name) const {
    if (!m_pInstalled) {
        return nullptr;
    }
    const Package* highest = nullptr;
    auto installed = m_pInstalled->equal_range(name);
    for (auto it = installed.first; it != installed.second; ++it) {
        if (highest == nullptr || compareEvr(it->m_evr, highest->m_evr) > 0) {
            highest = &*it;
        }
    }
    return highest;
}

const Package* Resolver::notOlderInstalled(const Package& candidate) const {
    auto installed = m_pInstalled->equal_range(candidate.m_sName.view());
    for (auto it = installed.first; it != installed.second; ++it) {
        if (compareEvr(it->m_evr, candidate.m_evr) >= 0) {
            return &*it;
        }
    }
    return nullptr;
}

bool Resolver::checkCapability(const Dependency& capability, DependencySet& unmet) const {
    unmet.clear();
    for (const Package& package : m_setNew) {
        auto range = package.m_setRequires.rangeOfName(capability.m_sName.view());
        for (auto it = range.first; it != range.second; ++it) {
            if (!depMatches(capability, *it)) {
                unmet.insert(*it);
                LOGD("failed satisfy of '%s': %s is needed by %s", depToString(capability).c_str(),
                     depToString(*it).c_str(), packageToString(package).c_str());
            }
        }
    }
    return unmet.empty();
}

bool Resolver::hasNewPackage(const std::string& name, PackageType type) const {
    auto it = m_setNew.find(std::string_view(name));
    if (it == m_setNew.end()) {
        return false;
    }
    return type == PackageType::NONE || it->m_nType == type;
}
