// Linked into every test binary that ctest runs whole inside sandbox-run:
// those tests write the system's fixed paths (/etc, /var), so started any
// other way the binary refuses to run instead of touching the host's files.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "harness/sandbox.h"

namespace {

bool insideSandbox() {
    for (const std::string& line : splitLines(readHostFile("/proc/self/mountinfo"))) {
        if (line.find(" /etc ") != std::string::npos &&
            line.find(" - overlay ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

class SandboxGuard : public ::testing::Environment {
    void SetUp() override {
        if (!insideSandbox()) {
            fprintf(stderr, "these tests write /etc and /var: run them through ctest\n");
            std::exit(2);
        }
    }
};

const auto* const kGuard = ::testing::AddGlobalTestEnvironment(new SandboxGuard);

}  // namespace
