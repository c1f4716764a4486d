// The resolver against the RPM program itself: every scenario builds real
// packages, records the installed ones in a real database, resolves, and lets
// `rpm --test -U` judge the chosen package files against that database.
#include <rpm/rpmmacro.h>

#include <algorithm>

#include "resolver_fixture.h"

namespace {

using Names = std::vector<std::string>;

struct Scenario {
    Scenario(std::string name, std::vector<TestPackage> installed,
             std::vector<TestPackage> available, bool resolves, Names chosen)
        : m_sName(std::move(name)),
          m_vInstalled(std::move(installed)),
          m_vAvailable(std::move(available)),
          m_bResolves(resolves),
          m_vNew(std::move(chosen)) {}
    Scenario& include(NameSet names) {
        m_setInclude = std::move(names);
        return *this;
    }
    Scenario& exclude(NameSet names) {
        m_setExclude = std::move(names);
        return *this;
    }
    Scenario& pull(NameSet names) {
        m_setPull = std::move(names);
        return *this;
    }
    Scenario& ignoreRecommends() {
        m_bIgnoreRecommends = true;
        return *this;
    }
    Scenario& releasePkg(std::string name) {
        m_sReleasePkg = std::move(name);
        return *this;
    }

    std::string m_sName;
    std::vector<TestPackage> m_vInstalled;
    std::vector<TestPackage> m_vAvailable;
    bool m_bResolves;
    Names m_vNew;  // the expected new packages, "name-evr"
    NameSet m_setInclude;
    NameSet m_setExclude;
    NameSet m_setPull;
    bool m_bIgnoreRecommends = false;
    std::string m_sReleasePkg;
};

TestPackage P(const std::string& name, const std::string& evr = "1.0-1") {
    return TestPackage(name, evr);
}

std::vector<Scenario> scenarios() {
    return {
        Scenario("update breaks an installed requirement",
                 {P("foo").provide("libfoo = 1"), P("bar").require("libfoo = 1")},
                 {P("foo", "2.0-1").provide("libfoo = 2")}, false, {"foo-2.0-1"}),
        Scenario("updating the requiring package too",
                 {P("foo").provide("libfoo = 1"), P("bar").require("libfoo = 1")},
                 {P("foo", "2.0-1").provide("libfoo = 2"), P("bar", "2.0-1").require("libfoo = 2")},
                 true, {"bar-2.0-1", "foo-2.0-1"}),
        Scenario("chain of requirements", {P("app")},
                 {P("app", "2.0-1").require("liba >= 1.0"),
                  P("pa").provide("liba = 1.5").require("libb"),
                  P("pb").provide("libb").require("libc"), P("pc").provide("libc")},
                 true, {"app-2.0-1", "pa-1.0-1", "pb-1.0-1", "pc-1.0-1"}),
        Scenario("missing capability", {P("app")},
                 {P("app", "2.0-1").require("nowhere").require("liba"), P("pa").provide("liba")},
                 false, {"app-2.0-1", "pa-1.0-1"}),
        Scenario("obsoleted installed package replaced with its capability",
                 {P("old").provide("oldcap"), P("user").require("oldcap")},
                 {P("new-thing").obsolete("old < 2.0").provide("oldcap")}, true,
                 {"new-thing-1.0-1"}),
        Scenario("obsoleted installed package takes its capability along",
                 {P("old").provide("oldcap"), P("user").require("oldcap")},
                 {P("new-thing").obsolete("old < 2.0")}, false, {"new-thing-1.0-1"}),
        Scenario("obsoletes among new packages", {P("a"), P("b"), P("c").require("b")},
                 {P("a", "2.0-1").obsolete("b < 3.0").provide("b = 2.5"), P("b", "2.0-1")}, true,
                 {"a-2.0-1"}),
        Scenario("excluded package keeps what it obsoletes out", {P("bar"), P("other")},
                 {P("ex").obsolete("bar"), P("bar", "2.0-1"), P("other", "2.0-1")}, true,
                 {"other-2.0-1"})
            .exclude({"ex"}),
        Scenario("pull set with dependencies", {},
                 {P("tool").require("libt"), P("libt-pkg").provide("libt"), P("unwanted")}, true,
                 {"libt-pkg-1.0-1", "tool-1.0-1"})
            .pull({"tool"}),
        Scenario(
            "recommended package without its requirements is dropped", {P("base")},
            {P("base", "2.0-1").recommend("feature").recommend("nice"),
             P("feat").provide("feature").require("missing-lib"), P("nice-pkg").provide("nice")},
            true, {"base-2.0-1", "nice-pkg-1.0-1"}),
        Scenario(
            "epochs",
            {P("lib", "1:1.0-1").provide("libv = 1:1.0"), P("app").require("libv >= 1:1.0")},
            {P("lib", "2.0-1").provide("libv = 2.0"), P("lib", "1:1.5-1").provide("libv = 1:1.5"),
             P("app", "2.0-1").require("libv >= 1:1.5").require("libw >= 1.5"),
             P("wlib").provide("libw = 1:1.0")},
            true, {"app-2.0-1", "lib-1:1.5-1", "wlib-1.0-1"}),
        Scenario("downgrade is no way to satisfy a requirement",
                 {P("foo", "2.0-1").provide("libx = 2.0")},
                 {P("foo").provide("libx = 1.0"), P("bar").require("libx = 1.0")}, false,
                 {"bar-1.0-1"})
            .pull({"bar"}),
        Scenario("file dependency met by an installed file",
                 {P("tools").file("/usr/bin/tool", "#!/bin/true\n")},
                 {P("app").require("/usr/bin/tool")}, true, {"app-1.0-1"})
            .pull({"app"}),
        Scenario("updates preferred as providers", {P("zz-upd"), P("app")},
                 {P("aa-new").provide("cap"), P("app", "2.0-1").require("cap"),
                  P("zz-upd", "2.0-1").provide("cap")},
                 true, {"app-2.0-1", "zz-upd-2.0-1"})
            .include({"app"}),
        Scenario("several installed versions", {P("multi", "1.0-1"), P("multi", "1.5-1")},
                 {P("multi", "2.0-1")}, true, {"multi-2.0-1"}),
        Scenario("capability dropped by an update comes from elsewhere",
                 {P("core").provide("libold"), P("user").require("libold")},
                 {P("core", "2.0-1"), P("compat").provide("libold")}, true,
                 {"compat-1.0-1", "core-2.0-1"}),
        Scenario("missing releases match every release", {},
                 {P("app").require("libr = 1.0").require("libq = 1.0-2"),
                  P("libr-pkg").provide("libr = 1.0-7"), P("libq-pkg").provide("libq = 1.0")},
                 true, {"app-1.0-1", "libq-pkg-1.0-1", "libr-pkg-1.0-1"})
            .pull({"app"}),
        Scenario("range requirement of an installed package",
                 {P("lib").provide("libz = 1"), P("app").require("libz < 2")},
                 {P("lib", "2.0-1").provide("libz = 2"), P("other").provide("libz = 1.5")}, true,
                 {"lib-2.0-1", "other-1.0-1"}),
        Scenario("ignored recommends", {P("base")},
                 {P("base", "2.0-1").recommend("feature"), P("feat").provide("feature")}, true,
                 {"base-2.0-1"})
            .ignoreRecommends(),
        Scenario("lower firmware release", {P("fw-release", "2.0-1"), P("app")},
                 {P("fw-release", "1.0-1"), P("app", "2.0-1")}, true, {})
            .releasePkg("fw-release"),
    };
}

class RpmAgreementTest : public ResolverTest {
protected:
    void check(const Scenario& scenario, size_t number) {
        std::string dir = m_scratch.file("scenario-" + std::to_string(number));
        std::string dbPath = dir + "/rpmdb";
        ASSERT_TRUE(initRpmDb(dbPath));
        if (!scenario.m_vInstalled.empty()) {
            std::vector<std::string> files = build(scenario.m_vInstalled, dir + "/installed");
            ASSERT_EQ(files.size(), scenario.m_vInstalled.size());
            ASSERT_TRUE(installJustDb(dbPath, files));
        }
        PackageList available;
        for (const std::string& file : build(scenario.m_vAvailable, dir + "/available")) {
            available.insert(readPackageFile(file));
        }

        m_config.m_bIgnoreRecommends = scenario.m_bIgnoreRecommends;
        m_config.m_sReleasePkg = scenario.m_sReleasePkg;
        rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
        LogCapture log(LogLevel::Debug);
        Resolver resolver(m_config, 0, available);
        bool initialised = resolver.init(PackageList(), scenario.m_setInclude,
                                         scenario.m_setExclude, NameSet(), scenario.m_setPull);
        bool resolved = initialised && resolver.resolve();
        rpmPopMacro(nullptr, "_dbpath");
        ASSERT_TRUE(initialised);
        EXPECT_EQ(resolved, scenario.m_bResolves) << log.text();
        EXPECT_EQ(packageNames(resolver.newPackages()), scenario.m_vNew);

        if (resolver.newPackages().empty()) {
            return;
        }
        std::vector<std::string> args = {"--test", "-U"};
        for (const Package& package : resolver.newPackages()) {
            args.push_back(package.m_sCacheFile.str());
        }
        CommandResult rpm = runRpm(dbPath, args);
        if (resolved) {
            EXPECT_EQ(rpm.status, 0) << rpm.output;
            return;
        }
        EXPECT_NE(rpm.status, 0) << "rpm installs what the resolver refused:\n" << log.text();
        // Every capability the resolver reports missing, rpm misses too.
        int reported = 0;
        for (const std::string& line : log.lines()) {
            if (line.rfind("ERROR: \t", 0) == 0) {
                ++reported;
                EXPECT_NE(rpm.output.find(line.substr(8) + " is needed by"), std::string::npos)
                    << line << "\n"
                    << rpm.output;
            }
        }
        EXPECT_GT(reported, 0);
    }
};

TEST_F(RpmAgreementTest, ChosenPackagesInstallExactlyWhenResolutionSucceeds) {
    std::vector<Scenario> all = scenarios();
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(all[i].m_sName);
        check(all[i], i);
    }
}

}  // namespace
