// The option table and its application to the configuration.
#pragma once

#include <popt.h>

#include <set>
#include <string>
#include <vector>

class Config;

// Values of the command-line options as popt stores them.
struct CommandLine {
    CommandLine() = default;
    // The string values are allocated by popt and ours to free.
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int quiet = 0;
    char* logLevel = nullptr;
    char* repo = nullptr;
    char* repoUrl = nullptr;
    int logToStderr = 0;
    char* logTo = nullptr;
    int checkOnly = 0;
    int test = 0;
    int noSigCheck = 0;
    int noPkgSigCheck = 0;
    int noMdSigCheck = 0;
    int install = 0;
    int ignoreRecommends = 0;
    int noReboot = 0;
    int background = 0;
    int cacheOnly = 0;
    int noCacheClean = 0;
    int checkDbHeaders = 0;
    int maxWaitTime = 0;
    int lockTimeout = 0;
    char* cacheDir = nullptr;
    char* confFile = nullptr;
    int version = 0;
    int clearRebooting = 0;

    std::set<std::string> packages;
    // The option table handed to popt, bound to the values above; popt reads
    // it for as long as the context lives.
    std::vector<struct poptOption> table;
};

// Parses the command line through the RPM library's command-line
// initialisation (which also reads the RPM configuration). Returns the
// context, or null on failure. popt itself ends the process on bad options
// and after --help.
poptContext parseCommandLine(int argc, char** argv, CommandLine& options);

// Applies the options that override the configuration files, once they are
// read, but for --log-level, which the start-up reads before the files;
// repository selection and cache-directory checks come after.
void applyCommandLine(const CommandLine& options, Config& config);

// Normalises the cache directory: "./" when empty, always ending in "/".
void normalizeCacheDir(Config& config);

// Applies --repo-url and --repo; false (after logging) when the run must stop.
bool applyRepositorySelection(const CommandLine& options, Config& config);
