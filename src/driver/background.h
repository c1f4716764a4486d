// Detaching into the background after the stored status was checked.
#pragma once

#include <string>

class Config;

// True when the start-up goes on (in the child, or here when the fork
// failed); false when this process ends with exitCode.
bool goBackground(const Config& config, const std::string& modeName,
                  const std::string& logToFile, int& exitCode);
