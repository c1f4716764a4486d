// Entry of the updater: start-up, hand-over to the update run, shut-down.
#include <libxml/xmlversion.h>
#include <ne_alloc.h>
#include <ne_socket.h>
#include <pwd.h>
#include <rpm/rpmcli.h>
#include <rpm/rpmlog.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "config/config.h"
#include "driver/background.h"
#include "driver/cache_lock.h"
#include "driver/command_line.h"
#include "driver/reboot.h"
#include "driver/run_report.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "driver/update_run.h"
#include "net/downloader.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/system.h"
#include "support/version.h"

namespace {

// The stream the RPM library writes to (the null device: its messages reach
// the log through the callback); taken from the library before it is closed.
struct RpmLogFileCloser {
    void operator()(FILE* file) const {
        rpmlogSetFile(nullptr);
        fclose(file);
    }
};

void outOfMemory() {
    LOGF("out of memory, aborting execution");
    _exit(2);
}

std::string lastPathComponent(const char* path) {
    std::string text = path != nullptr ? path : kProgramName;
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// Works from "/" and makes sure HOME is set.
bool enterRootDirectory() {
    if (chdir("/") != 0) {
        LOGE("failed to change to the root directory (%s)", errnoString().c_str());
        return false;
    }
    if (getenv("HOME") == nullptr) {
        struct passwd* entry = getpwuid(getuid());
        if (entry == nullptr) {
            LOGW("HOME not set in environment but no entry in user database for current user");
        } else if (setenv("HOME", entry->pw_dir, 0) != 0) {
            LOGW("failed to set HOME in environment");
        } else {
            LOGD("HOME set to '%s' in environment", entry->pw_dir);
        }
    }
    return true;
}

// False when the "no run" file is there (or cannot be checked): the program stops.
bool runningAllowed() {
    struct stat st;
    if (lstat(paths::kNoRunFile, &st) == 0) {
        LOGE("running is disabled by \"no run\" file '%s'", paths::kNoRunFile);
        return false;
    }
    if (errno == EACCES) {
        LOGE("failed checking existence of '%s' (%s)", paths::kNoRunFile, errnoString().c_str());
        LOGE("running is disabled by \"no run\" file '%s'", paths::kNoRunFile);
        return false;
    }
    return true;
}

// "updater 1.17" on standard output. Returns the exit code.
int printVersion() {
    if (printf("%s %s\n", kProgramName, UPDATER_VERSION) < 0 || fflush(stdout) != 0) {
        LOGE("failed writing the version to standard output (%s)", errnoString().c_str());
        return 1;
    }
    return 0;
}

// Everything that runs under the cache lock, from the mode line to the end of
// the update run. Returns the exit code; reboot tells whether the run asks for
// a restart of the appliance. What the run did goes into its report.
int runLocked(Config& config, const CommandLine& options, bool& reboot, RunReport& report) {
    const char* mode = config.m_bCheckOnly ? "check" : config.m_bTest ? "test" : "update";
    int iRet = 1;
    report.setRun(mode, config, options.packages);

    if (config.m_bBackground) {
        std::string logTo = options.logTo != nullptr ? options.logTo : "";
        if (!goBackground(config, mode, logTo, iRet)) {
            return iRet;
        }
        iRet = 1;
    }
    if (!acquireCacheLock(config)) {
        return iRet;
    }
    report.setLockTaken();
    theLogger().addFile(paths::kLastLogFile, LogLevel::Info, Logger::FileMode::TRUNCATE);

    if (!config.m_bQuiet) {
        LOGI("%s version %s, product %s", kProgramName, UPDATER_VERSION, config.m_sProduct.c_str());
        LOGI("--- MODE %s ---", mode);
        if (!config.m_network.m_sProxyServer.empty()) {
            LOGI("using HTTP proxy '%s' port %u", config.m_network.m_sProxyServer.c_str(),
                 config.m_network.m_nProxyPort);
        }
    }

    URLFetcher::initialize(config.m_network);

    std::string noUpdate;
    if (readOsRelease("VTX_NO_UPDATE=", noUpdate)) {
        LOGE("firmware update is disabled: %s", noUpdate.c_str());
        report.setRefused();
        return 1;
    }

    Status status = Status::READY;
    if (!readStatus(status)) {
        LOGE("cannot recover status, aborting");
        return 1;
    }
    int refusal = 1;
    if (!checkStartStatus(status, refusal)) {
        report.setRefused();
        return refusal;
    }
    PassResult result = runUpdate(config, options.packages, report);
    if (result != PassResult::FATAL) {
        writeStatusOrWarn(Status::READY, DirectorySync::NO);
    }
    reboot = result == PassResult::REBOOT;
    return exitCodeOf(result);
}

// Reads the defaults and configuration files, applies the command line and sets
// up logging. False means exit 1.
bool configure(Config& config, const CommandLine& options) {
    if (options.logTo != nullptr) {
        theLogger().addFile(options.logTo, LogLevel::Trace, Logger::FileMode::APPEND);
    }
    // --log-level is read here, once: trace and debug take effect at once, so
    // that the reading of the configuration files can be followed.
    std::optional<LogLevel> level;
    if (options.logLevel != nullptr) {
        level = parseLogLevel(options.logLevel);
        if (*level <= LogLevel::Debug) {
            theLogger().setLevel(*level);
        }
    }
    if (!config.load(paths::kDefaultsFile, true)) {
        LOGD("missing or incorrect defaults file '%s'", paths::kDefaultsFile);
    }
    const char* confFile = options.confFile != nullptr ? options.confFile : paths::kConfigFile;
    if (!config.load(confFile, false)) {
        LOGE("failed parsing configuration file '%s'", confFile);
        return false;
    }
    applyCommandLine(options, config);
    if (level) {
        config.m_nLogLevel = *level;
    }
    normalizeCacheDir(config);
    if (!config.m_bLogStderr && !config.m_bLogSyslog) {
        config.m_bLogStderr = true;
        LOGE("no log output! enabling stderr");
    }
    if (!applyRepositorySelection(options, config)) {
        return false;
    }
    theLogger().setLevel(config.m_nLogLevel);
    theLogger().setStderr(config.m_bLogStderr);
    theLogger().setSyslog(config.m_bLogSyslog, LOG_PID, config.m_nSyslogFacility);
    LOGD("initialized OK");
    return enterRootDirectory() && runningAllowed();
}

}  // namespace

int main(int argc, char** argv) {
    RunReport report;
    Config config;
    theLogger().setName(lastPathComponent(argc > 0 ? argv[0] : nullptr));
    if (!initSignals()) {
        return 1;
    }
    std::set_new_handler(outOfMemory);
    ne_oom_callback(outOfMemory);
    xmlCheckVersion(20910);
    if (ne_sock_init() != 0) {
        LOGE("failed initializing (neon)");
        return 1;
    }
    rpmlogSetCallback(rpmLogCallback, nullptr);
    std::unique_ptr<FILE, RpmLogFileCloser> rpmLogFile(fopen(paths::kDevNull, "we"));
    if (!rpmLogFile) {
        LOGW("failed opening /dev/null output");
    } else {
        rpmlogSetFile(rpmLogFile.get());
    }

    CommandLine options;
    poptContext context = parseCommandLine(argc, argv, options);
    if (context == nullptr) {
        LOGE("failed initializing (rpm)");
        return 1;
    }

    // --version and --clear-rebooting do their one thing before anything else:
    // no configuration, no lock, no log file, no exit line.
    const bool oneThing = options.version != 0 || options.clearRebooting != 0;
    int iRet = 1;
    bool reboot = false;
    if (options.version != 0) {
        iRet = printVersion();
    } else if (options.clearRebooting != 0) {
        iRet = clearRebootingStatus();
    } else if (configure(config, options)) {
        iRet = runLocked(config, options, reboot, report);
    }

    // Shut-down.
    rpmcliFini(context);
    rpmlogSetFile(nullptr);
    rpmLogFile.reset();
    ne_sock_exit();
    if (oneThing) {
        return iRet;
    }
    // Reboot when asked, the report, the exit line, default signal actions,
    // and a recorded termination signal re-raised when the run did not succeed.
    return finishProcess(iRet, reboot, config.m_bQuiet, report.lockTaken() ? &report : nullptr);
}
