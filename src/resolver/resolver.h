// Chooses the packages of the repository to install: newer versions, what
// their dependencies need, never a lower firmware release.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "resolver/package.h"

class Config;

using NameSet = std::set<std::string>;

// Bit n of a type mask excludes packages of PackageType n.
constexpr unsigned typeBit(PackageType type) { return 1u << static_cast<unsigned>(type); }

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
    // Completes the new packages with what their dependencies need.
    bool resolve();

    bool updatesInstalled(const Package& candidate) const;
    bool obsoletesInstalled(const Package& candidate) const;
    // True when no new package requires the capability's name in a range it does not meet.
    bool checkCapability(const Dependency& capability, DependencySet& unmet) const;
    bool hasNewPackage(const std::string& name, PackageType type) const;

    // The packages to install, one per name, in name order.
    const PackageSet& newPackages() const { return m_setNew; }
    const PackageSet& badPackages() const { return m_setBad; }
    bool lowerRelease() const { return m_bLowerRelease; }

private:
    // (the implementation adds its private operations and state here)
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
};
