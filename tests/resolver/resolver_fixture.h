// Resolver scenarios over real packages: the installed packages are built with
// rpmbuild and recorded in a real RPM database, the available ones are read
// from built package files as the repository metadata lists them, and the RPM
// program judges the chosen package files against that database.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/config.h"
#include "harness/package_builder.h"
#include "harness/sandbox.h"
#include "resolver/resolver.h"

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

    std::string m_sName;
    std::string m_sInstalled;
    std::string m_sAvailable;
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

class ResolverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();

    // Runs the scenario at trace and at debug level (the output above trace
    // level must be the same) and checks its results, then runs rpm --test -U
    // on the chosen RPM package files: it must succeed exactly when the
    // resolution did, and miss every capability the resolver reports missing.
    void run(const Scenario& scenario);
    void runAll(const std::vector<Scenario>& scenarios);

    // Builds the packages and reads them back as repository records.
    PackageList readPackages(const std::string& packages, const std::string& dir);
    // A database directory holding the packages.
    std::string makeDatabase(const std::string& packages, const std::string& dir);

    ScratchDir m_scratch;
    PackageBuilder m_builder{m_scratch.file("build")};
    size_t m_nRuns = 0;
};
