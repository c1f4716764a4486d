#pragma once

constexpr const char* kProgramName = "updater";
#define UPDATER_VERSION "1.17"
