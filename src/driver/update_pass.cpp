#include "driver/update_pass.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "config/config.h"
#include "driver/installer.h"
#include "driver/run_report.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "repo/package_repo.h"
#include "rpmdb/package_identity.h"
#include "rpmdb/package_signature.h"
#include "rpmdb/rpm_db.h"
#include "support/logger.h"
#include "support/system.h"
#include "support/version.h"

namespace {

constexpr const char* kRequirementPrefix = "os-update-requirement/";

// Brings the repository metadata up to date, with termination signals at
// their default actions during the transfer, or loads it from the cache.
bool refreshMetadata(PackageRepo& repo, const PassSettings& settings) {
    if (settings.m_bCacheOnly) {
        if (!repo.load()) {
            LOGE("could not load repository data");
            return false;
        }
        return true;
    }
    if (!setTerminationSignals(TerminationActions::DEFAULT)) {
        return false;
    }
    if (terminationPending()) {
        setTerminationSignals(TerminationActions::RECORDED);
        return false;
    }
    bool updated = repo.update("");
    if (!updated) {
        LOGE("could not update repository data");
    }
    // Back to recorded signals on every path, so that nothing after the
    // transfer can be cut short.
    return setTerminationSignals(TerminationActions::RECORDED) && updated;
}

// The RPM packages of an update set for the hook: their count, the sum of
// their installed sizes and the largest one. The sizes come from the list:
// a negative one counts as 0, and the sum stops at the largest number it can
// hold instead of wrapping around.
struct RpmFigures {
    unsigned long m_nCount = 0;
    int64_t m_nTotalSize = 0;
    int64_t m_nLargest = 0;

    void add(int64_t size) {
        size = std::max<int64_t>(size, 0);
        ++m_nCount;
        m_nTotalSize = size > INT64_MAX - m_nTotalSize ? INT64_MAX : m_nTotalSize + size;
        m_nLargest = std::max(m_nLargest, size);
    }
};

// Bytes in KiB, rounded up; never overflows.
int64_t kibRoundedUp(int64_t bytes) {
    return bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
}

// Logs the summary and the package lines, and counts the RPM packages.
RpmFigures reportUpdateSet(const Config& config, const PassSettings& settings,
                           const PackageSet& update) {
    if (!settings.m_bQuiet) {
        LOGI("--- %zu UPDATE(S) ---", update.size());
        auto fwUpgrade =
            config.m_sFwUpgradePkg.empty() ? update.end() : update.find(config.m_sFwUpgradePkg);
        auto release =
            config.m_sReleasePkg.empty() ? update.end() : update.find(config.m_sReleasePkg);
        auto updater = update.find(std::string_view("updater"));
        if (fwUpgrade != update.end() && fwUpgrade->m_nType == PackageType::VTXPKG) {
            LOGI("--- FIRMWARE %s-r%s ---", fwUpgrade->m_evr.m_sVersion.c_str(),
                 fwUpgrade->m_evr.m_sRelease.c_str());
        } else if (release != update.end()) {
            LOGI("--- FIRMWARE %s-%s ---", release->m_evr.m_sVersion.c_str(),
                 release->m_evr.m_sRelease.c_str());
        } else if (updater != update.end()) {
            LOGI("--- UPDATER %s-%s ---", updater->m_evr.m_sVersion.c_str(),
                 updater->m_evr.m_sRelease.c_str());
        }
    }
    const char* header = settings.m_bCheckOnly      ? "need to update (%zu packages):"
                         : settings.m_bDownloadOnly ? "getting package files (%zu packages):"
                         : config.m_bTest           ? "testing update (%zu packages):"
                                                    : "starting update (%zu packages):";
    LOGI(header, update.size());
    RpmFigures figures;
    for (const Package& package : update) {
        LOGI("\t%s", baseName(package.m_sLocation).c_str());
        if (package.m_nType == PackageType::RPM) {
            figures.add(package.m_nInstalledSize);
        }
    }
    return figures;
}

// Verifies the downloaded RPM packages in name order; the first refusal ends
// the pass. Each file must hold the package its list entry names, and unless
// package signatures are switched off or the database holds no public key,
// carry an acceptable signature (the header it was read with serves both).
// The headers of the keys are always checked as they are read, with or
// without --check-db-headers.
PassResult verifyPackages(const Config& config, const PassSettings& settings,
                          const PackageSet& update) {
    RpmDB db;
    bool signatures = !config.m_bNoPkgSigCheck;
    if (signatures) {
        if (!db.open(HeaderCheck::VERIFY)) {
            LOGE("failed opening rpm DB");
            return PassResult::ERROR;
        }
        signatures = db.hasPublicKeys();
        if (signatures) {
            LOG_AT(settings.m_bQuieter ? LogLevel::Debug : LogLevel::Info,
                   "verifying package signatures");
        }
    }
    for (const Package& package : update) {
        if (package.m_nType != PackageType::RPM) {
            continue;
        }
        const std::string file = package.m_sCacheFile.str();
        RpmHeaderPtr header;
        if (signatures) {
            if (!checkPackageSignature(db, file, settings.m_bQuieter, &header)) {
                return PassResult::FAILED;
            }
        } else {
            header = readPackageHeader(file);
            if (!header) {
                return PassResult::FAILED;
            }
        }
        if (!headerMatchesPackage(header.get(), package, baseName(file))) {
            return PassResult::FAILED;
        }
    }
    return PassResult::OK;
}

}  // namespace

void reportRequirements(const DependencySet& unmet) {
    const size_t prefixLength = std::char_traits<char>::length(kRequirementPrefix);
    for (const Dependency& requirement : unmet) {
        std::string text = depToString(requirement);
        if (text.compare(0, prefixLength, kRequirementPrefix) == 0) {
            text.erase(0, prefixLength);
        }
        LOGE("requirement not met: %s is required to update", text.c_str());
    }
}

namespace {

// The end of a pass when a stage decides it; empty when the next stage follows.
using StageEnd = std::optional<PassOutcome>;
const PassOutcome kFailed = {PassResult::ERROR, 0};

// First stage: the repository's metadata, the product check, the update
// requirements (left in unmet) and the firmware upgrade package they may call for.
StageEnd checkRepository(const Config& config, PackageRepo& repo, const PassSettings& settings,
                         DependencySet& unmet) {
    writeStatusOrWarn(Status::ANALYZING, DirectorySync::NO);
    for (const std::string& line : settings.m_vAnnounce) {
        LOGI("%s", line.c_str());
    }
    if (!settings.m_bNoCacheClean) {
        repo.cleanPackages();
    }
    if (!refreshMetadata(repo, settings)) {
        return kFailed;
    }

    std::string missing;
    if (!repo.hasPackages(config.m_vRepoRequired, &missing)) {
        LOGE("repository is not for this product (missing required package '%s')", missing.c_str());
        return kFailed;
    }
    unmet = repo.updateRequirements();
    if (settings.m_bInstall) {
        std::vector<std::string> pull(settings.m_setPull.begin(), settings.m_setPull.end());
        if (!repo.hasPackages(pull, &missing)) {
            LOGE("respository does not have all packages requested to install, '%s' is missing",
                 missing.c_str());
            reportRequirements(unmet);
            return kFailed;
        }
    }
    if (!unmet.empty() && settings.m_setInclude.empty() &&
        repo.hasPackage(config.m_sFwUpgradePkg, PackageType::VTXPKG)) {
        reportRequirements(unmet);
        LOGI("firmware upgrade pkg available, re-trying upgrade via pkg");
        return PassOutcome{PassResult::FWUPGRADE, 0};
    }
    return std::nullopt;
}

// Second stage: the resolver's choice, checked against the update
// requirements, the firmware upgrade package and the running updater.
StageEnd chooseUpdate(const Config& config, const PackageList& external,
                      const PassSettings& settings, const DependencySet& unmet,
                      Resolver& resolver) {
    if (!resolver.init(external, settings.m_setInclude, settings.m_setExclude,
                       settings.m_setExcludedGroups, settings.m_setPull)) {
        LOGE("could not initialize resolver");
        reportRequirements(unmet);
        return kFailed;
    }
    if (!resolver.resolve(terminationPending)) {
        if (terminationPending()) {
            return kFailed;
        }
        reportRequirements(unmet);
        return PassOutcome{unmet.empty() ? PassResult::FAILED : PassResult::ERROR, 0};
    }
    const PackageSet& update = resolver.newPackages();
    if (update.empty()) {
        if (!unmet.empty()) {
            reportRequirements(unmet);
            return kFailed;
        }
        if (!settings.m_bQuiet) {
            LOGI("--- 0 UPDATE(S) ---");
            LOGI("no updates");
        }
        return PassOutcome{PassResult::OK, 0};
    }
    if (settings.m_setInclude.empty() &&
        resolver.hasNewPackage(config.m_sFwUpgradePkg, PackageType::VTXPKG)) {
        return PassOutcome{PassResult::FWUPGRADE, 0};
    }
    if (!unmet.empty() && (config.m_sFwUpgradePkg.empty() ||
                           settings.m_setInclude.count(config.m_sFwUpgradePkg) == 0)) {
        reportRequirements(unmet);
        return kFailed;
    }
    Dependency running = depFromName("updater-running");
    running.m_evr = parseEvr(UPDATER_VERSION);
    running.m_nFlags = RPMSENSE_EQUAL;
    DependencySet tooNew;
    if (!resolver.checkCapability(running, tooNew)) {
        for (const Dependency& requirement : tooNew) {
            LOGE("newer updater required to install: %s", depToString(requirement).c_str());
        }
        return PassOutcome{PassResult::FAILED, 0};
    }
    return std::nullopt;
}

// Last stage: the report of the chosen packages, then (unless only checking)
// their download, signature check and installation.
PassOutcome downloadAndInstall(const Config& config, PackageRepo& repo,
                               const PassSettings& settings, const PackageSet& update,
                               RunReport& report) {
    const size_t n = update.size();
    RpmFigures figures = reportUpdateSet(config, settings, update);
    if (settings.m_bCheckOnly) {
        return {PassResult::OK, n};
    }
    if (terminationPending() || !ignoreSighup()) {
        return {PassResult::ERROR, n};
    }
    HookResult hook = runHook("download");
    if (hook != HookResult::OK) {
        return {passResultOf(hook), n};
    }
    if (!setTerminationSignals(TerminationActions::DEFAULT)) {
        return {PassResult::ERROR, n};
    }
    if (terminationPending()) {
        setTerminationSignals(TerminationActions::RECORDED);
        return {PassResult::ERROR, n};
    }
    LOG_AT(settings.m_bQuieter ? LogLevel::Debug : LogLevel::Info, "downloading %zu packages", n);
    writeStatusOrWarn(Status::DOWNLOADING, DirectorySync::NO);
    bool downloaded = repo.getPackages(update);
    if (!setTerminationSignals(TerminationActions::RECORDED)) {
        return {PassResult::ERROR, n};
    }
    if (!downloaded) {
        LOGE("failed downloading packages");
        report.setFates(update, PackageFate::FAILED);
        return {PassResult::FAILED, n};
    }
    PassResult verified = verifyPackages(config, settings, update);
    if (verified != PassResult::OK) {
        report.setFates(update, PackageFate::FAILED);
        return {verified, n};
    }
    report.setFates(update, PackageFate::DOWNLOADED);
    if (settings.m_bDownloadOnly) {
        return {PassResult::OK, n};
    }
    std::vector<std::string> hookArgs = {
        std::to_string(figures.m_nCount),
        std::to_string(kibRoundedUp(figures.m_nTotalSize)),
        std::to_string(kibRoundedUp(figures.m_nLargest)),
    };
    if (settings.m_bIncludeIsUpdater) {
        hookArgs.push_back("no-stop");
    }
    return {installPackages(config, update, hookArgs, report), n, true};
}

}  // namespace

PassOutcome runPass(const Config& config, PackageRepo& repo, const PackageList& external,
                    const PassSettings& settings, RunReport& report) {
    DependencySet unmet;
    StageEnd end = checkRepository(config, repo, settings, unmet);
    report.setIndex(repo.revision(), repo.signatureTime());
    if (end) {
        return *end;
    }
    Resolver resolver(config, settings.m_typeMask, repo.packages());
    end = chooseUpdate(config, external, settings, unmet, resolver);
    // The updates are known when the pass goes on or ends with nothing to do.
    if (!end || (end->m_result == PassResult::OK && end->m_nCount == 0)) {
        report.setAnalysed();
        for (const Package& package : resolver.newPackages()) {
            report.addOffered(package, resolver.highestInstalled(package.m_sName.view()));
        }
    }
    if (end) {
        return *end;
    }
    return downloadAndInstall(config, repo, settings, resolver.newPackages(), report);
}
