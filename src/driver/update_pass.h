// One pass of the update run: metadata, selection, report, download, install.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/pass_result.h"
#include "resolver/package.h"
#include "resolver/resolver.h"

class PackageRepo;

struct PassSettings {
    Config m_config;               // the pass copy, with the pass's changes applied
    bool m_bDownloadOnly = false;  // fetch and verify, do not install
    bool m_bQuieter = false;       // download and verification lines at debug
    NameSet m_setInclude;
    NameSet m_setPull;
    NameSet m_setExclude;
    NameSet m_setExcludedGroups;
    unsigned m_typeMask = 0;
    bool m_bIncludeIsUpdater = false;
    std::vector<std::string> m_vAnnounce;  // info lines logged when the pass starts
};

struct PassOutcome {
    PassResult m_result;
    size_t m_nCount;  // packages selected
};

PassOutcome runPass(PackageRepo& repo, const PackageList& external, const PassSettings& settings);

// Logs each unmet update requirement.
void reportRequirements(const DependencySet& unmet);
