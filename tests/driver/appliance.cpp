#include "appliance.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "repo/package_list.h"

namespace {

const char* kHookLog = "/var/log/hook.calls";
const char* kInstallerLog = "/var/log/installer.calls";

}  // namespace

Appliance::Appliance()
    : work("appliance"), repo(work.file("repo")), builder(work.file("installed-build")) {
    sandbox.writeFile("/usr/share/resources/default/updater/defaults.conf", "<updater/>\n");
    initRpmDb(sandbox.rpmDbPath());
}

void Appliance::install(const std::vector<TestPackage>& packages) {
    std::vector<std::string> files = builder.build(packages, work.file("installed"));
    ASSERT_EQ(files.size(), packages.size());
    std::vector<std::string> args = {"-i", "--nodeps", "--noscripts"};
    args.insert(args.end(), files.begin(), files.end());
    RunOptions options;
    options.program = "/usr/bin/rpm";
    RunResult r = sandbox.run(args, options);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
}

void Appliance::installDevicePackages(const std::vector<DevicePackage>& packages) {
    // The external list is read as a primary list holding device packages.
    std::string xml;
    for (const DevicePackage& p : packages) {
        xml += devicePackageXml(p);
    }
    sandbox.writeFile("/var/run/updater/external.xml",
                      std::string("<?xml version=\"1.0\"?>\n<metadata xmlns=\"") +
                          kCommonNamespace + "\" xmlns:vtx=\"" + kVtxdataNamespace + "\">\n" + xml +
                          "</metadata>\n");
}

void Appliance::publish() {
    if (server) {
        return;
    }
    ASSERT_TRUE(repo.build());
    HttpServer::Options options;
    options.root = repo.dir();
    server = std::make_unique<HttpServer>(options);
}

std::string Appliance::repoUrl() const {
    return server ? server->url("/") : std::string();
}

void Appliance::configure(const std::string& product, const std::string& location) {
    std::string where = location.empty() ? repoUrl() : location;
    sandbox.writeConfig(
        "<?xml version=\"1.0\"?>\n<updater>\n"
        "  <log level=\"info\"><logger type=\"stderr\"/></log>\n"
        "  <repository id=\"base\"><name>Appliance updates</name>"
        "<location href=\"" +
        where + "\"/></repository>\n" + product + "</updater>\n");
}

void Appliance::writeHook(const std::map<std::string, int>& exitCodes) {
    std::string script = "#!/bin/sh\necho \"$*\" >> " + std::string(kHookLog) + "\n";
    for (const auto& kv : exitCodes) {
        script += "[ \"$1\" = \"" + kv.first + "\" ] && exit " + std::to_string(kv.second) + "\n";
    }
    script += "exit 0\n";
    sandbox.writeFile("/usr/libexec/updater/hook", script, 0755);
}

std::vector<std::string> Appliance::hookCalls() const {
    return splitLines(sandbox.readFile(kHookLog));
}

void Appliance::writeDeviceInstaller(const std::map<std::string, int>& exitCodes) {
    std::string script = "#!/bin/sh\necho \"$*\" >> " + std::string(kInstallerLog) + "\n";
    for (const auto& kv : exitCodes) {
        script +=
            "case \"$*\" in *" + kv.first + "*) exit " + std::to_string(kv.second) + ";; esac\n";
    }
    script += "exit 0\n";
    sandbox.writeFile("/usr/libexec/vtxpkg/install", script, 0755);
}

std::vector<std::string> Appliance::installerCalls() const {
    return splitLines(sandbox.readFile(kInstallerLog));
}

void Appliance::setFirmwareVersion(const std::string& version) {
    sandbox.writeFile("/etc/os-release",
                      "NAME=\"Player OS\"\nVERSION_ID=\"" + version + "\"\nID=player\n");
}

std::vector<std::string> Appliance::installed() const {
    CommandResult r =
        runRpm(sandbox.rpmDbPath(), {"-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n"});
    std::vector<std::string> names = splitLines(r.output);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Appliance::cacheFiles() const {
    std::vector<std::string> files;
    std::function<void(const std::string&, const std::string&)> walk =
        [&](const std::string& dir, const std::string& prefix) {
            for (const std::string& name : sandbox.listDir(dir)) {
                struct stat st;
                std::string path = sandbox.hostPath(dir + "/" + name);
                if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                    walk(dir + "/" + name, prefix + name + "/");
                } else {
                    files.push_back(prefix + name);
                }
            }
        };
    walk("/var/cache/updater", "");
    return files;
}

RunResult Appliance::update(std::vector<std::string> args, RunOptions options) {
    return start(std::move(args), std::move(options)).wait();
}

SandboxProcess Appliance::start(std::vector<std::string> args, RunOptions options) {
    args.insert(args.begin(), {"--max-wait-time", "-1"});
    if (!checkIndexSignature) {
        args.insert(args.begin(), "--no-md-sig-check");
    }
    return sandbox.start(args, options);
}

TestPackage requirementsPackage(const std::string& evr, const std::vector<std::string>& needs) {
    TestPackage package("os-update-requirements", evr);
    for (const std::string& need : needs) {
        package.require(need);
    }
    return package;
}

std::vector<std::string> linesStartingWith(const RunResult& r, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : r.errLines()) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}
