#pragma once

constexpr const char* kProgramName = "updater";
// A build may set another version (the packaging script does, for a package
// with a changed version); otherwise this one is the program's version.
#ifndef UPDATER_VERSION
#define UPDATER_VERSION "1.17"
#endif
