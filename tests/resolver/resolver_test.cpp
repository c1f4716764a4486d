// The resolver on real packages and databases, judged by rpm itself: the
// installed packages are built with rpmbuild and recorded in a real RPM
// database, the available ones are the same descriptions as repository
// records pointing at the built files, and rpm --test -U judges the chosen
// files against that database.
#include "resolver/resolver.h"

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <map>
#include <sstream>

#include "config/config.h"
#include "driver/signals.h"
#include "harness/log_capture.h"
#include "harness/package_builder.h"
#include "harness/package_values.h"
#include "harness/sandbox.h"

namespace {

// Packages in a compact form, separated by "|": a name, an optional EVR
// (default "1.0-1") and tokens R: (requires), C: (recommends), P: (provides),
// O: (obsoletes) with a dependency such as "lib>=1:2.0-1", G: (group),
// A: (architecture), F: (a file path) and T: (type "vtxpkg" or "flashedfw").
struct Scenario {
    Scenario(std::string name, std::string installed, std::string available, bool resolves,
             std::string chosen)
        : m_sName(std::move(name)),
          m_sInstalled(std::move(installed)),
          m_sAvailable(std::move(available)),
          m_bResolves(resolves),
          m_sNew(std::move(chosen)) {}

    Scenario& include(NameSet names) { return set(m_setInclude, std::move(names)); }
    Scenario& exclude(NameSet names) { return set(m_setExclude, std::move(names)); }
    Scenario& groups(NameSet names) { return set(m_setGroups, std::move(names)); }
    Scenario& pull(NameSet names) { return set(m_setPull, std::move(names)); }
    Scenario& external(std::string packages) { return set(m_sExternal, std::move(packages)); }
    Scenario& mask(unsigned mask) { return set(m_nMask, mask); }
    Scenario& ignoreRecommends() { return set(m_bIgnoreRecommends, true); }
    Scenario& release(std::string name) { return set(m_sReleasePkg, std::move(name)); }
    Scenario& bad(std::string chosen) { return set(m_sBad, std::move(chosen)); }
    // Log lines ("LEVEL: text") that must appear in this order, among others.
    Scenario& logs(std::vector<std::string> lines) { return set(m_vLogs, std::move(lines)); }
    Scenario& check(std::function<void(const Resolver&)> fn) { return set(m_fnCheck, fn); }
    template <typename T, typename V>
    Scenario& set(T& field, V&& value) {
        field = std::forward<V>(value);
        return *this;
    }

    std::string m_sName, m_sInstalled, m_sAvailable;
    bool m_bResolves;
    std::string m_sNew;  // "name-evr" of the chosen packages, blank-separated, in name order
    std::string m_sBad;
    NameSet m_setInclude, m_setExclude, m_setGroups, m_setPull;
    std::string m_sExternal;
    unsigned m_nMask = 0;
    bool m_bIgnoreRecommends = false;
    std::string m_sReleasePkg;
    std::vector<std::string> m_vLogs;
    std::function<void(const Resolver&)> m_fnCheck;
};

// A description to build and the repository record of the same package.
struct Described {
    TestPackage m_spec;
    Package m_record;
};

std::vector<Described> parsePackages(const std::string& text) {
    using Add = TestPackage& (TestPackage::*)(std::string);
    static const std::map<char, std::pair<Add, DependencySet Package::*>> kDeps = {
        {'R', {&TestPackage::require, &Package::m_setRequires}},
        {'C', {&TestPackage::recommend, &Package::m_setRecommends}},
        {'P', {&TestPackage::provide, &Package::m_setProvides}},
        {'O', {&TestPackage::obsolete, &Package::m_setObsoletes}}};
    std::vector<Described> packages;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, '|');) {
        std::istringstream in(item);
        std::string name, token;
        if (!(in >> name)) {
            continue;
        }
        Described d{TestPackage(name), makePackage(name, "1.0-1")};
        d.m_record.m_sGroup = "Unspecified";  // as rpmbuild records it
        while (in >> token) {
            // "lib>=1:2.0-1" as a spec writes it: "lib >= 1:2.0-1".
            std::string value = token.size() > 2 ? token.substr(2) : "";
            size_t op = value.find_first_of("<>="), evr = value.find_first_not_of("<>=", op);
            std::string dep = op == std::string::npos
                                  ? value
                                  : value.substr(0, op) + " " + value.substr(op, evr - op) + " " +
                                        value.substr(evr);
            Package& r = d.m_record;
            if (auto kind = kDeps.find(token[0]); kind != kDeps.end()) {
                (d.m_spec.*kind->second.first)(dep);
                (r.*kind->second.second).insert(makeDep(dep));
            } else if (isdigit(static_cast<unsigned char>(token[0]))) {
                d.m_spec = TestPackage(name, token, d.m_spec.m_sArch);
                r.m_evr = parseEvr(token);
            } else if (token[0] == 'G') {
                d.m_spec.group(value);
                r.m_sGroup = value;
            } else if (token[0] == 'A') {
                d.m_spec.m_sArch = value;
            } else if (token[0] == 'F') {
                d.m_spec.file(value, "");
            } else {
                EXPECT_EQ(token[0], 'T') << token;
                r.m_nType = value == "vtxpkg" ? PackageType::VTXPKG : PackageType::FLASHEDFW;
            }
        }
        d.m_record.m_setProvides.insert(depFromPackage(d.m_record));  // rpmbuild adds it
        packages.push_back(d);
    }
    return packages;
}

class ResolverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static bool configured = rpmReadConfigFiles(nullptr, nullptr) == 0;
        ASSERT_TRUE(configured);
    }

    std::vector<std::string> build(const std::vector<Described>& packages, const std::string& dir) {
        std::vector<TestPackage> specs;
        for (const Described& d : packages) {
            specs.push_back(d.m_spec);
        }
        return specs.empty() ? std::vector<std::string>() : m_builder.build(specs, dir);
    }
    // Builds the packages; their records name the built files.
    PackageList readPackages(const std::string& text, const std::string& dir) {
        std::vector<Described> described = parsePackages(text);
        std::vector<std::string> files = build(described, dir);
        EXPECT_EQ(files.size(), described.size());
        PackageList list;
        for (size_t i = 0; i < files.size(); ++i) {
            described[i].m_record.m_sLocation = files[i].substr(files[i].rfind('/') + 1);
            described[i].m_record.m_sCacheFile = files[i];
            list.insert(described[i].m_record);
        }
        return list;
    }
    // A database directory holding the packages.
    std::string makeDatabase(const std::string& packages, const std::string& dir) {
        std::string dbPath = dir + "/rpmdb";
        EXPECT_TRUE(initRpmDb(dbPath));
        std::vector<std::string> files = build(parsePackages(packages), dir + "/installed");
        EXPECT_TRUE(files.empty() || installJustDb(dbPath, files));
        return dbPath;
    }

    // Runs the scenario at trace and at debug level (the output above trace
    // level must be the same) and checks its results, then runs rpm --test -U
    // on the chosen RPM package files: it must succeed exactly when the
    // resolution did, and miss every capability the resolver reports missing.
    void runAll(const std::vector<Scenario>& scenarios) {
        for (const Scenario& s : scenarios) {
            SCOPED_TRACE(s.m_sName);
            std::string dir = m_scratch.file("scenario-" + std::to_string(++m_nRuns));
            std::string dbPath = makeDatabase(s.m_sInstalled, dir);
            PackageList available = readPackages(s.m_sAvailable, dir + "/available");
            PackageList external = readPackages(s.m_sExternal, dir + "/external");
            Config config;
            config.m_bIgnoreRecommends = s.m_bIgnoreRecommends;
            config.m_sReleasePkg = s.m_sReleasePkg;
            rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
            run(s, config, available, external, dbPath);
            rpmPopMacro(nullptr, "_dbpath");
        }
    }
    void run(const Scenario& s, const Config& config, const PackageList& available,
             const PackageList& external, const std::string& dbPath) {
        std::vector<std::string> traced;
        for (LogLevel level : {LogLevel::Trace, LogLevel::Debug}) {
            LogCapture log(level);
            Resolver resolver(config, s.m_nMask, available);
            ASSERT_TRUE(resolver.init(external, s.m_setInclude, s.m_setExclude, s.m_setGroups,
                                      s.m_setPull));
            EXPECT_EQ(resolver.resolve(), s.m_bResolves);
            std::string chosen[2];
            for (int bad = 0; bad < 2; ++bad) {
                for (const Package& p : bad ? resolver.badPackages() : resolver.newPackages()) {
                    chosen[bad] += (chosen[bad].empty() ? "" : " ") + packageToString(p);
                }
            }
            EXPECT_EQ(chosen[0], s.m_sNew);
            EXPECT_EQ(chosen[1], s.m_sBad);
            std::vector<std::string> lines = log.lines();
            if (level == LogLevel::Trace) {
                auto it = lines.begin();
                for (const std::string& line : s.m_vLogs) {
                    it = std::find(it, lines.end(), line);
                    ASSERT_NE(it, lines.end()) << line << "\n" << log.text();
                    ++it;
                }
                std::copy_if(lines.begin(), lines.end(), std::back_inserter(traced),
                             [](const std::string& l) { return l.rfind("TRACE: ", 0) != 0; });
                continue;
            }
            EXPECT_EQ(lines, traced);
            if (s.m_fnCheck) {
                s.m_fnCheck(resolver);
            }
            std::vector<std::string> args = {"--test", "-U"};
            for (const Package& package : resolver.newPackages()) {
                if (package.m_nType == PackageType::RPM) {
                    args.push_back(package.m_sCacheFile.str());
                }
            }
            if (args.size() == 2 || !s.m_sExternal.empty()) {
                return;
            }
            CommandResult rpm = runRpm(dbPath, args);
            EXPECT_EQ(rpm.status == 0, s.m_bResolves) << rpm.output;
            for (const std::string& line : lines) {
                if (line.rfind("ERROR: \t", 0) == 0) {
                    EXPECT_NE(rpm.output.find(line.substr(8) + " is needed by"), std::string::npos)
                        << line << "\n"
                        << rpm.output;
                }
            }
        }
    }

    ScratchDir m_scratch;
    PackageBuilder m_builder{m_scratch.file("build")};
    size_t m_nRuns = 0;
};

const unsigned kRpmOnly = typeBit(PackageType::NONE) | typeBit(PackageType::VTXPKG);

TEST_F(ResolverTest, Selection) {
    const std::string kinds = "old | tool | addon | dev | os-update-requirements";
    const std::string kindsAvailable =
        "new O:old<2.0 | unrelated O:old<0.5 | wanted | tool 2.0-1 | addon 2.0-1 G:Addons | "
        "os-update-requirements 2.0-1 | dev 2.0-1 T:vtxpkg | image T:flashedfw";
    const std::string obsoleting = "bar | keeper | skipped | typed | zed | zzz | a | b | c | d | e";
    const std::string obsoletingAvailable =
        "bar 2.0-1 | ex O:bar>9.0 O:zed | zed 2.0-1 O:zzz | zzz 2.0-1 | skipped 2.0-1 O:keeper | "
        "keeper 2.0-1 | a 2.0-1 O:b<3.0 O:c<2.0 O:a | b 2.0-1 O:d | c 2.0-1 | d 2.0-1 | "
        "e 2.0-1 O:a=2.0-1 | typed 2.0-1 T:vtxpkg O:c";
    auto checkCapability = [](const Resolver& resolver) {
        Dependency running = depFromName(std::string_view("updater-running"));
        running.m_evr = parseEvr("1.17");
        running.m_nFlags = RPMSENSE_EQUAL;
        DependencySet unmet = {depFromName(std::string_view("stale"))};
        EXPECT_FALSE(resolver.checkCapability(running, unmet));
        ASSERT_EQ(unmet.size(), 1u);
        EXPECT_EQ(depToString(*unmet.begin()), "updater-running >= 1.18");
        running.m_evr = parseEvr("1.18");
        EXPECT_TRUE(resolver.checkCapability(running, unmet));
        EXPECT_TRUE(unmet.empty());
    };
    runAll({
        Scenario("highest entry, the first of equal ones, newer than every installed one",
                 "foo | multi 0.5-1 | multi 2.0-1 | same | epoch 1:1.0-1",
                 "foo | foo 1.0-2 G:first | foo 1.0-2 A:x86_64 G:second | foo 0.9-1 | multi | "
                 "same | epoch 9.0-1 | fresh",
                 true, "foo-1.0-2")
            .logs({"WARNING: firmware release package name not set, cannot check if updating to "
                   "lower firmware",
                   "TRACE: checking update foo-1.0-2 (group first)",
                   "DEBUG: found newer package foo-1.0-2"}),
        // A flashed firmware image is never chosen, even when asked for.
        Scenario("pull set, obsoletes of installed packages, every type", kinds, kindsAvailable,
                 true, "addon-2.0-1 dev-2.0-1 new-1.0-1 tool-2.0-1 wanted-1.0-1")
            .pull({"wanted", "image"})
            .logs({"TRACE: checking update image-1.0-1 (group Unspecified)",
                   "TRACE: skipping package excluded by type",
                   "DEBUG: considering new-1.0-1 newer than old-1.0-1 due to obsoletes",
                   "WARNING: special os-update-requirements is available in repository but also "
                   "installed, ignoring",
                   "TRACE: checking obsoletes 'old < 0.5'",
                   "DEBUG: considering wanted-1.0-1 as newer because in pull set"})
            .check([](const Resolver& resolver) {
                EXPECT_TRUE(resolver.hasNewPackage("dev", PackageType::VTXPKG));
                EXPECT_TRUE(resolver.hasNewPackage("dev", PackageType::NONE));
                EXPECT_FALSE(resolver.hasNewPackage("dev", PackageType::RPM));
                EXPECT_FALSE(resolver.hasNewPackage("unrelated", PackageType::NONE));
            }),
        Scenario("type mask, exclude set, excluded groups", kinds, kindsAvailable, true,
                 "new-1.0-1 wanted-1.0-1")
            .pull({"wanted", "image"})
            .mask(kRpmOnly)
            .exclude({"tool"})
            .groups({"Addons"})
            .logs({"TRACE: checking update addon-2.0-1 (group Addons)",
                   "TRACE: skipping package in exclude set",
                   "TRACE: skipping package excluded by type",
                   "TRACE: skipping package excluded by type",
                   "TRACE: skipping package in exclude set"}),
        Scenario("include set limits pull set and obsoletes", kinds, kindsAvailable, true,
                 "tool-2.0-1")
            .include({"tool", "unknown"})
            .pull({"wanted"}),
        Scenario("excluded package keeps its obsoletes out, new packages replace each other",
                 obsoleting, obsoletingAvailable, true, "c-2.0-1 d-2.0-1 e-2.0-1 skipped-2.0-1")
            .mask(typeBit(PackageType::VTXPKG))
            .exclude({"ex"})
            .logs({"TRACE: adding bar to exclude set, obsoleted by excluded package",
                   "TRACE: adding zed to exclude set, obsoleted by excluded package",
                   "TRACE: adding zzz to exclude set, obsoleted by excluded package",
                   "DEBUG: removing b-2.0-1 from new packages, obsoleted by a-2.0-1",
                   "DEBUG: removing a-2.0-1 from new packages, obsoleted by e-2.0-1",
                   "DEBUG: removing keeper-2.0-1 from new packages, obsoleted by skipped-2.0-1"}),
        Scenario("packages outside the include set exclude nothing", obsoleting,
                 obsoletingAvailable, true, "keeper-2.0-1 zed-2.0-1")
            .include({"keeper", "zed"})
            .exclude({"ex"}),
        Scenario("external packages count as installed", "foo",
                 "dev 2.0-1 T:vtxpkg | dev 2.1-1 T:vtxpkg | foo 2.0-1", true, "dev-2.1-1")
            .external("foo 3.0-1 T:vtxpkg | dev 2.0-1 T:vtxpkg")
            .logs({"DEBUG: adding external package foo-3.0-1 to installed packages",
                   "TRACE: checking installed foo-1.0-1", "TRACE: checking installed foo-3.0-1"}),
        Scenario("capability of the running updater", "",
                 "app R:updater-running>=1.18 | lib R:updater-running>=1.0 | "
                 "plain R:updater-running",
                 false, "app-1.0-1 lib-1.0-1 plain-1.0-1")
            .pull({"app", "lib", "plain"})
            .check(checkCapability),
    });
}

TEST_F(ResolverTest, FirmwareReleaseGuard) {
    const std::string installed = "fw-release 2.0-1 | app";
    runAll({
        Scenario("lower release selects and pulls nothing", installed,
                 "fw-release 1.9-5 | app 2.0-1 R:nothing | extra", true, "")
            .release("fw-release")
            .pull({"extra"})
            .logs({"DEBUG: firmware release package check found installed fw-release-2.0-1 and "
                   "available fw-release-1.9-5",
                   "WARNING: available packages are from a lower firmware release, ignoring"}),
        Scenario("same release", installed, "fw-release 2.0-1 | extra", true, "extra-1.0-1")
            .release("fw-release")
            .pull({"extra"}),
        Scenario("the lowest available release decides", installed,
                 "fw-release 2.5-1 | fw-release 1.5-1 | extra", true, "")
            .release("fw-release")
            .logs({"WARNING: found multiple firmware release version packages fw-release in "
                   "available updates: 1.5-1 in addition to 2.5-1, keeping lowest"}),
        Scenario("the highest installed release decides", "fw-release 1.0-1",
                 "fw-release 1.5-1 | extra", true, "")
            .release("fw-release")
            .external("fw-release 2.0-1 T:vtxpkg")
            .logs({"WARNING: found multiple installed firmware release version packages "
                   "fw-release: 2.0-1 in addition to 1.0-1, keeping highest"}),
        Scenario("release not in the repository", installed, "extra", true, "extra-1.0-1")
            .release("fw-release")
            .pull({"extra"})
            .logs({"WARNING: firmware release version package 'fw-release' is not available in "
                   "updates"}),
        Scenario("release not installed", installed, "other 0.1-1 | app 2.0-1", true, "app-2.0-1")
            .release("other")
            .logs({"WARNING: firmware release version package 'other' is not installed"}),
    });
}

TEST_F(ResolverTest, Resolution) {
    const std::string repl = "repl O:old R:/usr/bin/tool R:libnew>=2 | newlib P:libnew=1";
    const std::string downgrade =
        "foo P:libx=1.0 | bar R:libx=1.0 R:liby=1.0-2 | same P:liby=1.0-2";
    runAll({
        Scenario("chain of requirements over several iterations", "app | shell F:/bin/sh",
                 "app 2.0-1 R:liba | pa P:liba R:libb>=2 | pb P:libb=1 | "
                 "pb 3.0-1 P:libb=3 R:/bin/sh",
                 true, "app-2.0-1 pa-1.0-1 pb-3.0-1")
            .logs({"DEBUG: pulling package pa-1.0-1 to satisfy 'liba'",
                   "DEBUG: pulling package pb-3.0-1 to satisfy 'libb >= 2'",
                   "DEBUG: only file dependencies are left unsatisfied, assuming all are "
                   "satisfied"}),
        Scenario("updates preferred, then the first name", "zz-upd | app",
                 "aa-new P:cap | alpha P:cap2 | app 2.0-1 R:cap R:cap2 | beta P:cap2 | "
                 "zz-upd 2.0-1 P:cap",
                 true, "alpha-1.0-1 app-2.0-1 zz-upd-2.0-1")
            .include({"app"})
            .logs({"TRACE: skip package aa-new-1.0-1 which does not update installed package",
                   "DEBUG: pulling package zz-upd-2.0-1 to satisfy 'cap'",
                   "DEBUG: pulling package alpha-1.0-1 to satisfy 'cap2'"}),
        Scenario("recommended packages that cannot be completed are taken back", "base",
                 "app 2.0-1 C:rx C:ry C:osreq | good P:libgood | "
                 "os-update-requirements P:osreq R:nowhere2 | rec-x P:rx R:libgood | "
                 "rec-y P:ry R:nowhere | obsx O:base",
                 true, "app-2.0-1 good-1.0-1 rec-x-1.0-1")
            .pull({"app"})
            .exclude({"obsx"})
            .bad("os-update-requirements-1.0-1 rec-y-1.0-1")
            .logs({"DEBUG: resolving dependencies (skip updates, single package = 1)",
                   "DEBUG: dropping recommended os-update-requirements-1.0-1 as it leads to "
                   "unsatisfiable dependency",
                   "TRACE: package os-update-requirements-1.0-1 in bad updates",
                   "DEBUG: pulling package good-1.0-1 to satisfy 'libgood'",
                   "INFO: dropping recommended rec-y-1.0-1 as it leads to unsatisfiable "
                   "dependency",
                   "DEBUG: considering obsx-1.0-1 newer than base-1.0-1 due to obsoletes",
                   "DEBUG: only recommends dependencies are left unsatisfied"}),
        Scenario("recommends of installed packages", "inst C:rz | app",
                 "app 2.0-1 C:rx | rec-x P:rx | rec-z P:rz", true,
                 "app-2.0-1 rec-x-1.0-1 rec-z-1.0-1"),
        Scenario("with an include set only those of new packages", "inst C:rz | app",
                 "app 2.0-1 C:rx | rec-x P:rx | rec-z P:rz", true, "app-2.0-1 rec-x-1.0-1")
            .include({"app"}),
        Scenario("recommends ignored", "inst C:rz | app", "app 2.0-1 C:rx | rec-x P:rx", true,
                 "app-2.0-1")
            .ignoreRecommends(),
        Scenario("obsoleted installed package takes its provides and requires along",
                 "old P:libold R:gone | user R:libold", repl, false, "repl-1.0-1")
            .logs({"ERROR: unsatisfied non-file dependencies:", "ERROR: \tlibnew >= 2",
                   "ERROR: \tlibold", "ERROR: cannot update"}),
        Scenario("and what it took is pulled from elsewhere", "old P:libold R:gone | user R:libold",
                 repl + " | compat P:libold | newlib 2.0-1 P:libnew=2 | tools P:/usr/bin/tool",
                 true, "compat-1.0-1 newlib-2.0-1 repl-1.0-1 tools-1.0-1"),
        Scenario("no downgrade or reinstallation to satisfy a requirement",
                 "foo 2.0-1 P:libx=2.0 | same P:liby=0.9", downgrade, false, "bar-1.0-1")
            .pull({"bar"})
            .logs({"TRACE: skip package foo-1.0-1 which is not newer than installed foo-2.0-1",
                   "TRACE: skip package same-1.0-1 which is not newer than installed same-1.0-1",
                   "ERROR: \tlibx = 1.0"}),
        Scenario("another provider instead", "foo 2.0-1 P:libx=2.0 | same P:liby=0.9",
                 downgrade + " | zlibx P:libx=1.0 P:liby", true, "bar-1.0-1 zlibx-1.0-1")
            .pull({"bar"}),
        Scenario("update breaks an installed requirement", "foo P:libfoo=1 | bar R:libfoo=1",
                 "foo 2.0-1 P:libfoo=2", false, "foo-2.0-1"),
        Scenario("the requiring package is updated too", "foo P:libfoo=1 | bar R:libfoo=1",
                 "foo 2.0-1 P:libfoo=2 | bar 2.0-1 R:libfoo=2", true, "bar-2.0-1 foo-2.0-1"),
        Scenario("obsoleting package brings the capability", "old P:oldcap | user R:oldcap",
                 "new-thing O:old<2.0 P:oldcap", true, "new-thing-1.0-1"),
        Scenario("obsoletes among new packages", "a | b | c R:b",
                 "a 2.0-1 O:b<3.0 P:b=2.5 | b 2.0-1", true, "a-2.0-1"),
        Scenario("pull set with dependencies", "", "tool R:libt | libt-pkg P:libt | unwanted", true,
                 "libt-pkg-1.0-1 tool-1.0-1")
            .pull({"tool"}),
        Scenario("epochs", "lib 1:1.0-1 P:libv=1:1.0 | app R:libv>=1:1.0",
                 "lib 2.0-1 P:libv=2.0 | lib 1:1.5-1 P:libv=1:1.5 | "
                 "app 2.0-1 R:libv>=1:1.5 R:libw>=1.5 | wlib P:libw=1:1.0",
                 true, "app-2.0-1 lib-1:1.5-1 wlib-1.0-1"),
        Scenario("file dependency met by an installed file", "tools F:/usr/bin/tool",
                 "app R:/usr/bin/tool", true, "app-1.0-1")
            .pull({"app"}),
        Scenario("several installed versions", "multi | multi 1.5-1", "multi 2.0-1", true,
                 "multi-2.0-1"),
        Scenario("missing releases match every release", "",
                 "app R:libr=1.0 R:libq=1.0-2 | libr-pkg P:libr=1.0-7 | libq-pkg P:libq=1.0", true,
                 "app-1.0-1 libq-pkg-1.0-1 libr-pkg-1.0-1")
            .pull({"app"}),
        Scenario("range requirement of an installed package", "lib P:libz=1 | app R:libz<2",
                 "lib 2.0-1 P:libz=2 | other P:libz=1.5", true, "lib-2.0-1 other-1.0-1"),
    });
}

TEST_F(ResolverTest, InitNeedsTheDatabaseAndHappensOnce) {
    const PackageList available;
    const Config config;
    for (bool missing : {true, false}) {
        const std::string dbPath =
            missing ? m_scratch.file("missing") : makeDatabase("", m_scratch.file("db"));
        rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
        LogCapture log;
        Resolver resolver(config, 0, available);
        EXPECT_EQ(resolver.init({}, {}, {}, {}, {}), !missing);
        EXPECT_FALSE(missing ? resolver.resolve() : resolver.init({}, {}, {}, {}, {}));
        EXPECT_TRUE(log.has(missing ? "ERROR: failed opening rpm database"
                                    : "ERROR: attempted to reinitilize a resolver"))
            << log.text();
        rpmPopMacro(nullptr, "_dbpath");
    }
}

TEST_F(ResolverTest, TerminationSignalEndsTheLoopWithoutReport) {
    std::string dbPath = makeDatabase("", m_scratch.path());
    PackageList available =
        readPackages("app R:liba | pa P:liba R:libb | pb P:libb", m_scratch.file("available"));
    rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
    // In a child: the recorded signal stays for the rest of the process.
    auto child = [&](const NameSet& pull, const NameSet& chosen) {
        bool ok = initSignals() && raise(SIGTERM) == 0;
        {
            LogCapture log;
            Resolver resolver(Config(), 0, available);
            ok = ok && resolver.init({}, {}, {}, {}, pull) &&
                 !resolver.resolve(terminationPending) && !log.contains("ERROR");
            NameSet names;
            for (const Package& package : resolver.newPackages()) {
                names.insert(package.m_sName.str());
            }
            ok = ok && names == chosen;
        }
        _exit(ok ? 0 : 1);
    };
    // One iteration: pa is pulled, pb is not.
    EXPECT_EXIT(child({"app"}, {"app", "pa"}), ::testing::ExitedWithCode(0), "");
    // Nothing to pull: still false.
    EXPECT_EXIT(child({"pb"}, {"pb"}), ::testing::ExitedWithCode(0), "");
    rpmPopMacro(nullptr, "_dbpath");
}

}  // namespace
