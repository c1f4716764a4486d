#include "driver/command_line.h"

#include <rpm/rpmcli.h>

#include <cstdint>
#include <cstdlib>

#include "config/config.h"
#include "support/logger.h"

namespace {

// popt stores option values through pointers into a static table.
struct poptOption g_optionsTable[] = {
    {"quiet", 'q', POPT_ARG_NONE, nullptr, 0, "Do not output messages if nothing to be done.",
     nullptr},
    {"log-level", 'l', POPT_ARG_STRING, nullptr, 0,
     "Set the log level to one of trace, debug, info, warn, error or fatal.", nullptr},
    {"repo", 'r', POPT_ARG_STRING, nullptr, 0,
     "Use the specified repo from the configuration file instead of the default.", "repo-id"},
    {"repo-url", 0, POPT_ARG_STRING, nullptr, 0, "Override the URL for a specific repository ID.",
     "repo-id:url"},
    {"log-to-stderr", 0, POPT_ARG_NONE, nullptr, 0,
     "Output logs to stderr in addition to the outputs in the config file.", nullptr},
    {"log-to", 0, POPT_ARG_STRING, nullptr, 0, "Output logs also to the given file (not truncated)",
     "file"},
    {"check-only", 'n', POPT_ARG_NONE, nullptr, 0,
     "Checks and reports if any updates are required, does not update any packages.", nullptr},
    {"test", 'N', POPT_ARG_NONE, nullptr, 0, "Tests the updates but does not install them.",
     nullptr},
    {"no-sig-check", 0, POPT_ARG_NONE, nullptr, 0,
     "disables checking of metadata and package signatures.", nullptr},
    {"no-pkg-sig-check", 0, POPT_ARG_NONE, nullptr, 0, "disables checking of package signatures.",
     nullptr},
    {"no-md-sig-check", 0, POPT_ARG_NONE, nullptr, 0, "disables checking of metadata signatures.",
     nullptr},
    {"install", 0, POPT_ARG_NONE, nullptr, 0,
     "install packages given in command line if not yet installed, by default any packages "
     "given in the command line instead restrict the updates to just those packages.",
     nullptr},
    {"ignore-recommends", 0, POPT_ARG_NONE, nullptr, 0,
     "ignore package recommends while solving dependencies.", nullptr},
    {"no-reboot", 0, POPT_ARG_NONE, nullptr, 0,
     "Prevent reboot after updates, even if program determines that a reboot is necessary.",
     nullptr},
    {"background", 'b', POPT_ARG_NONE, nullptr, 0,
     "Background and detach process after initialization.", nullptr},
    {"cache-only", 'C', POPT_ARG_NONE, nullptr, 0,
     "runs from the cache, but required packages are still downloaded.", nullptr},
    {"no-cache-clean", 0, POPT_ARG_NONE, nullptr, 0,
     "prevents the cleaning of cached packages at startup / exit, mostly intended for "
     "debugging.",
     nullptr},
    {"check-db-headers", 0, POPT_ARG_NONE, nullptr, 0,
     "Force checking of package headers in rpm database; these are not checked by default "
     "since it is fairly slow.",
     nullptr},
    {"max-wait-time", 0, POPT_ARG_INT, nullptr, 0,
     "Specifies a maximum wait time before processing starts; the actual wait is a random "
     "duration between 0 and the specified value. Should be greater than zero or negative to "
     "disable.",
     "seconds"},
    {"lock-timeout", 0, POPT_ARG_INT, nullptr, 0,
     "Specifies the timeout when waiting to obtain the cache lock. Should be greater than zero "
     "or negative to disable.",
     "seconds"},
    {"cache-dir", 0, POPT_ARG_STRING, nullptr, 0,
     "Specify a cache directory other than the default.", "<dir>"},
    {"conf-file", 0, POPT_ARG_STRING, nullptr, 0,
     "Specify a configuration file other than the default '/etc/updater.conf'.", "<file>"},
    POPT_AUTOHELP POPT_TABLEEND};

void bindOptions(CommandLine& o) {
    void* targets[] = {&o.quiet,
                       &o.logLevel,
                       &o.repo,
                       &o.repoUrl,
                       &o.logToStderr,
                       &o.logTo,
                       &o.checkOnly,
                       &o.test,
                       &o.noSigCheck,
                       &o.noPkgSigCheck,
                       &o.noMdSigCheck,
                       &o.install,
                       &o.ignoreRecommends,
                       &o.noReboot,
                       &o.background,
                       &o.cacheOnly,
                       &o.noCacheClean,
                       &o.checkDbHeaders,
                       &o.maxWaitTime,
                       &o.lockTimeout,
                       &o.cacheDir,
                       &o.confFile};
    for (size_t i = 0; i < sizeof(targets) / sizeof(targets[0]); ++i) {
        g_optionsTable[i].arg = targets[i];
    }
}

}  // namespace

CommandLine::~CommandLine() {
    for (char* value : {logLevel, repo, repoUrl, logTo, cacheDir, confFile}) {
        free(value);
    }
}

poptContext parseCommandLine(int argc, char** argv, CommandLine& options) {
    bindOptions(options);
    poptContext context = rpmcliInit(argc, argv, g_optionsTable);
    if (context == nullptr) {
        return nullptr;
    }
    const char** args = poptGetArgs(context);
    for (; args != nullptr && *args != nullptr; ++args) {
        options.packages.insert(*args);
    }
    return context;
}

namespace {

// Switches that turn a configuration setting on (--no-sig-check turns two on).
const struct {
    int CommandLine::*option;
    bool Config::*setting;
} kSwitches[] = {
    {&CommandLine::quiet, &Config::m_bQuiet},
    {&CommandLine::logToStderr, &Config::m_bLogStderr},
    {&CommandLine::cacheOnly, &Config::m_bCacheOnly},
    {&CommandLine::checkOnly, &Config::m_bCheckOnly},
    {&CommandLine::test, &Config::m_bTest},
    {&CommandLine::noSigCheck, &Config::m_bNoPkgSigCheck},
    {&CommandLine::noPkgSigCheck, &Config::m_bNoPkgSigCheck},
    {&CommandLine::noSigCheck, &Config::m_bNoMdSigCheck},
    {&CommandLine::noMdSigCheck, &Config::m_bNoMdSigCheck},
    {&CommandLine::install, &Config::m_bInstall},
    {&CommandLine::ignoreRecommends, &Config::m_bIgnoreRecommends},
    {&CommandLine::noReboot, &Config::m_bNoReboot},
    {&CommandLine::background, &Config::m_bBackground},
    {&CommandLine::checkDbHeaders, &Config::m_bCheckDbHeaders},
    {&CommandLine::noCacheClean, &Config::m_bNoCacheClean},
};

// Numbers that replace a configuration value unless they are 0 (not given).
const struct {
    int CommandLine::*option;
    int32_t Config::*setting;
} kNumbers[] = {
    {&CommandLine::maxWaitTime, &Config::m_nMaxWaitTime},
    {&CommandLine::lockTimeout, &Config::m_nLockTimeout},
};

}  // namespace

void applyCommandLine(const CommandLine& o, Config& config) {
    for (const auto& entry : kSwitches) {
        if (o.*entry.option != 0) {
            config.*entry.setting = true;
        }
    }
    for (const auto& entry : kNumbers) {
        if (o.*entry.option != 0) {
            config.*entry.setting = o.*entry.option;
        }
    }
    if (o.logLevel != nullptr) {
        config.m_nLogLevel = parseLogLevel(o.logLevel);
    }
    if (o.cacheDir != nullptr) {
        config.m_sCacheDir = o.cacheDir;
    }
}

void normalizeCacheDir(Config& config) {
    if (config.m_sCacheDir.empty()) {
        config.m_sCacheDir = "./";
        LOGW("cache dir empty, assuming '%s'", config.m_sCacheDir.c_str());
    } else if (config.m_sCacheDir[0] != '/') {
        LOGW("cache dir '%s' is not an absolute path", config.m_sCacheDir.c_str());
    }
    if (config.m_sCacheDir.back() != '/') {
        config.m_sCacheDir += '/';
    }
}

bool applyRepositorySelection(const CommandLine& o, Config& config) {
    if (o.repoUrl != nullptr) {
        std::string value = o.repoUrl;
        size_t colon = value.find(':');
        if (colon == std::string::npos) {
            LOGE("missing ':' in --repo-url option");
            return false;
        }
        std::string id = value.substr(0, colon);
        std::string location = value.substr(colon + 1);
        if (id.empty()) {
            LOGE("missing ID in --repo-url option");
            return false;
        }
        if (location.empty()) {
            LOGE("missing URL in --repo-url option");
            return false;
        }
        Repository* repo = config.findRepository(id);
        if (repo != nullptr) {
            repo->m_sLocation = location;
        } else {
            LOGW("ignoring URL override for non-existing repo '%s'", id.c_str());
        }
    }
    if (o.repo != nullptr) {
        Repository* chosen = config.findRepository(o.repo);
        if (chosen == nullptr) {
            LOGE("no repository with ID '%s'", o.repo);
            return false;
        }
        for (Repository& repo : config.m_lRepositories) {
            repo.m_bEnabled = false;
        }
        chosen->m_bEnabled = true;
    } else {
        int enabled = 0;
        for (const Repository& repo : config.m_lRepositories) {
            if (repo.m_bEnabled) {
                ++enabled;
            }
        }
        if (enabled > 1) {
            LOGE("only one active repository supported");
            return false;
        }
    }
    return true;
}
