// Resolvers over real RPM databases: installed packages are built with
// rpmbuild and recorded with rpm; available packages are either read from
// built package files or made directly from the same descriptions.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "harness/log_capture.h"
#include "harness/package_builder.h"
#include "harness/sandbox.h"
#include "resolver/resolver.h"

// The package record the repository metadata would give for the description,
// with the provide of its own name and version that rpmbuild adds.
Package toPackage(const TestPackage& description, PackageType type = PKG_RPM);
PackageList toPackageList(const std::vector<TestPackage>& descriptions, PackageType type = PKG_RPM);

// The package record of a built package file, as the repository metadata lists
// it; its cache file is the package file.
Package readPackageFile(const std::string& path);

// "name-evr" of every package, in the set's order.
std::vector<std::string> packageNames(const PackageSet& packages);

class ResolverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Builds the packages and records them in this test's RPM database, after
    // those of earlier calls (an empty database when none are given).
    void install(const std::vector<TestPackage>& packages);
    // Builds the packages into a directory of their own; the paths in order.
    std::vector<std::string> build(const std::vector<TestPackage>& packages,
                                   const std::string& dir);

    // init with the given sets and no external packages.
    bool initResolver(Resolver& resolver, const NameSet& include = {}, const NameSet& exclude = {},
                      const NameSet& groups = {}, const NameSet& pull = {},
                      const PackageList& external = {});

    ScratchDir m_scratch;
    std::string m_sDbPath;
    PackageBuilder m_builder{m_scratch.file("build")};
    Config m_config;
    int m_nBuilds = 0;
};
