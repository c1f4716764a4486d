#include "resolver_fixture.h"

#include <rpm/header.h>
#include <rpm/rpmds.h>
#include <rpm/rpmio.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmts.h>

#include <sstream>

#include "rpmdb/rpm_db.h"

namespace {

uint32_t senseOf(const std::string& op) {
    if (op == "<") {
        return RPMSENSE_LESS;
    }
    if (op == ">") {
        return RPMSENSE_GREATER;
    }
    if (op == "=") {
        return RPMSENSE_EQUAL;
    }
    if (op == "<=") {
        return RPMSENSE_LESS | RPMSENSE_EQUAL;
    }
    if (op == ">=") {
        return RPMSENSE_GREATER | RPMSENSE_EQUAL;
    }
    ADD_FAILURE() << "unknown operator " << op;
    return 0;
}

// "name" or "name op evr", as written in a spec file.
Dependency parseDep(const std::string& text) {
    std::istringstream in(text);
    std::string name, op, evr;
    in >> name >> op >> evr;
    Dependency dep;
    dep.m_sName = name;
    if (!op.empty()) {
        dep.m_nFlags = senseOf(op);
        dep.m_evr = parseEvr(evr);
    }
    return dep;
}

void addDeps(const std::vector<std::string>& texts, DependencySet& set) {
    for (const std::string& text : texts) {
        set.insert(parseDep(text));
    }
}

void readDeps(Header header, rpmTagVal tag, DependencySet& set) {
    rpmds ds = rpmdsNew(header, tag, 0);
    while (rpmdsNext(ds) >= 0) {
        uint32_t flags = rpmdsFlags(ds);
        const char* name = rpmdsN(ds);
        if ((flags & (RPMSENSE_RPMLIB | RPMSENSE_MISSINGOK)) != 0 ||
            std::string(name).rfind("rpmlib(", 0) == 0) {
            continue;
        }
        Dependency dep;
        dep.m_sName = name;
        const char* evr = rpmdsEVR(ds);
        if (evr != nullptr && *evr != '\0') {
            dep.m_evr = parseEvr(evr);
        }
        dep.m_nFlags = flags & 0xF;
        set.insert(dep);
    }
    rpmdsFree(ds);
}

}  // namespace

Package toPackage(const TestPackage& description, PackageType type) {
    Package package;
    package.m_sName = description.m_sName;
    package.m_sGroup = description.m_sGroup;
    package.m_nType = type;
    package.m_evr = parseEvr(description.evr());
    addDeps(description.m_vRequires, package.m_setRequires);
    addDeps(description.m_vRecommends, package.m_setRecommends);
    addDeps(description.m_vProvides, package.m_setProvides);
    addDeps(description.m_vObsoletes, package.m_setObsoletes);
    package.m_setProvides.insert(depFromPackage(package));
    package.m_sLocation = description.fileName();
    return package;
}

PackageList toPackageList(const std::vector<TestPackage>& descriptions, PackageType type) {
    PackageList list;
    for (const TestPackage& description : descriptions) {
        list.insert(toPackage(description, type));
    }
    return list;
}

Package readPackageFile(const std::string& path) {
    Package package;
    RpmTsPtr ts(rpmtsCreate());
    rpmtsSetVSFlags(ts.get(), RPMVSF_MASK_NOSIGNATURES | RPMVSF_MASK_NODIGESTS);
    FD_t fd = Fopen(path.c_str(), "r.ufdio");
    if (fd == nullptr || Ferror(fd)) {
        ADD_FAILURE() << "cannot open " << path;
        if (fd != nullptr) {
            Fclose(fd);
        }
        return package;
    }
    Header header = nullptr;
    rpmRC rc = rpmReadPackageFile(ts.get(), fd, path.c_str(), &header);
    Fclose(fd);
    RpmHeaderPtr owner(header);
    if (rc != RPMRC_OK && rc != RPMRC_NOKEY && rc != RPMRC_NOTTRUSTED) {
        ADD_FAILURE() << "cannot read " << path;
        return package;
    }
    package.m_sName = headerGetString(header, RPMTAG_NAME);
    const char* group = headerGetString(header, RPMTAG_GROUP);
    package.m_sGroup = group != nullptr ? group : "";
    package.m_nType = PKG_RPM;
    package.m_evr.m_nEpoch = static_cast<uint32_t>(headerGetNumber(header, RPMTAG_EPOCH));
    package.m_evr.m_sVersion = headerGetString(header, RPMTAG_VERSION);
    package.m_evr.m_sRelease = headerGetString(header, RPMTAG_RELEASE);
    readDeps(header, RPMTAG_REQUIRENAME, package.m_setRequires);
    readDeps(header, RPMTAG_RECOMMENDNAME, package.m_setRecommends);
    readDeps(header, RPMTAG_PROVIDENAME, package.m_setProvides);
    readDeps(header, RPMTAG_OBSOLETENAME, package.m_setObsoletes);
    package.m_sLocation = path.substr(path.rfind('/') + 1);
    package.m_sCacheFile = path;
    return package;
}

std::vector<std::string> packageNames(const PackageSet& packages) {
    std::vector<std::string> names;
    for (const Package& package : packages) {
        names.push_back(packageToString(package));
    }
    return names;
}

void ResolverTest::SetUpTestSuite() {
    static bool configured = rpmReadConfigFiles(nullptr, nullptr) == 0;
    ASSERT_TRUE(configured);
}

void ResolverTest::SetUp() {
    m_sDbPath = m_scratch.file("rpmdb");
    rpmPushMacro(nullptr, "_dbpath", nullptr, m_sDbPath.c_str(), RMIL_CMDLINE);
    m_config.m_sReleasePkg.clear();
}

void ResolverTest::TearDown() {
    rpmPopMacro(nullptr, "_dbpath");
}

std::vector<std::string> ResolverTest::build(const std::vector<TestPackage>& packages,
                                             const std::string& dir) {
    if (packages.empty()) {
        return {};
    }
    std::vector<std::string> files = m_builder.build(packages, dir);
    EXPECT_EQ(files.size(), packages.size());
    return files;
}

void ResolverTest::install(const std::vector<TestPackage>& packages) {
    if (m_nBuilds == 0) {
        ASSERT_TRUE(initRpmDb(m_sDbPath));
    }
    ++m_nBuilds;
    if (!packages.empty()) {
        std::vector<std::string> files =
            build(packages, m_scratch.file("installed-" + std::to_string(m_nBuilds)));
        ASSERT_EQ(files.size(), packages.size());
        ASSERT_TRUE(installJustDb(m_sDbPath, files));
    }
}

bool ResolverTest::initResolver(Resolver& resolver, const NameSet& include, const NameSet& exclude,
                                const NameSet& groups, const NameSet& pull,
                                const PackageList& external) {
    return resolver.init(external, include, exclude, groups, pull);
}
