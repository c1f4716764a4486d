// Dependency resolution: pulling what the new packages need, recommended
// packages taken back, file dependencies, and the log a field engineer reads.
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "driver/signals.h"
#include "resolver_fixture.h"

namespace {

using Names = std::vector<std::string>;

Names withoutTrace(const Names& lines) {
    Names out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [](const std::string& line) { return line.rfind("TRACE: ", 0) != 0; });
    return out;
}

class ResolveTest : public ResolverTest {};

TEST_F(ResolveTest, ChainOfRequirementsIsPulledOverSeveralIterations) {
    install({TestPackage("app", "1.0-1")});
    PackageList available = toPackageList({
        TestPackage("app", "2.0-1").require("liba"),
        TestPackage("pa", "1.0-1").provide("liba").require("libb >= 2"),
        TestPackage("pb", "1.0-1").provide("libb = 1"),
        TestPackage("pb", "3.0-1").provide("libb = 3").require("/bin/sh"),
    });
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver));
    LogCapture log(LogLevel::Debug);
    ASSERT_TRUE(resolver.resolve());
    EXPECT_EQ(packageNames(resolver.newPackages()), (Names{"app-2.0-1", "pa-1.0-1", "pb-3.0-1"}));
    EXPECT_TRUE(resolver.badPackages().empty());
    Names expected = {
        "DEBUG: checking dependencies for 1 new packages",
        "DEBUG: failed dep: liba is required by app-2.0-1",
        "DEBUG: resolving unsatisfied required dependencies",
        "DEBUG: resolving dependencies (updates only, single package = 0)",
        "DEBUG: pulled 0 packages",
        "DEBUG: resolving dependencies (skip updates, single package = 0)",
        "DEBUG: checking provide liba",
        "DEBUG: pulling package pa-1.0-1 to satisfy 'liba'",
        "DEBUG: removing require 'liba', provided by pulled package",
        "DEBUG: pulled 1 packages",
        "DEBUG: checking dependencies for 2 new packages",
        "DEBUG: failed dep: libb >= 2 is required by pa-1.0-1",
        "DEBUG: resolving unsatisfied required dependencies",
        "DEBUG: resolving dependencies (updates only, single package = 0)",
        "DEBUG: pulled 0 packages",
        "DEBUG: resolving dependencies (skip updates, single package = 0)",
        "DEBUG: checking provide libb = 3",
        "DEBUG: pulling package pb-3.0-1 to satisfy 'libb >= 2'",
        "DEBUG: removing require 'libb >= 2', provided by pulled package",
        "DEBUG: pulled 1 packages",
        "DEBUG: checking dependencies for 3 new packages",
        "DEBUG: failed dep: /bin/sh is required by pb-3.0-1",
        "DEBUG: resolving unsatisfied required dependencies",
        "DEBUG: resolving dependencies (updates only, single package = 0)",
        "DEBUG: pulled 0 packages",
        "DEBUG: resolving dependencies (skip updates, single package = 0)",
        "DEBUG: pulled 0 packages",
        "DEBUG: resolving unsatisfied recommended dependencies",
        "DEBUG: checking for file-only requires",
        "DEBUG: only file dependencies are left unsatisfied, assuming all are satisfied",
    };
    EXPECT_EQ(log.lines(), expected);
}

TEST_F(ResolveTest, UpdatesArePreferredThenTheFirstNameInByteOrder) {
    install({TestPackage("zz-upd", "1.0-1"), TestPackage("app", "1.0-1")});
    PackageList available = toPackageList({
        TestPackage("aa-new", "1.0-1").provide("cap"),
        TestPackage("alpha", "1.0-1").provide("cap2"),
        TestPackage("app", "2.0-1").require("cap").require("cap2"),
        TestPackage("beta", "1.0-1").provide("cap2"),
        TestPackage("zz-upd", "2.0-1").provide("cap"),
    });
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver, {"app"}));
    LogCapture log;
    ASSERT_TRUE(resolver.resolve());
    EXPECT_EQ(packageNames(resolver.newPackages()),
              (Names{"alpha-1.0-1", "app-2.0-1", "zz-upd-2.0-1"}));
    EXPECT_TRUE(log.has("DEBUG: pulling package zz-upd-2.0-1 to satisfy 'cap'"));
    EXPECT_TRUE(log.has("DEBUG: pulling package alpha-1.0-1 to satisfy 'cap2'"));
    EXPECT_TRUE(
        log.has("TRACE: skip package aa-new-1.0-1 which does not update installed package"));
    EXPECT_TRUE(log.has("TRACE: skip package alpha-1.0-1 which does not update installed package"));
    EXPECT_TRUE(log.has("TRACE: package app-2.0-1 already in"));
}

TEST_F(ResolveTest, RecommendedPackagesThatCannotBeCompletedAreTakenBack) {
    install({TestPackage("base", "1.0-1")});
    PackageList available = toPackageList({
        TestPackage("app", "2.0-1").recommend("rx").recommend("ry").recommend("osreq-cap"),
        TestPackage("good", "1.0-1").provide("libgood"),
        TestPackage("os-update-requirements", "1.0-1").provide("osreq-cap").require("nowhere2"),
        TestPackage("rec-x", "1.0-1").provide("rx").require("libgood"),
        TestPackage("rec-y", "1.0-1").provide("ry").require("nowhere"),
    });
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver, {}, {}, {}, {"app"}));
    LogCapture log;
    ASSERT_TRUE(resolver.resolve());
    // rec-y and what was pulled for it are gone again; rec-x stays with what it needs.
    EXPECT_EQ(packageNames(resolver.newPackages()),
              (Names{"app-2.0-1", "good-1.0-1", "rec-x-1.0-1"}));
    EXPECT_EQ(packageNames(resolver.badPackages()),
              (Names{"os-update-requirements-1.0-1", "rec-y-1.0-1"}));
    EXPECT_TRUE(
        log.has("DEBUG: dropping recommended os-update-requirements-1.0-1 as it leads to "
                "unsatisfiable dependency"));
    EXPECT_TRUE(
        log.has("INFO: dropping recommended rec-y-1.0-1 as it leads to unsatisfiable dependency"));
    EXPECT_TRUE(log.has("DEBUG: resolving dependencies (skip updates, single package = 1)"));
    EXPECT_TRUE(log.has("TRACE: package rec-y-1.0-1 in bad updates"));
    EXPECT_TRUE(log.has("DEBUG: only recommends dependencies are left unsatisfied"));
    EXPECT_FALSE(log.contains("ERROR"));
}

TEST_F(ResolveTest, RecommendsAreIgnoredOnRequestAndLimitedToNewPackagesWithAnIncludeSet) {
    install({TestPackage("inst", "1.0-1").recommend("rz"), TestPackage("app", "1.0-1")});
    PackageList available = toPackageList({
        TestPackage("app", "2.0-1").recommend("rx"),
        TestPackage("rec-x", "1.0-1").provide("rx"),
        TestPackage("rec-z", "1.0-1").provide("rz"),
    });
    {
        Resolver resolver(m_config, 0, available);
        ASSERT_TRUE(initResolver(resolver));
        ASSERT_TRUE(resolver.resolve());
        EXPECT_EQ(packageNames(resolver.newPackages()),
                  (Names{"app-2.0-1", "rec-x-1.0-1", "rec-z-1.0-1"}));
    }
    {
        Resolver resolver(m_config, 0, available);
        ASSERT_TRUE(initResolver(resolver, {"app"}));
        ASSERT_TRUE(resolver.resolve());
        EXPECT_EQ(packageNames(resolver.newPackages()), (Names{"app-2.0-1", "rec-x-1.0-1"}));
    }
    m_config.m_bIgnoreRecommends = true;
    LogCapture log;
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver));
    ASSERT_TRUE(resolver.resolve());
    EXPECT_EQ(packageNames(resolver.newPackages()), Names{"app-2.0-1"});
    EXPECT_FALSE(log.contains("recommended"));
}

TEST_F(ResolveTest, UnsatisfiableRequirementsAreReportedWithoutFileDependencies) {
    install({TestPackage("old", "1.0-1").provide("libold").require("gone"),
             TestPackage("user", "1.0-1").require("libold")});
    // The replacement obsoletes old: old's provides and its own broken
    // requirement leave the system.
    std::vector<TestPackage> packages = {
        TestPackage("repl", "1.0-1")
            .obsolete("old")
            .require("/usr/bin/tool")
            .require("libnew >= 2"),
        TestPackage("newlib", "1.0-1").provide("libnew = 1"),
    };
    {
        LogCapture log;
        PackageList available = toPackageList(packages);
        Resolver resolver(m_config, 0, available);
        ASSERT_TRUE(initResolver(resolver));
        EXPECT_FALSE(resolver.resolve());
        EXPECT_EQ(packageNames(resolver.newPackages()), Names{"repl-1.0-1"});
        Names lines = log.lines();
        Names report = {"ERROR: unsatisfied non-file dependencies:", "ERROR: \tlibnew >= 2",
                        "ERROR: \tlibold", "ERROR: cannot update"};
        ASSERT_GE(lines.size(), report.size());
        EXPECT_EQ(Names(lines.end() - 4, lines.end()), report);
        EXPECT_FALSE(log.contains("failed dep: gone"));
    }
    packages.push_back(TestPackage("compat", "1.0-1").provide("libold"));
    packages.push_back(TestPackage("newlib", "2.0-1").provide("libnew = 2"));
    packages.push_back(TestPackage("tools", "1.0-1").provide("/usr/bin/tool"));
    PackageList available = toPackageList(packages);
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver));
    EXPECT_TRUE(resolver.resolve());
    EXPECT_EQ(packageNames(resolver.newPackages()),
              (Names{"compat-1.0-1", "newlib-2.0-1", "repl-1.0-1", "tools-1.0-1"}));
}

TEST_F(ResolveTest, PackagesNotNewerThanTheInstalledOnesAreNeverPulled) {
    install({TestPackage("foo", "2.0-1").provide("libx = 2.0"),
             TestPackage("same", "1.0-1").provide("liby = 0.9")});
    std::vector<TestPackage> packages = {
        TestPackage("bar", "1.0-1").require("libx = 1.0").require("liby = 1.0-2"),
        TestPackage("foo", "1.0-1").provide("libx = 1.0"),
        TestPackage("same", "1.0-1").provide("liby = 1.0-2"),
    };
    {
        LogCapture log;
        PackageList available = toPackageList(packages);
        Resolver resolver(m_config, 0, available);
        ASSERT_TRUE(initResolver(resolver, {}, {}, {}, {"bar"}));
        EXPECT_FALSE(resolver.resolve());
        EXPECT_TRUE(
            log.has("TRACE: skip package foo-1.0-1 which is not newer than installed foo-2.0-1"));
        EXPECT_TRUE(
            log.has("TRACE: skip package same-1.0-1 which is not newer than installed same-1.0-1"));
        EXPECT_TRUE(log.has("ERROR: \tlibx = 1.0"));
    }
    packages.push_back(TestPackage("zlibx", "1.0-1").provide("libx = 1.0").provide("liby"));
    PackageList available = toPackageList(packages);
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver, {}, {}, {}, {"bar"}));
    EXPECT_TRUE(resolver.resolve());
    EXPECT_EQ(packageNames(resolver.newPackages()), (Names{"bar-1.0-1", "zlibx-1.0-1"}));
}

// The pull passes look only at the packages that can matter unless the walk
// is traced; what they log above trace level must not depend on that.
TEST_F(ResolveTest, UntracedResolutionLogsWhatTheFullWalkLogs) {
    install({TestPackage("base", "1.0-1").recommend("rb"), TestPackage("app", "1.0-1"),
             TestPackage("old", "1.0-1").provide("oldcap"),
             TestPackage("user", "1.0-1").require("oldcap")});
    std::vector<TestPackage> packages = {
        TestPackage("app", "2.0-1").require("liba").recommend("rx").recommend("ry"),
        TestPackage("app", "1.5-1").require("never"),
        TestPackage("obsx", "1.0-1").obsolete("old").provide("oldcap"),
        TestPackage("pa", "1.0-1").provide("liba").require("libb"),
        TestPackage("pb", "1.0-1").provide("libb = 1"),
        TestPackage("pb", "2.0-1").provide("libb = 2").require("libc").require("/bin/sh"),
        TestPackage("pc", "1.0-1").provide("libc"),
        TestPackage("rec-b", "1.0-1").provide("rb"),
        TestPackage("rec-x", "1.0-1").provide("rx").require("libb >= 2"),
        TestPackage("rec-y", "1.0-1").provide("ry").require("nowhere"),
    };
    for (int i = 0; i < 20; ++i) {
        packages.push_back(TestPackage("filler" + std::to_string(i), "1.0-1").provide("fcap"));
    }
    PackageList available = toPackageList(packages);
    Names traced;
    for (LogLevel level : {LogLevel::Trace, LogLevel::Debug}) {
        LogCapture log(level);
        Resolver resolver(m_config, 0, available);
        ASSERT_TRUE(initResolver(resolver, {}, {"obsx"}));
        ASSERT_TRUE(resolver.resolve());
        EXPECT_EQ(
            packageNames(resolver.newPackages()),
            (Names{"app-2.0-1", "pa-1.0-1", "pb-2.0-1", "pc-1.0-1", "rec-b-1.0-1", "rec-x-1.0-1"}));
        if (level == LogLevel::Trace) {
            traced = withoutTrace(log.lines());
            EXPECT_GT(log.countContaining("TRACE: checking package filler"), 20);
        } else {
            EXPECT_EQ(log.lines(), traced);
            // The excluded obsx obsoletes an installed package: every pass says so.
            EXPECT_GT(log.count("DEBUG: considering obsx-1.0-1 newer than old-1.0-1 due to "
                                "obsoletes"),
                      4);
        }
    }
}

TEST_F(ResolveTest, TerminationSignalEndsTheLoopWithoutReport) {
    install({});
    PackageList available = toPackageList({
        TestPackage("app", "1.0-1").require("liba"),
        TestPackage("pa", "1.0-1").provide("liba").require("libb"),
        TestPackage("pb", "1.0-1").provide("libb"),
    });
    auto run = [&]() {
        bool ok = initSignals() && raise(SIGTERM) == 0 && terminationPending();
        {
            LogCapture log;
            Resolver resolver(m_config, 0, available);
            ok = ok && initResolver(resolver, {}, {}, {}, {"app"});
            ok = ok && !resolver.resolve();
            // One iteration ran: pa was pulled, pb was not.
            ok = ok && packageNames(resolver.newPackages()) == Names{"app-1.0-1", "pa-1.0-1"};
            ok = ok && !log.contains("ERROR");
        }
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");

    // Everything satisfied: still false once a signal is pending.
    auto satisfied = [&]() {
        bool ok = initSignals() && raise(SIGTERM) == 0;
        {
            PackageList empty;
            Resolver resolver(m_config, 0, empty);
            ok = ok && initResolver(resolver) && !resolver.resolve();
        }
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(satisfied(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
