// Selection of newer packages and the firmware release guard, against real
// RPM databases of installed packages.
#include <algorithm>

#include "resolver_fixture.h"

namespace {

using Names = std::vector<std::string>;

// The lines of the capture from the first one equal to `from`.
Names linesFrom(const LogCapture& log, const std::string& from) {
    Names lines = log.lines();
    auto it = std::find(lines.begin(), lines.end(), from);
    return Names(it, lines.end());
}

class SelectionTest : public ResolverTest {};

TEST_F(SelectionTest, CandidateIsTheHighestEntryAndMustBeNewerThanEveryInstalledOne) {
    install({TestPackage("foo", "1.0-1"), TestPackage("multi", "0.5-1"),
             TestPackage("same", "1.0-1"), TestPackage("epoch", "1:1.0-1")});
    install({TestPackage("multi", "2.0-1")});
    PackageList available = toPackageList({
        TestPackage("foo", "1.0-1"),
        TestPackage("foo", "1.0-2").group("first"),
        TestPackage("foo", "1.0-2").group("second"),
        TestPackage("foo", "0.9-1"),
        TestPackage("multi", "1.0-1"),
        TestPackage("same", "1.0-1"),
        TestPackage("epoch", "9.0-1"),
        TestPackage("fresh", "1.0-1"),
    });
    LogCapture log;
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver));

    // Equal versions keep the entry read first; one installed multi is not
    // lower; the epoch outweighs the version; fresh is not installed.
    ASSERT_EQ(packageNames(resolver.newPackages()), Names{"foo-1.0-2"});
    EXPECT_EQ(resolver.newPackages().begin()->m_sGroup, "first");
    Names expected = {
        "DEBUG: resolving for newer packages",
        "TRACE: checking update epoch-9.0-1 (group )",
        "TRACE: checking installed epoch-1:1.0-1",
        "TRACE: dropping update foo-1.0-1 for newer foo-1.0-2",
        "TRACE: dropping update foo-1.0-2, has newer foo-1.0-2",
        "TRACE: dropping update foo-0.9-1, has newer foo-1.0-2",
        "TRACE: checking update foo-1.0-2 (group first)",
        "TRACE: checking installed foo-1.0-1",
        "DEBUG: found newer package foo-1.0-2",
        "TRACE: checking update fresh-1.0-1 (group )",
        "TRACE: checking update multi-1.0-1 (group )",
        "TRACE: checking installed multi-0.5-1",
        "TRACE: checking installed multi-2.0-1",
        "TRACE: checking update same-1.0-1 (group )",
        "TRACE: checking installed same-1.0-1",
        "DEBUG: done resolving for newer packages",
    };
    EXPECT_EQ(linesFrom(log, expected[0]), expected);
}

TEST_F(SelectionTest, PullSetObsoletesIncludeExcludeGroupsAndTypes) {
    install({TestPackage("old", "1.0-1"), TestPackage("tool", "1.0-1"),
             TestPackage("addon", "1.0-1"), TestPackage("dev", "1.0-1"),
             TestPackage("os-update-requirements", "1.0-1")});
    PackageList available = toPackageList({
        TestPackage("new", "1.0-1").obsolete("old < 2.0"),
        TestPackage("unrelated", "1.0-1").obsolete("old < 0.5"),
        TestPackage("wanted", "1.0-1"),
        TestPackage("tool", "2.0-1"),
        TestPackage("addon", "2.0-1").group("Addons"),
        TestPackage("os-update-requirements", "2.0-1"),
    });
    PackageList devices = toPackageList({TestPackage("dev", "2.0-1")}, PKG_VTXPKG);
    for (const Package& p : devices) {
        available.insert(p);
    }
    Package image = toPackage(TestPackage("image", "1.0-1"), PKG_FLASHEDFW);
    available.insert(image);

    {
        LogCapture log;
        Resolver resolver(m_config, 0, available);
        ASSERT_TRUE(initResolver(resolver, {}, {}, {}, {"wanted", "image"}));
        EXPECT_EQ(packageNames(resolver.newPackages()),
                  (Names{"addon-2.0-1", "dev-2.0-1", "image-1.0-1", "new-1.0-1", "tool-2.0-1",
                         "wanted-1.0-1"}));
        EXPECT_TRUE(log.has("DEBUG: considering wanted-1.0-1 as newer because in pull set"));
        EXPECT_TRUE(log.has("DEBUG: considering new-1.0-1 newer than old-1.0-1 due to obsoletes"));
        EXPECT_TRUE(log.has("TRACE: checking obsoletes 'old < 0.5'"));
        EXPECT_TRUE(
            log.has("WARNING: special os-update-requirements is available in repository "
                    "but also installed, ignoring"));
        EXPECT_TRUE(resolver.hasNewPackage("dev", PKG_VTXPKG));
        EXPECT_TRUE(resolver.hasNewPackage("dev", PKG_NONE));
        EXPECT_FALSE(resolver.hasNewPackage("dev", PKG_RPM));
        EXPECT_FALSE(resolver.hasNewPackage("unrelated", PKG_NONE));
    }
    {
        // Only RPM packages: the device package and the image stay out.
        LogCapture log;
        Resolver resolver(m_config, typeBit(PKG_NONE) | typeBit(PKG_VTXPKG), available);
        ASSERT_TRUE(initResolver(resolver, {}, {"tool"}, {"Addons"}, {"wanted", "image"}));
        EXPECT_EQ(packageNames(resolver.newPackages()), (Names{"new-1.0-1", "wanted-1.0-1"}));
        EXPECT_EQ(log.count("TRACE: skipping package excluded by type"), 2);
        EXPECT_EQ(log.count("TRACE: skipping package in exclude set"), 2);
    }
    {
        // The include set limits everything, pull set and obsoletes included.
        LogCapture log;
        Resolver resolver(m_config, 0, available);
        ASSERT_TRUE(initResolver(resolver, {"tool", "unknown"}, {}, {}, {"wanted"}));
        EXPECT_EQ(packageNames(resolver.newPackages()), Names{"tool-2.0-1"});
        EXPECT_EQ(log.count("TRACE: skipping package not in include set"), 7);
    }
}

TEST_F(SelectionTest, ExcludedPackagesKeepWhatTheyObsoleteOutAndNewPackagesReplaceEachOther) {
    install({TestPackage("bar", "1.0-1"), TestPackage("keeper", "1.0-1"),
             TestPackage("skipped", "1.0-1"), TestPackage("typed", "1.0-1"),
             TestPackage("zed", "1.0-1"), TestPackage("zzz", "1.0-1"), TestPackage("a", "1.0-1"),
             TestPackage("b", "1.0-1"), TestPackage("c", "1.0-1"), TestPackage("d", "1.0-1"),
             TestPackage("e", "1.0-1")});
    PackageList available = toPackageList({
        TestPackage("bar", "2.0-1"),
        // Excluded: whatever it obsoletes stays out, by name alone, earlier or later in the walk.
        TestPackage("ex", "1.0-1").obsolete("bar > 9.0").obsolete("zed"),
        TestPackage("zed", "2.0-1").obsolete("zzz"),
        TestPackage("zzz", "2.0-1"),
        // Skipped by the include set or the type mask only: its obsoletes do nothing.
        TestPackage("skipped", "2.0-1").obsolete("keeper"),
        TestPackage("keeper", "2.0-1"),
        // New packages among themselves.
        TestPackage("a", "2.0-1").obsolete("b < 3.0").obsolete("c < 2.0").obsolete("a"),
        TestPackage("b", "2.0-1").obsolete("d"),
        TestPackage("c", "2.0-1"),
        TestPackage("d", "2.0-1"),
        TestPackage("e", "2.0-1").obsolete("a = 2.0-1"),
    });
    Package typed = toPackage(TestPackage("typed", "2.0-1").obsolete("c"), PKG_VTXPKG);
    available.insert(typed);

    LogCapture log;
    Resolver resolver(m_config, typeBit(PKG_VTXPKG), available);
    ASSERT_TRUE(initResolver(resolver, {}, {"ex"}));
    // a removes b (2.0 < 3.0) but not c (2.0 is not < 2.0) nor itself, b is
    // gone before it could remove d, e removes a, skipped removes keeper.
    EXPECT_EQ(packageNames(resolver.newPackages()),
              (Names{"c-2.0-1", "d-2.0-1", "e-2.0-1", "skipped-2.0-1"}));
    Names lines = log.lines();
    Names expected = {
        "TRACE: checking update ex-1.0-1 (group )",
        "TRACE: skipping package in exclude set",
        "TRACE: adding bar to exclude set, obsoleted by excluded package",
        "TRACE: adding zed to exclude set, obsoleted by excluded package",
    };
    EXPECT_NE(std::search(lines.begin(), lines.end(), expected.begin(), expected.end()),
              lines.end());
    EXPECT_TRUE(log.has("TRACE: adding zzz to exclude set, obsoleted by excluded package"));
    EXPECT_TRUE(log.has("DEBUG: removing b-2.0-1 from new packages, obsoleted by a-2.0-1"));
    EXPECT_TRUE(log.has("DEBUG: removing a-2.0-1 from new packages, obsoleted by e-2.0-1"));
    EXPECT_FALSE(log.contains("obsoleted by b-2.0-1"));

    // Outside the include set, neither ex nor skipped keeps anything out.
    Resolver limited(m_config, 0, available);
    ASSERT_TRUE(initResolver(limited, {"keeper", "zed"}, {"ex"}));
    EXPECT_EQ(packageNames(limited.newPackages()), (Names{"keeper-2.0-1", "zed-2.0-1"}));
}

TEST_F(SelectionTest, ExternalPackagesCountAsInstalled) {
    install({TestPackage("foo", "1.0-1")});
    PackageList external =
        toPackageList({TestPackage("foo", "3.0-1"), TestPackage("dev", "2.0-1")}, PKG_VTXPKG);
    PackageList available = toPackageList(
        {TestPackage("dev", "2.0-1"), TestPackage("dev", "2.1-1"), TestPackage("foo", "2.0-1")});
    LogCapture log;
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver, {}, {}, {}, {}, external));
    EXPECT_EQ(packageNames(resolver.newPackages()), Names{"dev-2.1-1"});
    EXPECT_TRUE(log.has("DEBUG: adding external package foo-3.0-1 to installed packages"));
    Names lines = log.lines();
    Names expected = {"TRACE: checking installed foo-1.0-1", "TRACE: checking installed foo-3.0-1"};
    EXPECT_NE(std::search(lines.begin(), lines.end(), expected.begin(), expected.end()),
              lines.end());
}

TEST_F(SelectionTest, InitFailsWithoutDatabaseOrWhenRepeated) {
    PackageList available = toPackageList({TestPackage("foo", "1.0-1")});
    {
        LogCapture log;
        Resolver resolver(m_config, 0, available);
        EXPECT_FALSE(initResolver(resolver, {}, {}, {}, {"foo"}));
        EXPECT_TRUE(log.has("ERROR: failed opening rpm database"));
        EXPECT_FALSE(resolver.resolve());
        EXPECT_TRUE(resolver.newPackages().empty());
    }
    install({});
    LogCapture log;
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver, {}, {}, {}, {"foo"}));
    EXPECT_FALSE(initResolver(resolver));
    EXPECT_TRUE(log.has("ERROR: attempted to reinitilize a resolver"));
    EXPECT_EQ(packageNames(resolver.newPackages()), Names{"foo-1.0-1"});
}

TEST_F(SelectionTest, CheckCapabilityReportsRequirementsItDoesNotMeet) {
    install({});
    PackageList available = toPackageList({
        TestPackage("app", "1.0-1").require("updater-running >= 1.18").require("other"),
        TestPackage("lib", "1.0-1").require("updater-running >= 1.0"),
        TestPackage("plain", "1.0-1").require("updater-running"),
    });
    Resolver resolver(m_config, 0, available);
    ASSERT_TRUE(initResolver(resolver, {}, {}, {}, {"app", "lib", "plain"}));
    LogCapture log;
    Dependency running = depFromName("updater-running");
    running.m_evr = parseEvr("1.17");
    running.m_nFlags = RPMSENSE_EQUAL;
    DependencySet unmet = {depFromName("stale")};
    EXPECT_FALSE(resolver.checkCapability(running, unmet));
    ASSERT_EQ(unmet.size(), 1u);
    EXPECT_EQ(depToString(*unmet.begin()), "updater-running >= 1.18");
    EXPECT_EQ(log.lines(), Names{"DEBUG: failed satisfy of 'updater-running = 1.17': "
                                 "updater-running >= 1.18 is needed by app-1.0-1"});
    running.m_evr = parseEvr("1.18");
    EXPECT_TRUE(resolver.checkCapability(running, unmet));
    EXPECT_TRUE(unmet.empty());
}

class ReleaseGuardTest : public ResolverTest {
protected:
    void SetUp() override {
        ResolverTest::SetUp();
        m_config.m_sReleasePkg = "fw-release";
    }

    // Runs init and resolve; returns whether the guard found a lower release.
    bool guard(const PackageList& available, const PackageList& external = {}) {
        Resolver resolver(m_config, 0, available);
        EXPECT_TRUE(initResolver(resolver, {}, {}, {}, {"extra"}, external));
        EXPECT_TRUE(resolver.resolve());
        if (resolver.lowerRelease()) {
            EXPECT_TRUE(resolver.newPackages().empty());
        } else {
            EXPECT_EQ(resolver.newPackages().count("extra"), 1u);
        }
        return resolver.lowerRelease();
    }
};

TEST_F(ReleaseGuardTest, LowerReleaseInTheRepositorySelectsNothing) {
    install({TestPackage("fw-release", "2.0-1"), TestPackage("app", "1.0-1")});
    TestPackage extra("extra", "1.0-1");
    {
        LogCapture log;
        EXPECT_TRUE(guard(toPackageList({TestPackage("fw-release", "1.9-5"),
                                         TestPackage("app", "2.0-1").require("nothing"), extra})));
        EXPECT_TRUE(
            log.has("DEBUG: firmware release package check found installed "
                    "fw-release-2.0-1 and available fw-release-1.9-5"));
        EXPECT_TRUE(
            log.has("WARNING: available packages are from a lower firmware release, ignoring"));
        EXPECT_FALSE(log.contains("resolving for newer packages"));
        EXPECT_FALSE(log.contains("checking dependencies"));
    }
    EXPECT_FALSE(guard(toPackageList({TestPackage("fw-release", "2.0-1"), extra})));
    {
        // The lowest available release decides.
        LogCapture log;
        EXPECT_TRUE(guard(toPackageList(
            {TestPackage("fw-release", "2.5-1"), TestPackage("fw-release", "1.5-1"), extra})));
        EXPECT_TRUE(
            log.has("WARNING: found multiple firmware release version packages "
                    "fw-release in available updates: 1.5-1 in addition to 2.5-1, "
                    "keeping lowest"));
    }
    EXPECT_FALSE(guard(toPackageList({TestPackage("fw-release", "1:1.0-1"), extra})));
}

TEST_F(ReleaseGuardTest, HighestInstalledReleaseCountsAndUndecidableCasesGoAhead) {
    install({TestPackage("fw-release", "1.0-1")});
    TestPackage extra("extra", "1.0-1");
    PackageList external = toPackageList({TestPackage("fw-release", "2.0-1")}, PKG_VTXPKG);
    {
        LogCapture log;
        EXPECT_TRUE(guard(toPackageList({TestPackage("fw-release", "1.5-1"), extra}), external));
        EXPECT_TRUE(
            log.has("WARNING: found multiple installed firmware release version "
                    "packages fw-release: 2.0-1 in addition to 1.0-1, keeping highest"));
    }
    EXPECT_FALSE(guard(toPackageList({TestPackage("fw-release", "1.5-1"), extra})));
    {
        LogCapture log;
        EXPECT_FALSE(guard(toPackageList({extra})));
        EXPECT_TRUE(log.has(
            "WARNING: firmware release version package 'fw-release' is not available in updates"));
    }
    {
        LogCapture log;
        m_config.m_sReleasePkg = "other-release";
        EXPECT_FALSE(guard(toPackageList({TestPackage("other-release", "0.1-1"), extra})));
        EXPECT_TRUE(
            log.has("WARNING: firmware release version package 'other-release' is not installed"));
    }
    {
        LogCapture log;
        m_config.m_sReleasePkg.clear();
        EXPECT_FALSE(guard(toPackageList({TestPackage("fw-release", "0.1-1"), extra})));
        EXPECT_TRUE(
            log.has("WARNING: firmware release package name not set, cannot check if "
                    "updating to lower firmware"));
    }
}

}  // namespace
