#include "driver/update_run.h"

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "config/config.h"
#include "driver/installer.h"
#include "driver/run_report.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "driver/update_pass.h"
#include "repo/package_list.h"
#include "repo/package_repo.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/random.h"
#include "support/system.h"

namespace {

enum class IncludeKind { CommandLine, Preliminary, FwUpgrade, Updater };

// Waits a random time before the first network access. False when no
// random data could be gathered.
bool randomStartDelay(int32_t maxWait) {
    if (!seedRandom()) {
        LOGE("could not gather random data");
        return false;
    }
    intmax_t seconds = randomUniform(0, maxWait);
    long nanoseconds = static_cast<long>(randomUniform(0, 999999999));
    LOGI("waiting %ji secs before connection", seconds);
    writeStatusOrWarn(Status::DELAYING, DirectorySync::NO);
    struct timespec wait = {static_cast<time_t>(seconds), nanoseconds};
    if (nanosleep(&wait, nullptr) != 0) {
        LOGE("wait interrupted");
    }
    return true;
}

class UpdateRun {
public:
    UpdateRun(const Config& config, const NameSet& commandLine, PackageRepo& repo,
              const PackageList& external, RunReport& report)
        : m_config(config),
          m_setCommandLine(commandLine),
          m_repo(repo),
          m_lExternal(external),
          m_report(report) {
        m_setUpdater.insert("updater");
        if (!config.m_sFwUpgradePkg.empty()) {
            m_setFwUpgrade.insert(config.m_sFwUpgradePkg);
        }
        m_setPreliminary.insert(config.m_vPreliminary.begin(), config.m_vPreliminary.end());
        m_bMultiPass = commandLine.empty() && !config.m_bCheckOnly;
    }

    PassResult run();

private:
    const NameSet& include() const;
    PassSettings preparePass();
    // Decides what follows a pass; false when the run is finished, with its
    // result in m_lastResult.
    bool afterPass(const PassOutcome& outcome);
    void retryUpdaterOnly();
    // The update state after the run; the one read is kept when nothing applies.
    UpdateState nextUpdateState(UpdateState state, bool updaterOnly, bool lastOk) const;
    PassResult finish();

    const Config& m_config;
    const NameSet& m_setCommandLine;
    PackageRepo& m_repo;
    const PackageList& m_lExternal;
    RunReport& m_report;
    NameSet m_setUpdater;
    NameSet m_setFwUpgrade;
    NameSet m_setPreliminary;
    IncludeKind m_include = IncludeKind::CommandLine;
    int m_nPass = 0;
    bool m_bMultiPass = false;
    size_t m_nNeeded = 0;
    size_t m_nHandled = 0;
    PassResult m_lastResult = PassResult::OK;
    bool m_bReboot = false;
};

const NameSet& UpdateRun::include() const {
    switch (m_include) {
        case IncludeKind::Preliminary:
            return m_setPreliminary;
        case IncludeKind::FwUpgrade:
            return m_setFwUpgrade;
        case IncludeKind::Updater:
            return m_setUpdater;
        case IncludeKind::CommandLine:
            break;
    }
    return m_setCommandLine;
}

// The pass number counts the passes of the run. Pass 0 is the first one:
// in a full update (no named packages, not only checking: m_bMultiPass) it
// only analyses; otherwise it is the whole update. The full update goes on
// with pass 1 (download all but add-ons) and 2 (install the preliminary
// packages) when there are preliminary packages, else it jumps from 1 to 3;
// pass 3 installs all but add-ons, and pass 4 the add-ons, after which the
// run is no longer multi-pass. A restart for the firmware upgrade package or
// the updater alone ends the multi-pass plan and takes the next number.
// Every pass after the first reads the metadata from the cache.
PassSettings UpdateRun::preparePass() {
    PassSettings s;
    s.m_bCheckOnly = m_config.m_bCheckOnly;
    s.m_bCacheOnly = m_config.m_bCacheOnly;
    s.m_bInstall = m_config.m_bInstall;
    s.m_bQuiet = m_config.m_bQuiet;
    s.m_bNoCacheClean = m_config.m_bNoCacheClean;
    if (m_nPass == 0) {
        if (m_bMultiPass) {
            s.m_bCheckOnly = true;
        }
    } else {
        s.m_bCacheOnly = true;
        s.m_bInstall = false;
    }

    if (m_bMultiPass && m_nPass >= 1) {
        const bool quiet = m_config.m_bQuiet;
        s.m_bQuiet = true;
        if (m_nPass >= 4) {
            m_bMultiPass = false;
            if (!quiet) {
                s.m_vAnnounce.push_back("pass " + std::to_string(m_nPass) + ": add-ons");
            }
        } else {
            s.m_setExclude.insert(m_config.m_vAddons.begin(), m_config.m_vAddons.end());
            if (!m_config.m_sReleasePkg.empty()) {
                s.m_setExclude.insert(m_config.m_sReleasePkg);
            }
            s.m_setExcludedGroups.insert(m_config.m_vAddonGroups.begin(),
                                         m_config.m_vAddonGroups.end());
            s.m_typeMask = typeBit(PackageType::NONE) | typeBit(PackageType::VTXPKG);
            bool roleChanges = true;
            if (!include().empty()) {
                LOGE("unexpected non-empty package include set in multi-pass update operation");
                roleChanges = false;
            } else if (m_nPass == 1 && m_setPreliminary.empty()) {
                if (!quiet) {
                    s.m_vAnnounce.push_back("pass 1: skipping since no preliminary packages");
                    s.m_vAnnounce.push_back("pass 2: skipping since no preliminary packages");
                }
                m_nPass = 3;
                roleChanges = false;
            }
            const char* role = m_nPass == 1   ? "getting all but add-ons"
                               : m_nPass == 2 ? "preliminary packages"
                                              : "all but add-ons";
            if (!quiet) {
                s.m_vAnnounce.push_back("pass " + std::to_string(m_nPass) + ": " + role);
            }
            if (roleChanges) {
                if (m_nPass == 1) {
                    s.m_bDownloadOnly = true;
                } else {
                    if (m_nPass == 2) {
                        m_include = IncludeKind::Preliminary;
                    }
                    s.m_bQuieter = true;
                    s.m_bNoCacheClean = true;
                }
            }
        }
    }

    s.m_setInclude = include();
    s.m_bIncludeIsUpdater = m_include == IncludeKind::Updater;
    if (m_nPass == 0 && m_config.m_bInstall) {
        s.m_setPull = m_setCommandLine;
    }
    if (s.m_setPull.empty()) {
        s.m_setPull.insert(m_config.m_vAddons.begin(), m_config.m_vAddons.end());
    }
    return s;
}

void UpdateRun::retryUpdaterOnly() {
    LOGE("failed updating, will try updating updater only");
    if (!m_config.m_bQuiet) {
        LOGI("--- RETRY UPDATER ONLY ---");
    }
    m_include = IncludeKind::Updater;
    m_bMultiPass = false;
    m_lastResult = PassResult::FAILED;
}

bool UpdateRun::afterPass(const PassOutcome& outcome) {
    PassResult result = outcome.m_result;
    const size_t count = outcome.m_nCount;
    if (m_nNeeded == 0) {
        m_nNeeded = count;
    }
    // Only a pass that went as far as installing changed anything: a pass
    // whose download or verification failed handled nothing, so that the
    // update state never reports as partly installed what was not installed.
    if (outcome.m_bInstalling) {
        m_nHandled += count;
    }
    m_lastResult = result;

    if (result == PassResult::FWUPGRADE) {
        if (!include().empty() || m_config.m_sFwUpgradePkg.empty()) {
            LOGE("got unexpected firmware upgrade pkg in update set");
            result = PassResult::FAILED;
        } else {
            LOGI("firmware upgrade pkg available, restarting process for it");
            m_include = IncludeKind::FwUpgrade;
            m_bMultiPass = false;
            return true;
        }
    } else if (m_include == IncludeKind::FwUpgrade) {
        if (count == 0) {
            LOGE("got no packages after restarting for available firmware upgrade pkg");
            retryUpdaterOnly();
            return true;
        }
        if (result == PassResult::FAILED) {
            retryUpdaterOnly();
            return true;
        }
        if (result == PassResult::REBOOT) {
            m_bReboot = true;
        }
        return false;
    }
    switch (result) {
        case PassResult::FAILED:
            if (m_include == IncludeKind::Updater) {
                m_lastResult = PassResult::ERROR;
                return false;
            }
            retryUpdaterOnly();
            return true;
        case PassResult::OK:
            if (m_include == IncludeKind::Updater) {
                m_lastResult = count == 0 ? PassResult::ERROR : PassResult::OK;
                return false;
            }
            return m_bMultiPass;
        case PassResult::REBOOT:
            m_bReboot = true;
            return m_bMultiPass;
        default:
            return false;
    }
}

PassResult UpdateRun::run() {
    for (;;) {
        PassSettings settings = preparePass();
        PassOutcome outcome = runPass(m_config, m_repo, m_lExternal, settings, m_report);
        if (!afterPass(outcome)) {
            break;
        }
        ++m_nPass;
        if (m_include == IncludeKind::Preliminary) {
            m_include = IncludeKind::CommandLine;
        }
    }
    return finish();
}

UpdateState UpdateRun::nextUpdateState(UpdateState state, bool updaterOnly, bool lastOk) const {
    if (state == UpdateState::CORRUPTED) {
        return state;
    }
    if (m_nHandled > 0 && (updaterOnly || m_nHandled < m_nNeeded)) {
        return UpdateState::PENDING;
    }
    if (lastOk && ((m_nNeeded == 0 && m_nHandled == 0) || m_nHandled > 0)) {
        return UpdateState::COMPLETE;
    }
    if (m_nNeeded > 0 && state != UpdateState::PENDING) {
        return UpdateState::AVAILABLE;
    }
    return state;
}

PassResult UpdateRun::finish() {
    if (!m_config.m_bNoCacheClean) {
        m_repo.cleanPackages();
    }
    const bool updaterOnly = m_include == IncludeKind::Updater;
    const bool lastOk = m_lastResult == PassResult::OK || m_lastResult == PassResult::REBOOT;
    if (m_setCommandLine.empty()) {
        UpdateState next = nextUpdateState(readUpdateState(), updaterOnly, lastOk);
        if (next != UpdateState::NONE) {
            saveUpdateState(next);
        }
    }
    if (lastOk && m_nHandled > 0 && m_nHandled < m_nNeeded && !updaterOnly &&
        !m_config.m_bCheckOnly && !m_config.m_bTest) {
        LOGF(
            "failed passing all updates but update process succeeded, SYSTEM MAY BE "
            "CORRUPTED\n");
        writeStatusOrWarn(Status::CORRUPTED, DirectorySync::NO);
        return PassResult::FATAL;
    }
    return m_bReboot ? PassResult::REBOOT : m_lastResult;
}

}  // namespace

PassResult runUpdate(const Config& config, const std::set<std::string>& packages,
                     RunReport& report) {
    HookResult hook = runHook("init");
    if (hook != HookResult::OK) {
        return passResultOf(hook);
    }
    if (config.m_lRepositories.empty()) {
        LOGE("no repositories configured, nothing to do");
        return PassResult::ERROR;
    }
    const Repository* active = nullptr;
    for (const Repository& repository : config.m_lRepositories) {
        if (repository.m_bEnabled) {
            active = &repository;
            break;
        }
    }
    if (active == nullptr) {
        LOGE("no active repository, nothing to do");
        return PassResult::ERROR;
    }
    if (!config.m_bQuiet) {
        LOGI("updating packages from repository '%s' (URI '%s')", active->m_sName.c_str(),
             active->m_sLocation.c_str());
    }
    report.setRepository(active->m_sId, active->m_sLocation);
    PackageRepo repo(config, *active);
    if (!repo.isLocal() && !config.m_bCacheOnly && config.m_nMaxWaitTime > 0) {
        if (!randomStartDelay(config.m_nMaxWaitTime)) {
            return PassResult::ERROR;
        }
    }
    if (terminationPending()) {
        return PassResult::ERROR;
    }
    PackageList external;
    if (isReadable(paths::kExternalPackagesFile)) {
        if (parsePackageList(paths::kExternalPackagesFile, MetadataType::PRIMARY, external, "")) {
            LOGI("loaded external packages from %s", paths::kExternalPackagesFile);
        } else {
            LOGW("failed to load external packages from %s", paths::kExternalPackagesFile);
        }
    } else {
        LOGD("no %s to load", paths::kExternalPackagesFile);
    }
    UpdateRun run(config, packages, repo, external, report);
    return run.run();
}
