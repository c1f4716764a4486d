// Running the site hook script, rpm and the device package installer.
#pragma once

#include <string>
#include <vector>

#include "driver/pass_result.h"
#include "package/package.h"

class Config;
class RunReport;

enum class HookResult {
    OK,           // the hook succeeded, or there is none or it could not be started
    FAILED,       // it exited with a non-zero status
    INTERRUPTED,  // it did not exit normally
};

// What a failing hook makes of the pass it runs in.
constexpr PassResult passResultOf(HookResult hook) {
    return hook == HookResult::OK       ? PassResult::OK
           : hook == HookResult::FAILED ? PassResult::FAILED
                                        : PassResult::ERROR;
}

// Runs the hook script for a phase.
HookResult runHook(const std::string& phase, const std::vector<std::string>& args = {});

// Tests or installs the packages of one pass, noting in the report what
// became of each.
PassResult installPackages(const Config& config, const PackageSet& packages,
                           const std::vector<std::string>& hookArgs, RunReport& report);
