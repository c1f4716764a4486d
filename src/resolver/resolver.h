// Chooses the packages of the repository to install: newer versions, what
// their dependencies need, never a lower firmware release.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "package/package.h"

class Config;

using NameSet = std::set<std::string>;

// Bit n of a type mask excludes packages of PackageType n. The mask has bits
// for the types 0 to 2 only; a package of a type without a bit (a flashed
// firmware image) is never chosen: nothing could fetch or install it, it only
// describes the firmware a device runs (through the external packages).
constexpr unsigned typeBit(PackageType type) {
    return 1u << static_cast<unsigned>(type);
}

class Resolver {
public:
    Resolver(const Config& config, unsigned typeMask, const PackageList& available);
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Reads the installed packages, adds the external ones as installed,
    // applies the firmware release guard and selects the newer packages.
    bool init(const PackageList& external, const NameSet& include, const NameSet& exclude,
              const NameSet& excludedGroups, const NameSet& pull);
    // Completes the new packages with what their dependencies need. The walk
    // stops, and resolve fails, as soon as cancelled (when given) returns true.
    bool resolve(const std::function<bool()>& cancelled = {});

    bool updatesInstalled(const Package& candidate) const;
    bool obsoletesInstalled(const Package& candidate) const;
    // True when no new package requires the capability's name in a range it does not meet.
    bool checkCapability(const Dependency& capability, DependencySet& unmet) const;
    bool hasNewPackage(const std::string& name, PackageType type) const;
    // The installed package of the name with the highest Evr (external
    // packages count as installed), or null.
    const Package* highestInstalled(std::string_view name) const;

    // The packages to install, one per name, in name order.
    const PackageSet& newPackages() const { return m_setNew; }
    const PackageSet& badPackages() const { return m_setBad; }

private:
    // The update requirements package is read from the repository, never
    // installed from it.
    static constexpr std::string_view kUpdateRequirementsPkg = "os-update-requirements";

    enum class PullMode : int { ALL = 0, UPDATES_ONLY = 1, SKIP_UPDATES = 2 };
    enum class DepKind : int { REQUIRED, RECOMMENDED };

    // The entries of one name in the available list, [m_nFirst, m_nEnd), and
    // the candidate among them: the highest Evr, the earlier one on ties.
    struct NameGroup {
        uint32_t m_nFirst;
        uint32_t m_nEnd;
        uint32_t m_nBest;
    };

    // Dependencies grouped by name (ordered by the name's pool handle, not by
    // its text): the obsoletes of the new packages, or the provides of the
    // system as it will be after the update.
    using DepsByName = std::vector<Dependency>;

    bool isLowerRelease() const;
    void buildGroups();
    void select(const NameSet& include, const NameSet& exclude, const NameSet& excludedGroups,
                const NameSet& pull);
    bool isExcludedByType(const Package& package) const;
    // The installed package of the candidate's name that is not lower than
    // the candidate, or null: the RPM program refuses such a downgrade.
    const Package* notOlderInstalled(const Package& candidate) const;

    bool checkDependencies(DependencySet& unsatisfiedRequired,
                           DependencySet& unsatisfiedRecommended);
    // Adds the package's unsatisfied requires or recommends to the list.
    void checkPackageDeps(const DepsByName& provides, const Package& package, DepKind kind,
                          DepsByName& unsatisfied) const;
    bool isObsoletedByNew(const Package& installed, const DepsByName& obsoletes) const;
    bool pull(DependencySet& unsatisfied, PackageSet* pulled, bool single);
    bool pullPass(PullMode mode, DependencySet& unsatisfied, PackageSet* pulled, bool single);
    bool onlyFileDeps(const DependencySet& deps) const;

    void buildProviderIndex();
    // The name groups a pull pass looks at, in walk order: every group when
    // the walk is traced, otherwise those that can change something or log
    // above trace level.
    std::vector<uint32_t> groupsToVisit(const DependencySet& unsatisfied) const;
    const Package& availableAt(uint32_t index) const { return m_pAvailable.begin()[index]; }

    const PackageList& m_pAvailable;
    PackageSet m_setNew;
    PackageSet m_setBad;
    std::unique_ptr<PackageList> m_pInstalled;
    std::string m_sReleasePkg;
    bool m_bCheckDbHeaders = false;
    bool m_bIgnoreRecommends = false;
    bool m_bHaveInclude = false;
    bool m_bLowerRelease = false;
    unsigned m_typeMask = 0;

    // Indexes over the available list, so that a pull pass does not walk
    // tens of thousands of packages for a handful of missing capabilities.
    std::vector<NameGroup> m_vGroups;
    // (provide name handle, group) for every provide of every candidate.
    std::vector<std::pair<uint32_t, uint32_t>> m_vProviders;
    // Groups whose candidate is not installed by name but obsoletes an
    // installed package: the mode test logs about them at debug level.
    std::vector<uint32_t> m_vObsoletingGroups;
    bool m_bProvidersBuilt = false;
    // Names pulled into m_setNew since the last snapshot. Between a snapshot
    // and its restoration packages are only added, so restoring the
    // snapshot is removing these.
    std::vector<PooledString> m_vPulledSinceSnapshot;
};
