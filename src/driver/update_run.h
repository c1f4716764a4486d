// The whole update procedure: repository, start delay, plan of passes, result.
#pragma once

#include <set>
#include <string>

#include "driver/pass_result.h"

class Config;
class RunReport;

// Runs the update with the command-line package set (possibly empty), noting
// what it finds and does in the report.
PassResult runUpdate(const Config& config, const std::set<std::string>& packages,
                     RunReport& report);
