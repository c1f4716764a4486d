// The resolver's dependency resolution: checks the requires and recommends of
// the system as it will be after the update and pulls in what is missing.
#include <algorithm>
#include <string_view>

#include "resolver/resolver.h"
#include "support/logger.h"

namespace {

const char* pullModeText(int mode) {
    switch (mode) {
        case 0:
            return "all available";
        case 1:
            return "updates only";
        case 2:
            return "skip updates";
        default:
            return "unknown";
    }
}

bool handleLess(const Dependency& a, const Dependency& b) {
    return a.m_sName.handle() < b.m_sName.handle();
}

// The entries of a by-handle list with the name.
std::pair<std::vector<Dependency>::const_iterator, std::vector<Dependency>::const_iterator>
entriesOfName(const std::vector<Dependency>& deps, const PooledString& name) {
    return std::equal_range(deps.begin(), deps.end(), depFromName(name), handleLess);
}

// Fills the set from unordered dependencies: sorted first, so that every
// insertion appends.
void fillSet(std::vector<Dependency>& deps, DependencySet& set) {
    std::sort(deps.begin(), deps.end(), depLess);
    for (const Dependency& dep : deps) {
        set.insert(dep);
    }
}

bool isFileDependency(const Dependency& dep) {
    return !dep.m_sName.empty() && dep.m_sName[0] == '/';
}

}  // namespace

bool Resolver::isObsoletedByNew(const Package& installed, const DepsByName& obsoletes) const {
    auto range = entriesOfName(obsoletes, installed.m_sName);
    if (range.first == range.second) {
        return false;
    }
    Dependency self = depFromPackage(installed);
    return std::any_of(range.first, range.second,
                       [&](const Dependency& obsolete) { return depMatches(obsolete, self); });
}

void Resolver::checkPackageDeps(const DepsByName& provides, const Package& package, DepKind kind,
                                DepsByName& unsatisfied) const {
    const DependencySet& deps =
        kind == DepKind::REQUIRED ? package.m_setRequires : package.m_setRecommends;
    for (const Dependency& dep : deps) {
        auto range = entriesOfName(provides, dep.m_sName);
        bool satisfied = std::any_of(range.first, range.second, [&](const Dependency& provide) {
            return depMatches(provide, dep);
        });
        if (!satisfied) {
            unsatisfied.push_back(dep);
            LOGD("failed dep: %s is %s by %s", depToString(dep).c_str(),
                 kind == DepKind::REQUIRED ? "required" : "recommended",
                 packageToString(package).c_str());
        }
    }
}

bool Resolver::checkDependencies(DependencySet& unsatisfiedRequired,
                                 DependencySet& unsatisfiedRecommended) {
    LOGD("checking dependencies for %zu new packages", m_setNew.size());
    unsatisfiedRequired.clear();
    unsatisfiedRecommended.clear();

    DepsByName obsoletes;
    for (const Package& package : m_setNew) {
        obsoletes.insert(obsoletes.end(), package.m_setObsoletes.begin(),
                         package.m_setObsoletes.end());
    }
    std::sort(obsoletes.begin(), obsoletes.end(), handleLess);

    // The system after the update: the installed packages that stay, then the new ones.
    std::vector<const Package*> targets;
    targets.reserve(m_pInstalled->size() + m_setNew.size());
    for (const Package& installed : *m_pInstalled) {
        if (m_setNew.find(installed.m_sName.view()) == m_setNew.end() &&
            !isObsoletedByNew(installed, obsoletes)) {
            targets.push_back(&installed);
        }
    }
    for (const Package& package : m_setNew) {
        targets.push_back(&package);
    }

    DepsByName provides;
    for (const Package* package : targets) {
        provides.insert(provides.end(), package->m_setProvides.begin(),
                        package->m_setProvides.end());
    }
    if (theLogger().isEnabled(LogLevel::Trace)) {
        DepsByName ordered = provides;
        DependencySet unique;
        fillSet(ordered, unique);
        for (const Dependency& dep : unique) {
            LOGT("dep %s", depToString(dep).c_str());
        }
    }
    std::sort(provides.begin(), provides.end(), handleLess);

    DepsByName required;
    DepsByName recommended;
    for (const Package* package : targets) {
        checkPackageDeps(provides, *package, DepKind::REQUIRED, required);
        if (!m_bIgnoreRecommends &&
            (!m_bHaveInclude || m_setNew.find(package->m_sName.view()) != m_setNew.end())) {
            checkPackageDeps(provides, *package, DepKind::RECOMMENDED, recommended);
        }
    }
    fillSet(required, unsatisfiedRequired);
    fillSet(recommended, unsatisfiedRecommended);
    return unsatisfiedRequired.empty() && unsatisfiedRecommended.empty();
}

void Resolver::buildProviderIndex() {
    m_vProviders.clear();
    m_vObsoletingGroups.clear();
    // One allocation of the exact size: the index is large.
    size_t providers = 0;
    for (const NameGroup& group : m_vGroups) {
        providers += availableAt(group.m_nBest).m_setProvides.size();
    }
    m_vProviders.reserve(providers);
    for (uint32_t g = 0; g < m_vGroups.size(); ++g) {
        const Package& candidate = availableAt(m_vGroups[g].m_nBest);
        for (const Dependency& provide : candidate.m_setProvides) {
            m_vProviders.emplace_back(provide.m_sName.handle(), g);
        }
        if (!candidate.m_setObsoletes.empty() &&
            m_pInstalled->find(candidate.m_sName.view()) == m_pInstalled->end() &&
            std::any_of(candidate.m_setObsoletes.begin(), candidate.m_setObsoletes.end(),
                        [&](const Dependency& obsolete) {
                            auto range = m_pInstalled->equal_range(obsolete.m_sName.view());
                            return std::any_of(range.first, range.second, [&](const Package& p) {
                                return depMatches(obsolete, depFromPackage(p));
                            });
                        })) {
            m_vObsoletingGroups.push_back(g);
        }
    }
    std::sort(m_vProviders.begin(), m_vProviders.end());
    m_vProviders.erase(std::unique(m_vProviders.begin(), m_vProviders.end()), m_vProviders.end());
    m_bProvidersBuilt = true;
}

std::vector<uint32_t> Resolver::groupsToVisit(const DependencySet& unsatisfied) const {
    std::vector<uint32_t> groups;
    if (theLogger().isEnabled(LogLevel::Trace)) {
        groups.resize(m_vGroups.size());
        for (uint32_t g = 0; g < groups.size(); ++g) {
            groups[g] = g;
        }
        return groups;
    }
    // A group can pull only when its candidate provides a name that is
    // unsatisfied now; the set only shrinks during the pass.
    const Dependency* previous = nullptr;
    for (const Dependency& dep : unsatisfied) {
        if (previous != nullptr && previous->m_sName == dep.m_sName) {
            continue;
        }
        previous = &dep;
        auto range = std::equal_range(
            m_vProviders.begin(), m_vProviders.end(), std::make_pair(dep.m_sName.handle(), 0u),
            [](const std::pair<uint32_t, uint32_t>& a, const std::pair<uint32_t, uint32_t>& b) {
                return a.first < b.first;
            });
        for (auto it = range.first; it != range.second; ++it) {
            groups.push_back(it->second);
        }
    }
    // Candidates that obsolete installed packages say so at debug level in the mode test.
    groups.insert(groups.end(), m_vObsoletingGroups.begin(), m_vObsoletingGroups.end());
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    return groups;
}

bool Resolver::pullPass(PullMode mode, DependencySet& unsatisfied, PackageSet* pulled,
                        bool single) {
    if (unsatisfied.empty()) {
        return false;
    }
    LOGD("resolving dependencies (%s, single package = %i)", pullModeText(static_cast<int>(mode)),
         single ? 1 : 0);
    if (!m_bProvidersBuilt) {
        buildProviderIndex();
    }
    const bool trace = theLogger().isEnabled(LogLevel::Trace);
    // Satisfied entries are only marked during the walk, so that positions
    // stay put and erasing stays cheap, and dropped at its end.
    const Dependency* const first = unsatisfied.begin();
    std::vector<char> erased(unsatisfied.size(), 0);
    size_t count = 0;

    for (uint32_t g : groupsToVisit(unsatisfied)) {
        const NameGroup& group = m_vGroups[g];
        const Package& entry = availableAt(group.m_nFirst);
        if (m_setNew.find(entry.m_sName.view()) != m_setNew.end()) {
            for (uint32_t i = group.m_nFirst; trace && i < group.m_nEnd; ++i) {
                LOGT("package %s already in", packageToString(availableAt(i)).c_str());
            }
            continue;
        }
        if (m_setBad.find(entry.m_sName.view()) != m_setBad.end()) {
            for (uint32_t i = group.m_nFirst; trace && i < group.m_nEnd; ++i) {
                LOGT("package %s in bad updates", packageToString(availableAt(i)).c_str());
            }
            continue;
        }
        LOGT("checking package %s", packageToString(entry).c_str());
        const Package& candidate = availableAt(group.m_nBest);
        LOGT("found %s as best", packageToString(candidate).c_str());

        if (isExcludedByType(candidate)) {
            LOGT("skipping package excluded by type");
            continue;
        }
        if (const Package* installed = notOlderInstalled(candidate)) {
            LOGT("skip package %s which is not newer than installed %s",
                 packageToString(candidate).c_str(), packageToString(*installed).c_str());
            continue;
        }
        if (mode == PullMode::UPDATES_ONLY && !updatesInstalled(candidate)) {
            LOGT("skip package %s which does not update installed package",
                 packageToString(candidate).c_str());
            continue;
        }
        if (mode == PullMode::SKIP_UPDATES && updatesInstalled(candidate)) {
            LOGT("skip package %s which updates installed package",
                 packageToString(candidate).c_str());
            continue;
        }

        bool taken = false;
        for (const Dependency& provide : candidate.m_setProvides) {
            LOGT("check prov %s", depToString(provide).c_str());
            auto range = unsatisfied.rangeOfName(provide.m_sName.view());
            for (const Dependency* dep = range.first; dep != range.second; ++dep) {
                if (erased[static_cast<size_t>(dep - first)] != 0) {
                    continue;
                }
                LOGD("checking provide %s", depToString(provide).c_str());
                if (!depMatches(provide, *dep)) {
                    continue;
                }
                if (!taken) {
                    LOGD("pulling package %s to satisfy '%s'", packageToString(candidate).c_str(),
                         depToString(*dep).c_str());
                    const Package chosen = m_pAvailable.complete(candidate);
                    m_setNew.insert(chosen);
                    m_vPulledSinceSnapshot.push_back(candidate.m_sName);
                    if (pulled != nullptr) {
                        pulled->insert(chosen);
                    }
                    ++count;
                    taken = true;
                }
                LOGD("removing require '%s', provided by pulled package",
                     depToString(*dep).c_str());
                erased[static_cast<size_t>(dep - first)] = 1;
            }
        }
        if (single && count != 0) {
            break;
        }
    }

    if (count != 0) {
        DependencySet remaining;
        for (const Dependency* dep = unsatisfied.begin(); dep != unsatisfied.end(); ++dep) {
            if (erased[static_cast<size_t>(dep - first)] == 0) {
                remaining.insert(*dep);
            }
        }
        unsatisfied = std::move(remaining);
    }
    LOGD("pulled %zu packages", count);
    return count != 0;
}

bool Resolver::pull(DependencySet& unsatisfied, PackageSet* pulled, bool single) {
    if (pulled != nullptr) {
        pulled->clear();
    }
    bool updates = pullPass(PullMode::UPDATES_ONLY, unsatisfied, pulled, single);
    if (single && updates) {
        return true;
    }
    bool others = pullPass(PullMode::SKIP_UPDATES, unsatisfied, pulled, single);
    return updates || others;
}

bool Resolver::onlyFileDeps(const DependencySet& deps) const {
    LOGD("checking for file-only requires");
    return std::all_of(deps.begin(), deps.end(), isFileDependency);
}

bool Resolver::resolve(const std::function<bool()>& cancelled) {
    auto isCancelled = [&cancelled] { return cancelled && cancelled(); };
    if (m_bLowerRelease) {
        return true;
    }
    if (!m_pInstalled) {
        LOGE("attempted to resolve an uninitialized resolver");
        return false;
    }
    DependencySet required;
    DependencySet recommended;
    PackageSet pulledRecommended;
    m_vPulledSinceSnapshot.clear();

    bool satisfied = false;
    for (;;) {
        if (checkDependencies(required, recommended)) {
            satisfied = true;
            break;
        }
        LOGD("resolving unsatisfied required dependencies");
        if (!pull(required, nullptr, false)) {
            if (!pulledRecommended.empty() && !onlyFileDeps(required)) {
                // The last recommended package cannot be completed: take it back.
                for (const Package& package : pulledRecommended) {
                    if (package.m_sName == kUpdateRequirementsPkg) {
                        LOGD("dropping recommended %s as it leads to unsatisfiable dependency",
                             packageToString(package).c_str());
                    } else {
                        LOGI("dropping recommended %s as it leads to unsatisfiable dependency",
                             packageToString(package).c_str());
                    }
                    auto inserted = m_setBad.insert(package);
                    if (!inserted.second) {
                        LOGE(
                            "internal error: failed adding package %s to bad update list, "
                            "already have %s",
                            packageToString(package).c_str(),
                            packageToString(*inserted.first).c_str());
                        return false;
                    }
                }
                for (const PooledString& name : m_vPulledSinceSnapshot) {
                    auto it = m_setNew.find(name.view());
                    if (it != m_setNew.end()) {
                        m_setNew.erase(it);
                    }
                }
                m_vPulledSinceSnapshot.clear();
                pulledRecommended.clear();
            } else {
                LOGD("resolving unsatisfied recommended dependencies");
                m_vPulledSinceSnapshot.clear();
                if (!pull(recommended, &pulledRecommended, true)) {
                    if (required.empty()) {
                        LOGD("only recommends dependencies are left unsatisfied");
                        satisfied = true;
                    } else if (onlyFileDeps(required)) {
                        LOGD(
                            "only file dependencies are left unsatisfied, assuming all are "
                            "satisfied");
                        satisfied = true;
                    }
                    break;
                }
            }
        }
        if (isCancelled()) {
            break;
        }
    }

    if (isCancelled()) {
        return false;
    }
    if (satisfied) {
        return true;
    }
    LOGE("unsatisfied non-file dependencies:");
    for (const Dependency& dep : required) {
        if (!dep.m_sName.empty() && !isFileDependency(dep)) {
            LOGE("\t%s", depToString(dep).c_str());
        }
    }
    LOGE("cannot update");
    return false;
}
