#include "resolver_fixture.h"

#include <rpm/rpmds.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmts.h>

#include <cctype>
#include <map>
#include <sstream>

#include "harness/log_capture.h"
#include "rpmdb/rpm_db.h"

namespace {

struct Described {
    TestPackage m_package;
    PackageType m_nType = PackageType::RPM;
};

// "lib>=1:2.0-1" as a spec writes it: "lib >= 1:2.0-1".
std::string specDep(const std::string& text) {
    size_t op = text.find_first_of("<>=");
    if (op == std::string::npos) {
        return text;
    }
    size_t evr = text.find_first_not_of("<>=", op);
    return text.substr(0, op) + " " + text.substr(op, evr - op) + " " + text.substr(evr);
}

std::vector<Described> parsePackages(const std::string& text) {
    std::vector<Described> packages;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, '|')) {
        std::istringstream in(item);
        std::string name, token;
        if (!(in >> name)) {
            continue;
        }
        Described d{TestPackage(name), PackageType::RPM};
        while (in >> token) {
            std::string value = token.size() > 2 ? token.substr(2) : "";
            switch (isdigit(static_cast<unsigned char>(token[0])) ? '0' : token[0]) {
                case '0':
                    d.m_package = TestPackage(name, token, d.m_package.m_sArch);
                    break;
                case 'R':
                    d.m_package.require(specDep(value));
                    break;
                case 'C':
                    d.m_package.recommend(specDep(value));
                    break;
                case 'P':
                    d.m_package.provide(specDep(value));
                    break;
                case 'O':
                    d.m_package.obsolete(specDep(value));
                    break;
                case 'G':
                    d.m_package.group(value);
                    break;
                case 'A':
                    d.m_package.m_sArch = value;
                    break;
                case 'F':
                    d.m_package.file(value, "");
                    break;
                case 'T':
                    d.m_nType = value == "vtxpkg" ? PackageType::VTXPKG : PackageType::FLASHEDFW;
                    break;
                default:
                    ADD_FAILURE() << "bad token " << token;
            }
        }
        packages.push_back(d);
    }
    return packages;
}

std::vector<TestPackage> descriptions(const std::vector<Described>& packages) {
    std::vector<TestPackage> out;
    for (const Described& d : packages) {
        out.push_back(d.m_package);
    }
    return out;
}

void readDeps(Header header, rpmTagVal tag, DependencySet& set) {
    rpmds ds = rpmdsNew(header, tag, 0);
    while (rpmdsNext(ds) >= 0) {
        if ((rpmdsFlags(ds) & (RPMSENSE_RPMLIB | RPMSENSE_MISSINGOK)) != 0) {
            continue;
        }
        Dependency dep = depFromName(std::string_view(rpmdsN(ds)));
        const char* evr = rpmdsEVR(ds);
        if (evr != nullptr && *evr != '\0') {
            dep.m_evr = parseEvr(evr);
        }
        dep.m_nFlags = rpmdsFlags(ds) & 0xF;
        set.insert(dep);
    }
    rpmdsFree(ds);
}

// The repository record of a package file; its cache file is the package file.
Package readPackageFile(const std::string& path) {
    Package package;
    RpmTsPtr ts(rpmtsCreate());
    rpmtsSetVSFlags(ts.get(), RPMVSF_MASK_NOSIGNATURES | RPMVSF_MASK_NODIGESTS);
    FD_t fd = Fopen(path.c_str(), "r.ufdio");
    Header header = nullptr;
    rpmRC rc = rpmReadPackageFile(ts.get(), fd, path.c_str(), &header);
    Fclose(fd);
    RpmHeaderPtr owner(header);
    if (rc != RPMRC_OK) {
        ADD_FAILURE() << "cannot read " << path;
        return package;
    }
    package.m_sName = headerGetString(header, RPMTAG_NAME);
    package.m_sGroup = headerGetString(header, RPMTAG_GROUP);
    package.m_nType = PackageType::RPM;
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

std::string joined(const PackageSet& packages) {
    std::string text;
    for (const Package& package : packages) {
        text += (text.empty() ? "" : " ") + packageToString(package);
    }
    return text;
}

// True when the lines hold the expected ones in this order.
bool hasInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected,
                std::string& missing) {
    auto it = lines.begin();
    for (const std::string& line : expected) {
        it = std::find(it, lines.end(), line);
        if (it == lines.end()) {
            missing = line;
            return false;
        }
        ++it;
    }
    return true;
}

}  // namespace

void ResolverTest::SetUpTestSuite() {
    static bool configured = rpmReadConfigFiles(nullptr, nullptr) == 0;
    ASSERT_TRUE(configured);
}

PackageList ResolverTest::readPackages(const std::string& packages, const std::string& dir) {
    std::vector<Described> described = parsePackages(packages);
    PackageList list;
    if (described.empty()) {
        return list;
    }
    std::vector<std::string> files = m_builder.build(descriptions(described), dir);
    EXPECT_EQ(files.size(), described.size());
    for (size_t i = 0; i < files.size(); ++i) {
        Package package = readPackageFile(files[i]);
        package.m_nType = described[i].m_nType;
        list.insert(std::move(package));
    }
    return list;
}

std::string ResolverTest::makeDatabase(const std::string& packages, const std::string& dir) {
    std::string dbPath = dir + "/rpmdb";
    EXPECT_TRUE(initRpmDb(dbPath));
    std::vector<TestPackage> installed = descriptions(parsePackages(packages));
    if (!installed.empty()) {
        EXPECT_TRUE(installJustDb(dbPath, m_builder.build(installed, dir + "/installed")));
    }
    return dbPath;
}

void ResolverTest::run(const Scenario& s) {
    std::string dir = m_scratch.file("scenario-" + std::to_string(++m_nRuns));
    std::string dbPath = makeDatabase(s.m_sInstalled, dir);
    PackageList available = readPackages(s.m_sAvailable, dir + "/available");
    PackageList external = readPackages(s.m_sExternal, dir + "/external");
    Config config;
    config.m_bIgnoreRecommends = s.m_bIgnoreRecommends;
    config.m_sReleasePkg = s.m_sReleasePkg;

    rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
    std::vector<std::string> traced;
    for (LogLevel level : {LogLevel::Trace, LogLevel::Debug}) {
        LogCapture log(level);
        Resolver resolver(config, s.m_nMask, available);
        bool initialised =
            resolver.init(external, s.m_setInclude, s.m_setExclude, s.m_setGroups, s.m_setPull);
        EXPECT_TRUE(initialised);
        if (!initialised) {
            break;
        }
        EXPECT_EQ(resolver.resolve(), s.m_bResolves);
        EXPECT_EQ(joined(resolver.newPackages()), s.m_sNew);
        EXPECT_EQ(joined(resolver.badPackages()), s.m_sBad);
        std::vector<std::string> lines = log.lines();
        if (level == LogLevel::Trace) {
            std::string missing;
            EXPECT_TRUE(hasInOrder(lines, s.m_vLogs, missing)) << missing << "\n" << log.text();
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
            break;
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
    rpmPopMacro(nullptr, "_dbpath");
}

void ResolverTest::runAll(const std::vector<Scenario>& scenarios) {
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.m_sName);
        run(scenario);
    }
}
