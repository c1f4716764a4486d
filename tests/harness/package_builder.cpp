#include "harness/package_builder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>

#include "harness/sandbox.h"

namespace {

// Spec text is macro-expanded by rpmbuild: keep a literal "%".
std::string escapeMacros(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') {
            out += '%';
        }
    }
    return out;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) {
        throw std::runtime_error("cannot get the working directory");
    }
    return std::string(cwd) + "/" + path;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void makeSizedFile(const std::string& path, uint64_t size) {
    size_t slash = path.rfind('/');
    makeDirs(path.substr(0, slash));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("cannot create " + path);
    }
    close(fd);
}

// The files a package puts into the build root: path to content ("" with a
// size for the payload file).
struct PayloadFile {
    std::string m_sPath;
    const std::string* m_pContent;  // null: m_nSize zero bytes
    uint64_t m_nSize;
};

std::vector<PayloadFile> payloadOf(const TestPackage& p) {
    std::vector<PayloadFile> files;
    if (p.m_nPayloadSize > 0) {
        files.push_back({"/opt/" + p.m_sName + "/payload", nullptr, p.m_nPayloadSize});
    }
    for (const auto& f : p.m_mapFiles) {
        files.push_back({f.first, &f.second, 0});
    }
    return files;
}

}  // namespace

TestPackage::TestPackage(std::string name, std::string_view evr, std::string arch)
    : m_sName(std::move(name)), m_sArch(std::move(arch)) {
    std::string_view rest = evr;
    size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
        m_bHasEpoch = true;
        m_nEpoch = static_cast<uint32_t>(std::stoul(std::string(rest.substr(0, colon))));
        rest = rest.substr(colon + 1);
    }
    size_t dash = rest.find('-');
    if (dash == std::string_view::npos) {
        m_sVersion = std::string(rest);
    } else {
        m_sVersion = std::string(rest.substr(0, dash));
        m_sRelease = std::string(rest.substr(dash + 1));
    }
}

TestPackage& TestPackage::require(std::string dep) {
    m_vRequires.push_back(std::move(dep));
    return *this;
}
TestPackage& TestPackage::recommend(std::string dep) {
    m_vRecommends.push_back(std::move(dep));
    return *this;
}
TestPackage& TestPackage::provide(std::string dep) {
    m_vProvides.push_back(std::move(dep));
    return *this;
}
TestPackage& TestPackage::obsolete(std::string dep) {
    m_vObsoletes.push_back(std::move(dep));
    return *this;
}
TestPackage& TestPackage::conflict(std::string dep) {
    m_vConflicts.push_back(std::move(dep));
    return *this;
}
TestPackage& TestPackage::group(std::string group) {
    m_sGroup = std::move(group);
    return *this;
}
TestPackage& TestPackage::payload(uint64_t size) {
    m_nPayloadSize = size;
    return *this;
}
TestPackage& TestPackage::file(const std::string& path, std::string content) {
    m_mapFiles[path] = std::move(content);
    return *this;
}
TestPackage& TestPackage::pre(std::string script) {
    m_sPre = std::move(script);
    return *this;
}
TestPackage& TestPackage::post(std::string script) {
    m_sPost = std::move(script);
    return *this;
}

std::string TestPackage::evr() const {
    std::string text = m_bHasEpoch ? std::to_string(m_nEpoch) + ":" : "";
    return text + m_sVersion + "-" + m_sRelease;
}

std::string TestPackage::fileName() const {
    return m_sName + "-" + m_sVersion + "-" + m_sRelease + "." + m_sArch + ".rpm";
}

PackageBuilder::PackageBuilder(std::string workDir)
    : m_sWorkDir(absolute(workDir)), m_sHome(m_sWorkDir + "/home") {
    makeDirs(m_sHome);
    // Only this configuration and the system's: nothing of the user's.
    writeHostFile(m_sHome + "/.rpmmacros",
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

std::string PackageBuilder::writeSpec(const std::vector<const TestPackage*>& packages,
                                      const std::string& arch, size_t number) {
    std::string payloadDir = m_sWorkDir + "/payload-" + std::to_string(number);
    std::ostringstream spec;
    spec << "Name: testset-" << number << "\nVersion: 0\nRelease: 0\n"
         << "Summary: generated test packages\nLicense: none\n\n"
         << "%description\ngenerated test packages\n\n";
    bool anyFiles = false;
    for (const TestPackage* p : packages) {
        const std::string name = escapeMacros(p->m_sName);
        spec << "%package -n " << name << "\nSummary: test package " << name << "\n";
        if (p->m_bHasEpoch) {
            spec << "Epoch: " << p->m_nEpoch << "\n";
        }
        spec << "Version: " << escapeMacros(p->m_sVersion) << "\n"
             << "Release: " << escapeMacros(p->m_sRelease) << "\n";
        if (!p->m_sGroup.empty()) {
            spec << "Group: " << escapeMacros(p->m_sGroup) << "\n";
        }
        if (arch == "noarch") {
            spec << "BuildArch: noarch\n";
        }
        spec << "AutoReqProv: no\n";
        const std::pair<const char*, const std::vector<std::string>*> deps[] = {
            {"Requires", &p->m_vRequires},   {"Recommends", &p->m_vRecommends},
            {"Provides", &p->m_vProvides},   {"Obsoletes", &p->m_vObsoletes},
            {"Conflicts", &p->m_vConflicts},
        };
        for (const auto& kind : deps) {
            for (const std::string& dep : *kind.second) {
                spec << kind.first << ": " << escapeMacros(dep) << "\n";
            }
        }
        spec << "\n%description -n " << name << "\ntest package " << name << "\n\n";
        const std::pair<const char*, const std::string*> scripts[] = {
            {"pre", &p->m_sPre},
            {"post", &p->m_sPost},
            {"preun", &p->m_sPreun},
            {"postun", &p->m_sPostun},
        };
        for (const auto& script : scripts) {
            if (!script.second->empty()) {
                spec << "%" << script.first << " -n " << name << "\n"
                     << escapeMacros(*script.second) << "\n\n";
            }
        }
        for (const PayloadFile& f : payloadOf(*p)) {
            anyFiles = true;
            std::string path = payloadDir + f.m_sPath;
            if (f.m_pContent == nullptr) {
                makeSizedFile(path, f.m_nSize);
            } else {
                writeHostFile(path, *f.m_pContent);
            }
        }
    }
    spec << "%install\nmkdir -p %{buildroot}\n";
    if (anyFiles) {
        spec << "cp -a " << payloadDir << "/. %{buildroot}/\n";
    }
    spec << "\n";
    for (const TestPackage* p : packages) {
        spec << "%files -n " << escapeMacros(p->m_sName) << "\n";
        for (const PayloadFile& f : payloadOf(*p)) {
            spec << escapeMacros(f.m_sPath) << "\n";
        }
        spec << "\n";
    }
    std::string path = m_sWorkDir + "/specs/testset-" + std::to_string(number) + ".spec";
    writeHostFile(path, spec.str());
    return path;
}

std::vector<std::string> PackageBuilder::build(const std::vector<TestPackage>& packages,
                                               const std::string& outDirectory) {
    std::vector<std::string> result;
    const std::string outDir = absolute(outDirectory);
    makeDirs(outDir);
    // One spec holds one package of a name and one content per file path;
    // packages that would clash go into a later spec of their architecture.
    struct Round {
        std::vector<const TestPackage*> m_vPackages;
        std::set<std::string> m_setNames;
        std::set<std::string> m_setPaths;
    };
    std::map<std::string, std::vector<Round>> rounds;
    std::set<std::string> fileNames;
    for (const TestPackage& p : packages) {
        if (!fileNames.insert(p.fileName()).second) {
            ADD_FAILURE() << "package " << p.fileName() << " given twice";
            return {};
        }
        std::vector<Round>& list = rounds[p.m_sArch];
        std::vector<PayloadFile> files = payloadOf(p);
        auto fits = [&](const Round& r) {
            if (r.m_setNames.count(p.m_sName) != 0) {
                return false;
            }
            return std::none_of(files.begin(), files.end(), [&](const PayloadFile& f) {
                return r.m_setPaths.count(f.m_sPath) != 0;
            });
        };
        auto it = std::find_if(list.begin(), list.end(), fits);
        if (it == list.end()) {
            it = list.insert(list.end(), Round());
        }
        it->m_vPackages.push_back(&p);
        it->m_setNames.insert(p.m_sName);
        for (const PayloadFile& f : files) {
            it->m_setPaths.insert(f.m_sPath);
        }
    }

    for (const auto& arch : rounds) {
        std::vector<std::string> argv = {"rpmbuild", "-bb", "--quiet", "--define",
                                         "_rpmdir " + outDir};
        if (arch.first != "noarch") {
            argv.push_back("--target");
            argv.push_back(arch.first);
        }
        for (const Round& r : arch.second) {
            argv.push_back(writeSpec(r.m_vPackages, arch.first, ++m_nSpecs));
        }
        CommandResult built = runCommand(argv, {{"HOME", m_sHome}}, m_sWorkDir);
        if (built.status != 0) {
            ADD_FAILURE() << "rpmbuild failed (" << built.status << "):\n" << built.output;
            return {};
        }
    }
    for (const TestPackage& p : packages) {
        std::string path = outDir + "/" + p.fileName();
        if (!fileExists(path)) {
            ADD_FAILURE() << "rpmbuild did not make " << path;
            return {};
        }
        result.push_back(path);
    }
    return result;
}

std::string PackageBuilder::build(const TestPackage& package, const std::string& outDir) {
    std::vector<std::string> files = build(std::vector<TestPackage>{package}, outDir);
    return files.empty() ? std::string() : files.front();
}

CommandResult runRpm(const std::string& dbPath, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"rpm", "--dbpath", absolute(dbPath)};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

bool initRpmDb(const std::string& dbPath) {
    makeDirs(dbPath);
    CommandResult r = runRpm(dbPath, {"--initdb"});
    if (r.status != 0) {
        ADD_FAILURE() << "rpm --initdb failed:\n" << r.output;
        return false;
    }
    return true;
}

bool installJustDb(const std::string& dbPath, const std::vector<std::string>& files) {
    std::vector<std::string> args = {"-i",           "--justdb",      "--nodeps",
                                     "--noscripts",  "--ignorearch",  "--ignoreos",
                                     "--oldpackage", "--replacefiles"};
    args.insert(args.end(), files.begin(), files.end());
    CommandResult r = runRpm(dbPath, args);
    if (r.status != 0) {
        ADD_FAILURE() << "rpm -i --justdb failed:\n" << r.output;
        return false;
    }
    return true;
}

bool importKey(const std::string& dbPath, const std::string& keyFile) {
    CommandResult r = runRpm(dbPath, {"--import", keyFile});
    if (r.status != 0) {
        ADD_FAILURE() << "rpm --import failed:\n" << r.output;
        return false;
    }
    return true;
}

std::vector<std::string> queryInstalledNames(const std::string& dbPath) {
    CommandResult r = runRpm(dbPath, {"-qa", "--qf", "%{NAME}\\n"});
    if (r.status != 0) {
        ADD_FAILURE() << "rpm -qa failed:\n" << r.output;
        return {};
    }
    std::vector<std::string> names = splitLines(r.output);
    std::sort(names.begin(), names.end());
    return names;
}

TestKey::TestKey(std::string name, const std::string& exportDir) : m_sName(std::move(name)) {
    char pattern[] = "/tmp/updater-gpg.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "cannot create a GnuPG home";
        return;
    }
    m_sHome = pattern;
    std::string params = m_sHome + "/key-params";
    writeHostFile(params,
                  "%no-protection\nKey-Type: RSA\nKey-Length: 2048\nKey-Usage: sign\n"
                  "Name-Real: " +
                      m_sName + "\nExpire-Date: 0\n%commit\n");
    CommandResult r = runCommand({"gpg", "--batch", "--homedir", m_sHome, "--gen-key", params});
    if (r.status != 0) {
        ADD_FAILURE() << "gpg --gen-key failed:\n" << r.output;
        return;
    }
    std::string fileName = m_sName;
    for (char& c : fileName) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            c = '-';
        }
    }
    makeDirs(exportDir);
    m_sPublicKeyFile = exportDir + "/" + fileName + ".asc";
    r = runCommand({"gpg", "--batch", "--homedir", m_sHome, "--armor", "--output", m_sPublicKeyFile,
                    "--export", m_sName});
    if (r.status != 0) {
        ADD_FAILURE() << "gpg --export failed:\n" << r.output;
        return;
    }
    readKeyId();
}

void TestKey::readKeyId() {
    CommandResult r = runCommand(
        {"gpg", "--batch", "--homedir", m_sHome, "--with-colons", "--list-keys", m_sName});
    for (const std::string& line : splitLines(r.output)) {
        if (line.compare(0, 4, "pub:") == 0) {
            std::vector<std::string> fields;
            std::istringstream in(line);
            std::string field;
            while (std::getline(in, field, ':')) {
                fields.push_back(field);
            }
            if (fields.size() > 4) {
                m_sKeyId = fields[4];
                std::transform(m_sKeyId.begin(), m_sKeyId.end(), m_sKeyId.begin(),
                               [](unsigned char c) { return static_cast<char>(tolower(c)); });
            }
        }
    }
    m_bValid = !m_sKeyId.empty();
    if (!m_bValid) {
        ADD_FAILURE() << "no key ID listed for " << m_sName << ":\n" << r.output;
    }
}

namespace {

std::string fileNameOf(const std::string& text) {
    std::string name = text;
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            c = '-';
        }
    }
    return name;
}

// Generates the key into cacheDir/gnupg unless an earlier test process did;
// key generation takes seconds, so the key serves the whole build tree.
bool generateCachedKey(const std::string& name, const std::string& algorithm,
                       const std::string& cacheDir) {
    makeDirs(sandboxRoot() + "/keys");
    int lock = open((cacheDir + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        ADD_FAILURE() << "cannot lock " << cacheDir;
        if (lock >= 0) {
            close(lock);
        }
        return false;
    }
    bool ok = access((cacheDir + "/ready").c_str(), F_OK) == 0;
    if (!ok) {
        removeTree(cacheDir);
        char pattern[] = "/tmp/updater-gpg.XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            std::string home = pattern;
            CommandResult r = runCommand({"gpg", "--batch", "--homedir", home, "--pinentry-mode",
                                          "loopback", "--passphrase", "", "--quick-gen-key", name,
                                          algorithm, "sign", "never"});
            runCommand({"gpgconf", "--homedir", home, "--kill", "gpg-agent"});
            if (r.status == 0) {
                makeDirs(cacheDir);
                CommandResult copy = runShell("cp -a '" + home + "' '" + cacheDir +
                                              "/gnupg' && rm -f '" + cacheDir + "/gnupg/S.'*");
                ok = copy.status == 0;
                if (ok) {
                    writeHostFile(cacheDir + "/ready", "");
                }
            } else {
                ADD_FAILURE() << "gpg --quick-gen-key failed:\n" << r.output;
            }
            removeTree(home);
        }
    }
    close(lock);
    return ok;
}

}  // namespace

TestKey::TestKey(std::string name, const std::string& algorithm, const std::string& exportDir)
    : m_sName(std::move(name)) {
    const std::string cacheDir =
        sandboxRoot() + "/keys/" + fileNameOf(m_sName) + "-" + fileNameOf(algorithm);
    if (!generateCachedKey(m_sName, algorithm, cacheDir)) {
        return;
    }
    char pattern[] = "/tmp/updater-gpg.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "cannot create a GnuPG home";
        return;
    }
    m_sHome = pattern;
    CommandResult r = runShell("cp -a '" + cacheDir + "/gnupg/.' '" + m_sHome + "/'");
    if (r.status != 0) {
        ADD_FAILURE() << "cannot copy the key:\n" << r.output;
        return;
    }
    makeDirs(exportDir);
    m_sPublicKeyFile = exportDir + "/" + fileNameOf(m_sName) + ".asc";
    r = runCommand({"gpg", "--batch", "--homedir", m_sHome, "--armor", "--output", m_sPublicKeyFile,
                    "--yes", "--export", m_sName});
    if (r.status != 0) {
        ADD_FAILURE() << "gpg --export failed:\n" << r.output;
        return;
    }
    readKeyId();
}

bool TestKey::exportBinary(const std::string& file) const {
    return runCommand({"gpg", "--batch", "--homedir", m_sHome, "--yes", "--output", file,
                       "--export", m_sName})
               .status == 0;
}

bool TestKey::signPackage(const std::string& rpmFile) const {
    CommandResult r =
        runCommand({"rpmsign", "--define", "__gpg /usr/bin/gpg", "--define", "_gpg_name " + m_sName,
                    "--define", "_gpg_path " + m_sHome, "--addsign", rpmFile});
    if (r.status != 0) {
        ADD_FAILURE() << "rpmsign failed:\n" << r.output;
        return false;
    }
    return true;
}

bool TestKey::detachSign(const std::string& file, const std::string& signatureFile) const {
    CommandResult r =
        runCommand({"gpg", "--batch", "--homedir", m_sHome, "--yes", "--local-user", m_sName,
                    "--armor", "--output", signatureFile, "--detach-sign", file});
    if (r.status != 0) {
        ADD_FAILURE() << "gpg --detach-sign failed:\n" << r.output;
        return false;
    }
    return true;
}

TestKey::~TestKey() {
    if (!m_sHome.empty()) {
        runCommand({"gpgconf", "--homedir", m_sHome, "--kill", "gpg-agent"});
        removeTree(m_sHome);
    }
}
