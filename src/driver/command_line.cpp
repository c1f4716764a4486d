#include "driver/command_line.h"

#include <rpm/rpmcli.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <variant>

#include "config/config.h"
#include "support/logger.h"

namespace {

// Where popt stores an option's value: a number (a switch or an integer) or
// a text that popt allocates.
using OptionTarget = std::variant<int CommandLine::*, char * CommandLine::*>;

// One option: its names, its popt kind (POPT_ARG_NONE and POPT_ARG_INT for a
// number, POPT_ARG_STRING for a text), the help texts and where its value goes.
struct OptionRow {
    const char* name;
    char letter;
    unsigned int kind;
    const char* help;
    const char* argDescription;
    OptionTarget target;
};

constexpr OptionRow kOptions[] = {
    {"quiet", 'q', POPT_ARG_NONE, "Do not output messages if nothing to be done.", nullptr,
     &CommandLine::quiet},
    {"log-level", 'l', POPT_ARG_STRING,
     "Set the log level to one of trace, debug, info, warn, error or fatal.", nullptr,
     &CommandLine::logLevel},
    {"repo", 'r', POPT_ARG_STRING,
     "Use the specified repo from the configuration file instead of the default.", "repo-id",
     &CommandLine::repo},
    {"repo-url", 0, POPT_ARG_STRING, "Override the URL for a specific repository ID.",
     "repo-id:url", &CommandLine::repoUrl},
    {"log-to-stderr", 0, POPT_ARG_NONE,
     "Output logs to stderr in addition to the outputs in the config file.", nullptr,
     &CommandLine::logToStderr},
    {"log-to", 0, POPT_ARG_STRING, "Output logs also to the given file (not truncated)", "file",
     &CommandLine::logTo},
    {"check-only", 'n', POPT_ARG_NONE,
     "Checks and reports if any updates are required, does not update any packages.", nullptr,
     &CommandLine::checkOnly},
    {"test", 'N', POPT_ARG_NONE, "Tests the updates but does not install them.", nullptr,
     &CommandLine::test},
    {"no-sig-check", 0, POPT_ARG_NONE, "disables checking of metadata and package signatures.",
     nullptr, &CommandLine::noSigCheck},
    {"no-pkg-sig-check", 0, POPT_ARG_NONE, "disables checking of package signatures.", nullptr,
     &CommandLine::noPkgSigCheck},
    {"no-md-sig-check", 0, POPT_ARG_NONE, "disables checking of metadata signatures.", nullptr,
     &CommandLine::noMdSigCheck},
    {"install", 0, POPT_ARG_NONE,
     "install packages given in command line if not yet installed, by default any packages "
     "given in the command line instead restrict the updates to just those packages.",
     nullptr, &CommandLine::install},
    {"ignore-recommends", 0, POPT_ARG_NONE, "ignore package recommends while solving dependencies.",
     nullptr, &CommandLine::ignoreRecommends},
    {"no-reboot", 0, POPT_ARG_NONE,
     "Prevent reboot after updates, even if program determines that a reboot is necessary.",
     nullptr, &CommandLine::noReboot},
    {"background", 'b', POPT_ARG_NONE, "Background and detach process after initialization.",
     nullptr, &CommandLine::background},
    {"cache-only", 'C', POPT_ARG_NONE,
     "runs from the cache, but required packages are still downloaded.", nullptr,
     &CommandLine::cacheOnly},
    {"no-cache-clean", 0, POPT_ARG_NONE,
     "prevents the cleaning of cached packages at startup / exit, mostly intended for "
     "debugging.",
     nullptr, &CommandLine::noCacheClean},
    {"check-db-headers", 0, POPT_ARG_NONE,
     "Force checking of package headers in rpm database; these are not checked by default "
     "since it is fairly slow.",
     nullptr, &CommandLine::checkDbHeaders},
    {"max-wait-time", 0, POPT_ARG_INT,
     "Specifies a maximum wait time before processing starts; the actual wait is a random "
     "duration between 0 and the specified value. Should be greater than zero or negative to "
     "disable.",
     "seconds", &CommandLine::maxWaitTime},
    {"lock-timeout", 0, POPT_ARG_INT,
     "Specifies the timeout when waiting to obtain the cache lock. Should be greater than zero "
     "or negative to disable.",
     "seconds", &CommandLine::lockTimeout},
    {"cache-dir", 0, POPT_ARG_STRING, "Specify a cache directory other than the default.", "<dir>",
     &CommandLine::cacheDir},
    {"conf-file", 0, POPT_ARG_STRING,
     "Specify a configuration file other than the default '/etc/updater.conf'.", "<file>",
     &CommandLine::confFile},
    {"clear-rebooting", 0, POPT_ARG_NONE,
     "Run once at boot: turn a REBOOTING status into READY and exit; any other status is "
     "left as it is.",
     nullptr, &CommandLine::clearRebooting},
    {"version", 0, POPT_ARG_NONE, "Print the program name and version and exit.", nullptr,
     &CommandLine::version},
};

constexpr bool targetsFitKinds() {
    for (const OptionRow& row : kOptions) {
        if (std::holds_alternative<char * CommandLine::*>(row.target) !=
            (row.kind == POPT_ARG_STRING)) {
            return false;
        }
    }
    return true;
}
static_assert(targetsFitKinds(), "text options store into a text, the others into a number");

void bindOptions(CommandLine& o) {
    o.table.clear();
    for (const OptionRow& row : kOptions) {
        void* target = std::visit([&o](auto member) -> void* { return &(o.*member); }, row.target);
        o.table.push_back(
            {row.name, row.letter, row.kind, target, 0, row.help, row.argDescription});
    }
    const struct poptOption help[] = {POPT_AUTOHELP POPT_TABLEEND};
    o.table.insert(o.table.end(), std::begin(help), std::end(help));
}

}  // namespace

CommandLine::~CommandLine() {
    for (const OptionRow& row : kOptions) {
        if (const auto* text = std::get_if<char * CommandLine::*>(&row.target)) {
            free(this->**text);
        }
    }
}

poptContext parseCommandLine(int argc, char** argv, CommandLine& options) {
    bindOptions(options);
    poptContext context = rpmcliInit(argc, argv, options.table.data());
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
