// One pass of the update run: metadata, selection, report, download, install.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "driver/pass_result.h"
#include "package/package.h"
#include "resolver/resolver.h"

class Config;
class PackageRepo;
class RunReport;

// What one pass does. The update run sets every field from its configuration
// and the pass's place in the plan; everything else a pass reads comes from
// the configuration unchanged.
struct PassSettings {
    bool m_bCheckOnly = false;     // report the update set, fetch nothing
    bool m_bCacheOnly = false;     // metadata from the cache, no transfer
    bool m_bInstall = false;       // the pulled packages must all be in the repository
    bool m_bQuiet = false;         // no summary lines
    bool m_bNoCacheClean = false;  // keep the packages of earlier passes in the cache
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
    // The installation step was reached: the packages were handed to the
    // hooks, rpm and the device installer, and count as handled.
    bool m_bInstalling = false;
};

// Checks the repository, chooses the update and downloads and installs it;
// the index, the update set and what became of each package go into the report.
PassOutcome runPass(const Config& config, PackageRepo& repo, const PackageList& external,
                    const PassSettings& settings, RunReport& report);

// Logs each unmet update requirement.
void reportRequirements(const DependencySet& unmet);
