#include "harness/package_builder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>

#include "harness/sandbox.h"

namespace {

// Spec text is macro-expanded by rpmbuild: keep a literal "%".
std::string escapeMacros(std::string text) {
    for (size_t at = 0; (at = text.find('%', at)) != std::string::npos; at += 2) {
        text.insert(at, 1, '%');
    }
    return text;
}

std::string absolute(const std::string& path) {
    return path.empty() ? path : std::filesystem::absolute(path).string();
}

// The paths of the files a package puts into the build root.
std::vector<std::string> pathsOf(const TestPackage& p) {
    std::vector<std::string> paths;
    if (p.m_nPayloadSize > 0) {
        paths.push_back("/opt/" + p.m_sName + "/payload");
    }
    for (const auto& f : p.m_mapFiles) {
        paths.push_back(f.first);
    }
    return paths;
}

bool succeeded(const CommandResult& r, const std::string& what) {
    if (r.status != 0) {
        ADD_FAILURE() << what << " failed (" << r.status << "):\n" << r.output;
    }
    return r.status == 0;
}

// Letters and digits of the text, anything else as "-".
std::string fileNameOf(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); },
        '-');
    return text;
}

// A spec of the packages as subpackages; their files are copied from payloadDir.
std::string specText(const std::vector<const TestPackage*>& packages, const std::string& arch,
                     size_t number, const std::string& payloadDir) {
    makeDirs(payloadDir);
    std::ostringstream spec;
    std::ostringstream files;
    spec << "Name: testset-" << number << "\nVersion: 0\nRelease: 0\n"
         << "Summary: generated test packages\nLicense: none\n\n"
         << "%description\ngenerated test packages\n\n";
    for (const TestPackage* p : packages) {
        const std::string name = escapeMacros(p->m_sName);
        spec << "%package -n " << name << "\nSummary: test package " << name << "\n"
             << (p->m_bHasEpoch ? "Epoch: " + std::to_string(p->m_nEpoch) + "\n" : "")
             << "Version: " << escapeMacros(p->m_sVersion) << "\n"
             << "Release: " << escapeMacros(p->m_sRelease) << "\n"
             << (p->m_sGroup.empty() ? "" : "Group: " + escapeMacros(p->m_sGroup) + "\n")
             << (arch == "noarch" ? "BuildArch: noarch\n" : "") << "AutoReqProv: no\n";
        for (const auto& kind : {std::make_pair("Requires", &p->m_vRequires),
                                 std::make_pair("Recommends", &p->m_vRecommends),
                                 std::make_pair("Provides", &p->m_vProvides),
                                 std::make_pair("Obsoletes", &p->m_vObsoletes)}) {
            for (const std::string& dep : *kind.second) {
                spec << kind.first << ": " << escapeMacros(dep) << "\n";
            }
        }
        spec << "\n%description -n " << name << "\ntest package " << name << "\n\n"
             << (p->m_sPre.empty() ? ""
                                   : "%pre -n " + name + "\n" + escapeMacros(p->m_sPre) + "\n\n");
        files << "%files -n " << name << "\n";
        for (const std::string& path : pathsOf(*p)) {
            files << escapeMacros(path) << "\n";
            auto content = p->m_mapFiles.find(path);
            writeHostFile(payloadDir + path, content == p->m_mapFiles.end() ? "" : content->second);
            if (content == p->m_mapFiles.end() &&
                truncate((payloadDir + path).c_str(), static_cast<off_t>(p->m_nPayloadSize)) != 0) {
                throw std::runtime_error("cannot size " + payloadDir + path);
            }
        }
        files << "\n";
    }
    spec << "%install\nmkdir -p %{buildroot}\ncp -a " << payloadDir << "/. %{buildroot}/\n\n"
         << files.str();
    return spec.str();
}

}  // namespace

std::vector<std::string> splitEvr(std::string_view evr) {
    size_t colon = evr.find(':');
    std::string epoch = colon == std::string_view::npos ? "" : std::string(evr.substr(0, colon));
    evr = colon == std::string_view::npos ? evr : evr.substr(colon + 1);
    size_t dash = evr.find('-');
    return {epoch, std::string(evr.substr(0, dash)),
            dash == std::string_view::npos ? "" : std::string(evr.substr(dash + 1))};
}

PackageBuilder::PackageBuilder(std::string workDir) : m_sWorkDir(absolute(workDir)) {
    // Only this configuration and the system's: nothing of the user's.
    writeHostFile(m_sWorkDir + "/home/.rpmmacros",
                  "%_topdir " + m_sWorkDir +
                      "/top\n"
                      "%_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm\n"
                      "%_binary_payload w1.gzdio\n"
                      "%debug_package %{nil}\n"
                      "%__os_install_post %{nil}\n"
                      "%_build_id_links none\n"
                      "%_buildhost localhost\n"
                      "%_dbpath " +
                      m_sWorkDir + "/no-rpmdb\n");
}

std::vector<std::string> PackageBuilder::build(const std::vector<TestPackage>& packages,
                                               const std::string& outDirectory) {
    const std::string outDir = absolute(outDirectory);
    makeDirs(outDir);
    // One spec holds one package of a name and one content per file path;
    // packages that would clash go into a later spec of their architecture.
    struct Spec {
        std::vector<const TestPackage*> m_vPackages;
        std::set<std::string> m_setNamesAndPaths;
    };
    std::map<std::string, std::vector<Spec>> specs;
    std::set<std::string> fileNames;
    for (const TestPackage& p : packages) {
        if (!fileNames.insert(p.fileName()).second) {
            ADD_FAILURE() << "package " << p.fileName() << " given twice";
            return {};
        }
        std::vector<std::string> keys = pathsOf(p);
        keys.push_back("name:" + p.m_sName);
        std::vector<Spec>& list = specs[p.m_sArch];
        auto it = std::find_if(list.begin(), list.end(), [&](const Spec& s) {
            return std::none_of(keys.begin(), keys.end(), [&](const std::string& k) {
                return s.m_setNamesAndPaths.count(k) != 0;
            });
        });
        if (it == list.end()) {
            it = list.insert(list.end(), Spec());
        }
        it->m_vPackages.push_back(&p);
        it->m_setNamesAndPaths.insert(keys.begin(), keys.end());
    }
    for (const auto& arch : specs) {
        // Names in another encoding than UTF-8 are kept, as older rpm did.
        std::vector<std::string> argv = {"rpmbuild", "-bb", "--quiet", "--define",
                                         "_rpmdir " + outDir, "--define",
                                         "_invalid_encoding_terminates_build 0"};
        if (arch.first != "noarch") {
            argv.insert(argv.end(), {"--target", arch.first});
        }
        for (const Spec& s : arch.second) {
            const std::string number = std::to_string(++m_nSpecs);
            const std::string path = m_sWorkDir + "/specs/testset-" + number + ".spec";
            writeHostFile(path, specText(s.m_vPackages, arch.first, m_nSpecs,
                                         m_sWorkDir + "/payload-" + number));
            argv.push_back(path);
        }
        if (!succeeded(runCommand(argv, {{"HOME", m_sWorkDir + "/home"}}, m_sWorkDir),
                       "rpmbuild")) {
            return {};
        }
    }
    std::vector<std::string> result;
    for (const TestPackage& p : packages) {
        result.push_back(outDir + "/" + p.fileName());
        if (access(result.back().c_str(), F_OK) != 0) {
            ADD_FAILURE() << "rpmbuild did not make " << result.back();
            return {};
        }
    }
    return result;
}

CommandResult runRpm(const std::string& dbPath, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"rpm", "--dbpath", absolute(dbPath)};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

bool initRpmDb(const std::string& dbPath) {
    makeDirs(dbPath);
    return succeeded(runRpm(dbPath, {"--initdb"}), "rpm --initdb");
}

bool installJustDb(const std::string& dbPath, const std::vector<std::string>& files) {
    std::vector<std::string> args = {"-i",           "--justdb",      "--nodeps",
                                     "--noscripts",  "--ignorearch",  "--ignoreos",
                                     "--oldpackage", "--replacefiles"};
    args.insert(args.end(), files.begin(), files.end());
    return succeeded(runRpm(dbPath, args), "rpm -i --justdb");
}

bool importKey(const std::string& dbPath, const std::string& keyFile) {
    return succeeded(runRpm(dbPath, {"--import", keyFile}), "rpm --import");
}

TestKey::TestKey(std::string name, const std::string& algorithm, const std::string& exportDir)
    : m_sName(std::move(name)) {
    // Key generation takes seconds: the first test process generates the
    // key into the cache, the others wait for it and copy it.
    const std::string cache =
        sandboxRoot() + "/keys/" + fileNameOf(m_sName) + "-" + fileNameOf(algorithm) + "-2020";
    makeDirs(sandboxRoot() + "/keys");
    char pattern[] = "/tmp/updater-gpg.XXXXXX";
    int lock = open((cache + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    bool ready = lock >= 0 && flock(lock, LOCK_EX) == 0 && mkdtemp(pattern) != nullptr;
    m_sHome = ready ? pattern : "";
    if (ready && access((cache + "/ready").c_str(), F_OK) != 0) {
        removeTree(cache);
        // Made in the past, so that signatures can be dated back.
        ready = gpg({"--faked-system-time", "20200101T000000!", "--pinentry-mode", "loopback",
                     "--passphrase", "", "--quick-gen-key", m_sName, algorithm, "sign", "never"}) &&
                // The agent's sockets vanish while it shuts down: copy
                // everything else, and nothing that is gone by then.
                succeeded(runShell("gpgconf --homedir \"$H\" --kill gpg-agent; "
                                   "mkdir -p -m 700 \"$C/gnupg\" && for f in \"$H\"/*; do "
                                   "[ -S \"$f\" ] || [ ! -e \"$f\" ] || cp -a \"$f\" \"$C/gnupg/\" "
                                   "|| exit 1; done && touch \"$C/ready\"",
                                   {{"H", m_sHome}, {"C", cache}}),
                          "caching the key");
    } else if (ready) {
        ready = succeeded(runCommand({"cp", "-a", cache + "/gnupg/.", m_sHome + "/"}),
                          "copying the key");
    }
    if (lock >= 0) {
        close(lock);
    }
    makeDirs(exportDir);
    m_sPublicKeyFile = exportDir + "/" + fileNameOf(m_sName) + ".asc";
    if (!ready || !gpg({"--armor", "--output", m_sPublicKeyFile, "--yes", "--export", m_sName})) {
        ADD_FAILURE() << "no key " << m_sName << " in " << cache;
        return;
    }
    // The fifth field of the "pub" line.
    std::istringstream listing(runCommand({"gpg", "--batch", "--homedir", m_sHome, "--with-colons",
                                           "--list-keys", m_sName})
                                   .output);
    for (std::string line; std::getline(listing, line) && m_sKeyId.empty();) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && std::getline(fields, field, ':'); ++i) {
        }
        m_sKeyId = line.rfind("pub:", 0) == 0 ? field : "";
    }
    std::transform(m_sKeyId.begin(), m_sKeyId.end(), m_sKeyId.begin(), ::tolower);
    EXPECT_EQ(m_sKeyId.size(), 16u) << "key ID of " << m_sName;
}

TestKey::~TestKey() {
    if (!m_sHome.empty()) {
        runCommand({"gpgconf", "--homedir", m_sHome, "--kill", "gpg-agent"});
        removeTree(m_sHome);
    }
}

bool TestKey::gpg(std::vector<std::string> args) const {
    args.insert(args.begin(), {"gpg", "--batch", "--homedir", m_sHome});
    return succeeded(runCommand(args), args[4]);
}

bool TestKey::signPackage(const std::string& rpmFile) const {
    return succeeded(
        runCommand({"rpmsign", "--define", "__gpg /usr/bin/gpg", "--define", "_gpg_name " + m_sName,
                    "--define", "_gpg_path " + m_sHome, "--addsign", rpmFile}),
        "rpmsign");
}
