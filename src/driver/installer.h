// Running the site hook script, rpm and the device package installer.
#pragma once

#include <string>
#include <vector>

#include "resolver/package.h"

class Config;

// Runs the hook script for a phase: 0 when it succeeded or could not be
// started, -2 (RES_FAILED) when it exited with a non-zero status, 1
// (RES_ERROR) when it did not exit normally.
int runHook(const std::string& phase, const std::vector<std::string>& args = {});

// Tests or installs the packages of one pass and returns a PassResult.
int installPackages(const Config& config, const PackageSet& packages,
                    const std::vector<std::string>& hookArgs);
