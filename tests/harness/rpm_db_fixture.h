// A test fixture whose RPM library reads and writes a database of the test's
// own: the library reads its configuration once, and each test points the
// database path at a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>

#include <string>

#include "harness/sandbox.h"

class RpmDbFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static bool configured = rpmReadConfigFiles(nullptr, nullptr) == 0;
        ASSERT_TRUE(configured);
    }
    void SetUp() override {
        dbPath_ = scratch_.file("rpmdb");
        rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath_.c_str(), RMIL_CMDLINE);
    }
    void TearDown() override { rpmPopMacro(nullptr, "_dbpath"); }

    ScratchDir scratch_;
    std::string dbPath_;
};
