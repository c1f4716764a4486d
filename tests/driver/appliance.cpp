#include "appliance.h"

#include <unistd.h>

#include <algorithm>
#include <regex>

#include "harness/command.h"
#include "repo/package_list.h"

const char* const kProduct =
    "  <product><name>demo-player</name><packages>\n"
    "    <release><package><name>player-release</name></package></release>\n"
    "    <addons><package><name>codec-addon</name></package></addons>\n"
    "    <repo-required><package><name>player-release</name></package></repo-required>\n"
    "  </packages></product>\n";

const char* const kIndexRecord = "/var/lib/updater/index-record";

const TestKey& indexKey() {
    static ScratchDir exports("index-key");
    static TestKey key("Updater Test Index", exports.path());
    return key;
}

Scenario& signedWithIndexKey(Scenario& s) {
    return s.prepared([](Appliance& a) {
        a.checkIndexSignature = true;
        EXPECT_TRUE(importKey(a.sandbox.rpmDbPath(), indexKey().publicKeyFile()));
        a.repo.signWith(&indexKey(), &indexKey());
    });
}

std::function<void(Appliance&)> signIndexAt(const std::string& at) {
    return [at](Appliance& a) {
        ASSERT_TRUE(indexKey().detachSign(a.repo.indexFile(), a.repo.signatureFile(), at));
    };
}

Appliance::Appliance()
    : work("appliance"), repo(work.file("repo")), builder(work.file("installed-build")) {
    sandbox.writeFile("/usr/share/resources/default/updater/defaults.conf", "<updater/>\n");
    initRpmDb(sandbox.rpmDbPath());
}

void Appliance::install(const std::vector<TestPackage>& packages) {
    installFiles(builder.build(packages, work.file("installed")));
}

void Appliance::installFiles(Lines files) {
    files.insert(files.begin(), {"-i", "--nodeps", "--noscripts"});
    RunOptions options;
    options.program = "/usr/bin/rpm";
    RunResult r = sandbox.run(files, options);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
}

void Appliance::installDevicePackages(const std::vector<DevicePackage>& packages) {
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
    if (!server) {
        ASSERT_TRUE(repo.build());
        HttpServer::Options options;
        options.root = repo.dir();
        server = std::make_unique<HttpServer>(options);
    }
}

void Appliance::configure(const std::string& product, const std::string& location) {
    sandbox.writeConfig(
        "<?xml version=\"1.0\"?>\n<updater>\n  <log level=\"info\"><logger "
        "type=\"stderr\"/></log>\n"
        "  <repository id=\"base\"><name>Appliance updates</name><location href=\"" +
        (location.empty() ? repoUrl() : location) + "\"/></repository>\n" + product +
        "</updater>\n");
}

void Appliance::writeHook(const std::map<std::string, int>& exitCodes) {
    // The phase is matched whole: "update" is not "postupdate".
    std::string script = "#!/bin/sh\necho \"$*\" >> /var/log/hook.calls\n";
    for (const auto& kv : exitCodes) {
        script += "[ \"$1\" = " + kv.first + " ] && exit " + std::to_string(kv.second) + "\n";
    }
    sandbox.writeFile("/usr/libexec/updater/hook", script + "exit 0\n", 0755);
}

void Appliance::writeDeviceInstaller(const std::map<std::string, int>& exitCodes) {
    std::string script = "#!/bin/sh\necho \"$*\" >> /var/log/inst.calls\n";
    for (const auto& kv : exitCodes) {
        script +=
            "case \"$*\" in *" + kv.first + "*) exit " + std::to_string(kv.second) + ";; esac\n";
    }
    sandbox.writeFile("/usr/libexec/vtxpkg/install", script + "exit 0\n", 0755);
}

Lines Appliance::installed() const {
    Lines names = splitLines(
        runRpm(sandbox.rpmDbPath(), {"-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n"}).output);
    // Imported keys are listed as packages too.
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) { return n.rfind("gpg-pubkey-", 0) == 0; }),
                names.end());
    std::sort(names.begin(), names.end());
    return names;
}

RunResult Appliance::update(std::vector<std::string> args, const RunOptions& options) {
    return start(std::move(args), options).wait();
}

SandboxProcess Appliance::start(std::vector<std::string> args, const RunOptions& options) {
    args.insert(args.begin(), {"--max-wait-time", "-1"});
    if (!checkIndexSignature) {
        args.insert(args.begin(), "--no-md-sig-check");
    }
    return sandbox.start(args, options);
}

Scenario::Scenario(std::string n) : name(std::move(n)), product(kProduct) {
    installed = {TestPackage("updater", "1.17-1"),
                 TestPackage("player-release", "4.0-1"),
                 TestPackage("app", "1.0-1").require("libfoo >= 1.0").payload(1000),
                 TestPackage("libfoo", "1.0-1"),
                 TestPackage("codec-addon", "1.0-1"),
                 TestPackage("base-system", "1.0-1").provide("/bin/sh")};  // for scriptlets
    offered = {TestPackage("app", "2.0-1").require("libfoo >= 2.0").require("newdep").payload(5000),
               TestPackage("libfoo", "2.0-1").payload(100),
               TestPackage("newdep", "1.0-1").payload(3000),
               TestPackage("player-release", "4.1-1"),
               TestPackage("codec-addon", "1.1-1"),
               TestPackage("updater", "1.17-1")};
    // The firmware image is listed, never fetched or installed.
    installedDevice = {DevicePackage("dsp-firmware", "1.0-1"),
                       DevicePackage("player-image", "4.0-1", "flashedfw").noFile()};
    offeredDevice = {DevicePackage("dsp-firmware", "2.0-1").content("dsp blob"),
                     DevicePackage("player-image", "4.1-1", "flashedfw").noFile()};
}

Scenario& Scenario::bare() {
    installed.clear();
    offered.clear();
    installedDevice.clear();
    offeredDevice.clear();
    repository = false;
    config = Sandbox::simpleConfig();
    return *this;
}

Scenario& Scenario::logs(Lines texts, Lines absentTexts) {
    last().has.insert(last().has.end(), texts.begin(), texts.end());
    last().lacks.insert(last().lacks.end(), absentTexts.begin(), absentTexts.end());
    return *this;
}

namespace {

void checkStep(Appliance& a, const Step& step, const RunResult& r) {
    if (step.timedOut) {
        EXPECT_TRUE(r.timedOut) << r.describe();
    } else if (step.signal != 0) {
        EXPECT_TRUE(r.signaled && r.signal == step.signal) << r.describe();
    } else {
        EXPECT_TRUE(r.exited) << r.describe();
        EXPECT_EQ(r.exitCode, step.exitCode) << r.describe();
    }
    for (const std::string& text : step.has) {
        EXPECT_TRUE(r.errHas(text)) << "missing: " << text << "\n" << r.describe();
    }
    for (const std::string& text : step.lacks) {
        EXPECT_FALSE(r.errHas(text)) << "unexpected: " << text << "\n" << r.describe();
    }
    for (const auto& c : step.counts) {
        EXPECT_EQ(r.errCount(c.first), c.second) << c.first << "\n" << r.describe();
    }
    for (const auto& p : step.prefixed) {
        Lines found, all = r.errLines();
        std::copy_if(all.begin(), all.end(), std::back_inserter(found),
                     [&](const std::string& line) { return line.rfind(p.first, 0) == 0; });
        EXPECT_EQ(found, p.second) << r.describe();
    }
    if (step.rpms || !step.rpmsHave.empty()) {
        const Lines rpms = a.installed();
        if (step.rpms) {
            EXPECT_EQ(rpms, *step.rpms);
        }
        for (const std::string& name : step.rpmsHave) {
            const bool want = name[0] != '!';
            EXPECT_EQ(std::count(rpms.begin(), rpms.end(), name.substr(want ? 0 : 1)), want)
                << name;
        }
    }
    if (step.hooks) {
        EXPECT_EQ(a.hookCalls(), *step.hooks) << r.describe();
    }
    if (step.installer) {
        EXPECT_EQ(a.installerCalls(), *step.installer);
    }
    if (step.stubs) {
        EXPECT_EQ(a.sandbox.stubCalls(), *step.stubs);
    }
    for (const auto& f : step.files) {
        EXPECT_EQ(a.sandbox.readFile(f.first), f.second) << f.first;
    }
    for (const std::string& path : step.absent) {
        EXPECT_FALSE(a.sandbox.exists(path)) << path;
    }
    for (const std::string& path : step.present) {
        EXPECT_TRUE(a.sandbox.exists(path)) << path;
    }
    if (!step.lastHook.empty()) {
        const Lines hooks = a.hookCalls();
        EXPECT_TRUE(!hooks.empty() && hooks.back().rfind(step.lastHook, 0) == 0) << r.describe();
    }
    for (const auto& [path, has, lacks] : step.texts) {
        const std::string text = a.sandbox.readFile(path);
        for (const std::string& t : has) {
            EXPECT_NE(text.find(t), std::string::npos) << t << " in " << path << ":\n" << text;
        }
        for (const std::string& t : lacks) {
            EXPECT_EQ(text.find(t), std::string::npos) << t << " in " << path << ":\n" << text;
        }
    }
    for (const auto& [end, n] : step.requests) {
        EXPECT_EQ(requestsEnding(a, end), n) << end;
    }
    if (!step.report.empty()) {
        Lines fields, expected;
        for (const auto& [field, value] : step.report) {
            fields.push_back(field);
            expected.push_back(field + " " + value);
        }
        EXPECT_EQ(reportFields(a.sandbox, fields), expected)
            << a.sandbox.readFile("/var/lib/updater/last-run.json") << r.describe();
    }
    for (const auto& check : step.checks) {
        check(a, r);
    }
}

}  // namespace

Lines reportFields(const Sandbox& sandbox, const Lines& fields) {
    static const char* const kReader =
        "import json, os, sys\n"
        "report, history = sys.argv[1], sys.argv[2]\n"
        "if not os.path.exists(report):\n"
        "    print('absent'); sys.exit(0)\n"
        "r = json.load(open(report))\n"
        "r['history'] = [json.loads(l) for l in open(history)] if os.path.exists(history) else []\n"
        "for field in sys.argv[3:]:\n"
        "    v = r\n"
        "    for k in field.split('.'):\n"
        "        v = len(v) if k == '#' else v[int(k)] if isinstance(v, list) else v[k]\n"
        "    print(field, json.dumps(v))\n";
    std::vector<std::string> argv = {"python3", "-c", kReader,
                                     sandbox.hostPath("/var/lib/updater/last-run.json"),
                                     sandbox.hostPath("/var/lib/updater/run-history.jsonl")};
    argv.insert(argv.end(), fields.begin(), fields.end());
    CommandResult result = runCommand(argv);
    Lines lines = splitLines(result.output);
    if (result.status != 0) {
        return {lines.empty() ? "python3 failed" : lines.back()};
    }
    return lines;
}

void runScenario(const Scenario& s) {
    ASSERT_FALSE(s.steps.empty()) << "a scenario without a run checks nothing";
    Appliance a;
    if (!s.installed.empty()) {
        a.install(s.installed);
    }
    if (!s.installedDevice.empty()) {
        a.installDevicePackages(s.installedDevice);
    }
    a.writeHook(s.hookExits);
    a.writeDeviceInstaller(s.installerExits);
    a.repo.add(s.offered);
    for (const DevicePackage& d : s.offeredDevice) {
        a.repo.addDevicePackage(d);
    }
    if (s.prepare) {
        s.prepare(a);
    }
    std::string location;
    if (s.fileRepo) {
        ASSERT_TRUE(a.repo.build());
        location = a.repo.fileUri();
    } else if (s.repository) {
        a.publish();
        location = a.repoUrl();
    }
    const std::string config = std::regex_replace(s.config, std::regex("@URL@"), location);
    if (config.empty()) {
        a.configure(s.product, location);
    } else {
        a.sandbox.writeConfig(config);
    }
    for (size_t i = 0; i < s.steps.size(); ++i) {
        SCOPED_TRACE("run " + std::to_string(i + 1));
        const Step& step = s.steps[i];
        for (const auto& f : step.put) {
            a.sandbox.writeFile(f.first, f.second, f.second.rfind("#!", 0) == 0 ? 0755 : 0644);
        }
        if (step.before) {
            step.before(a);
        }
        if (step.script.empty()) {
            checkStep(a, step, a.update(step.args, step.options));
            continue;
        }
        checkStep(a, step, startScript(a.sandbox, step.script, step.args, step.options).wait());
    }
}

size_t requestsEnding(Appliance& a, const std::string& suffix) {
    const auto requests = a.server->requests();
    return std::count_if(requests.begin(), requests.end(), [&](const HttpServer::Request& r) {
        return r.target.size() >= suffix.size() &&
               r.target.compare(r.target.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
}

std::string pidLine(pid_t pid) {
    char text[32];
    snprintf(text, sizeof(text), "%10i\n", static_cast<int>(pid));
    return text;
}

std::string holdLock(int seconds, bool detached) {
    // An fcntl write lock over the whole file, as the updater takes it; unless
    // detached, the holder ends with its parent (the updater the script execs).
    return "rm -f /tmp/locked\npython3 -c 'import ctypes, fcntl, os, sys, time\n" +
           std::string(detached ? "" : "ctypes.CDLL(None).prctl(1, 9)\n") +
           "fcntl.lockf(os.open(\"/var/lock/updater\", os.O_RDWR | os.O_CREAT, 0o666), "
           "fcntl.LOCK_EX)\nopen(\"/tmp/locked\", \"w\").close()\ntime.sleep(" +
           std::to_string(seconds) +
           ")' &\ni=0; while [ ! -e /tmp/locked ] && [ $i -lt 1000 ]; do sleep 0.01; "
           "i=$((i+1)); done\n";
}

SandboxProcess startScript(Sandbox& sandbox, const std::string& script, Lines args,
                           RunOptions options) {
    options.program = "/bin/sh";
    options.env["UPDATER"] = Sandbox::updaterBinary();
    options.env["OUT"] = sandbox.dir() + "/out";
    unlink((sandbox.dir() + "/out/stderr").c_str());  // no earlier run's output
    args.insert(
        args.begin(),
        {"-c", "ulimit -c 0\necho $$ > /tmp/updater.pid\n" + script + "exec \"$UPDATER\" \"$@\"\n",
         "sh", "--max-wait-time", "-1"});
    return sandbox.start(args, options);
}

std::string whenLogged(const std::string& text, const std::string& command) {
    return "(i=0; until grep -q '" + text +
           "' \"$OUT/stderr\" || [ $i -ge 3000 ]; do sleep 0.01; i=$((i+1)); done; " + command +
           ") &\n";
}
