// Detaching into the background after the stored status was checked.
#pragma once

#include <string>

class Config;

// Checks in the foreground that the stored status permits a run, then forks.
// True when the start-up goes on (in the child, or here when the fork failed);
// false when this process ends with exitCode (the parent: 0, or the refusal
// code of the status check, or 1 when the status cannot be read). The parent
// stops logging to logToFile (the --log-to file, empty when none), which the
// child goes on writing.
bool goBackground(const Config& config, const std::string& modeName, const std::string& logToFile,
                  int& exitCode);
