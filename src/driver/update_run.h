// The whole update procedure: repository, start delay, plan of passes, result.
#pragma once

#include <set>
#include <string>

class Config;

enum PassResult : int {
    RES_OK = 0,
    RES_ERROR = 1,
    RES_FATAL = 2,
    RES_REBOOT = -1,
    RES_FAILED = -2,
    RES_FWUPGRADE = -3,
};

// Runs the update with the command-line package set (possibly empty).
int runUpdate(const Config& config, const std::set<std::string>& packages);
