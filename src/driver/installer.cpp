#include "driver/installer.h"

#include <unistd.h>

#include "config/config.h"
#include "driver/run_report.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "package/package.h"
#include "support/child_process.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/version.h"

HookResult runHook(const std::string& phase, const std::vector<std::string>& args) {
    ChildProcess hook(paths::kHookScript);
    hook.addArg(phase);
    hook.addArg(UPDATER_VERSION);
    for (const std::string& arg : args) {
        hook.addArg(arg);
    }
    LOGI("running %s hook", phase.c_str());
    // A missing hook script is a site without hooks, not a failing hook.
    if (access(paths::kHookScript, X_OK) != 0 || !hook.run()) {
        LOGW("failed starting hook, continuing anyways");
        return HookResult::OK;
    }
    if (hook.exited()) {
        if (hook.status() == 0) {
            return HookResult::OK;
        }
        LOGE("hook failed (exit code %i)", hook.status());
        return HookResult::FAILED;
    }
    LOGE("hook was interrupted");
    return HookResult::INTERRUPTED;
}

namespace {

// Runs rpm on the RPM packages of the set. Returns true when the device
// packages may follow; otherwise result holds the end of the installation.
bool installRpmPackages(const Config& config, const PackageSet& packages,
                        const std::vector<std::string>& hookArgs, PassResult& result) {
    const bool test = config.m_bTest;
    const char* failPhase = test ? "failtest" : "failupdate";
    ChildProcess rpm(paths::kRpmProgram);
    Status target;
    if (test) {
        rpm.addArg("--test");
        LOGI("testing package(s) update");
        target = Status::TESTING;
    } else {
        rpm.addArg("--define=__nofsync nofsync");
        rpm.addArg("-v");
        LOGI("updating package(s)");
        target = Status::UPDATING;
    }
    rpm.addArg("-U");
    for (const Package& package : packages) {
        if (package.m_nType == PackageType::RPM) {
            rpm.addArg(package.m_sCacheFile);
        } else {
            LOGD("excluding non-rpm package %s", packageToString(package).c_str());
        }
    }
    if (terminationPending()) {
        runHook(failPhase, hookArgs);
        result = PassResult::ERROR;
        return false;
    }
    if (!writeStatus(target, DirectorySync::YES)) {
        LOGE("failed setting status file for launching rpm, cannot continue");
        runHook(failPhase, hookArgs);
        result = PassResult::ERROR;
        return false;
    }
    bool started = rpm.run();
    if (!test) {
        sync();
    }
    if (!started) {
        LOGE("failed starting rpm to install packages, no packages upgraded");
        runHook(failPhase, hookArgs);
        writeStatusOrWarn(Status::READY, DirectorySync::YES);
        result = PassResult::FAILED;
        return false;
    }
    if (!rpm.exited()) {
        if (test) {
            LOGW("rpm was interrupted while testing package(s) installation");
            runHook("failtest", hookArgs);
            result = PassResult::ERROR;
        } else {
            LOGF("rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED");
            writeStatusOrWarn(Status::CORRUPTED, DirectorySync::NO);
            runHook("failupdate", hookArgs);
            result = PassResult::FATAL;
        }
        return false;
    }
    runHook(test ? "posttest" : "postupdate", hookArgs);
    if (rpm.status() != 0) {
        LOGE("package installation FAILED (exit code %i)", rpm.status());
        writeStatusOrWarn(Status::PKGSDONE, DirectorySync::YES);
        result = PassResult::FAILED;
        return false;
    }
    LOGI("packages %s OK", test ? "tested" : "installed");
    return true;
}

}  // namespace

PassResult installPackages(const Config& config, const PackageSet& packages,
                           const std::vector<std::string>& hookArgs, RunReport& report) {
    const bool test = config.m_bTest;
    const PassResult defaultResult =
        config.m_bNoReboot || test ? PassResult::OK : PassResult::REBOOT;
    const PackageFate done = test ? PackageFate::TESTED : PackageFate::INSTALLED;

    // Until the programs say otherwise, nothing of the pass got in.
    report.setFates(packages, PackageFate::FAILED);
    HookResult hook = runHook(test ? "test" : "update", hookArgs);
    if (hook != HookResult::OK) {
        return passResultOf(hook);
    }
    bool haveRpm = false;
    for (const Package& package : packages) {
        if (package.m_nType == PackageType::RPM) {
            haveRpm = true;
            break;
        }
    }
    LogLevel deviceFailureLevel = LogLevel::Error;
    if (haveRpm) {
        PassResult result = PassResult::OK;
        if (!installRpmPackages(config, packages, hookArgs, result)) {
            return result;
        }
        for (const Package& package : packages) {
            if (package.m_nType == PackageType::RPM) {
                report.setFate(package, done);
            }
        }
        deviceFailureLevel = LogLevel::Warning;
    } else {
        runHook(test ? "posttest" : "postupdate", hookArgs);
    }

    bool allDeviceOk = true;
    for (const Package& package : packages) {
        if (package.m_nType != PackageType::VTXPKG) {
            continue;
        }
        std::string name = packageToString(package);
        ChildProcess installer(paths::kDeviceInstaller);
        if (test) {
            installer.addArg("--test");
            installer.addArg("--");
        }
        installer.addArg(package.m_sCacheFile);
        if (!installer.run()) {
            LOG_AT(deviceFailureLevel, "failed installing pkg file for %s", name.c_str());
            allDeviceOk = false;
        } else if (!installer.exited()) {
            LOG_AT(deviceFailureLevel, "install of pkg file for %s was interrupted", name.c_str());
            allDeviceOk = false;
        } else if (installer.status() != 0) {
            LOG_AT(deviceFailureLevel, "install of pkg file for %s FAILED (exit code %i)",
                   name.c_str(), installer.status());
            allDeviceOk = false;
        } else {
            LOGI("%s of pkg file for %s succeeded", test ? "test" : "install", name.c_str());
            report.setFate(package, done);
        }
    }
    writeStatusOrWarn(Status::PKGSDONE, DirectorySync::YES);
    return allDeviceOk || haveRpm ? defaultResult : PassResult::FAILED;
}
