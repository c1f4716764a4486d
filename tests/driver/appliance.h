// A demo appliance for end-to-end runs of the real binary, and the one
// declarative form of those runs: a Scenario says what the appliance holds
// (installed packages, repository, configuration, files), then one or more
// runs with what each must leave behind (exit code, log lines, installed set,
// status files, hook and installer calls).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "harness/http_server.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"

using Lines = std::vector<std::string>;

class Appliance {
public:
    Appliance();
    // Installs for real into the sandbox's RPM database, without dependency checks.
    void install(const std::vector<TestPackage>& packages);
    void installFiles(Lines files);
    // Lists device packages as installed (the external package list).
    void installDevicePackages(const std::vector<DevicePackage>& packages);
    // Builds the repository and serves it over HTTP (once).
    void publish();
    std::string repoUrl() const { return server ? server->url("/") : std::string(); }
    // The configuration: a stderr logger, the repository at repoUrl() (or
    // location) and the product section given.
    void configure(const std::string& product = "", const std::string& location = "");
    // Hook and device installer record "args..." lines; they exit with the
    // code given for the hook phase / for a file name containing the key.
    void writeHook(const std::map<std::string, int>& exitCodes = {});
    void writeDeviceInstaller(const std::map<std::string, int>& exitCodes = {});
    Lines hookCalls() const { return splitLines(sandbox.readFile("/var/log/hook.calls")); }
    Lines installerCalls() const { return splitLines(sandbox.readFile("/var/log/inst.calls")); }
    // "name-version-release" of every installed package but keys, sorted.
    Lines installed() const;
    std::string status() const { return sandbox.readFile("/var/lib/updater/status"); }
    std::string updateState() const { return sandbox.readFile("/var/lib/updater/update-state"); }
    // Runs the updater without start delay and, unless checkIndexSignature,
    // with --no-md-sig-check.
    bool checkIndexSignature = false;
    RunResult update(std::vector<std::string> args = {}, const RunOptions& options = {});
    SandboxProcess start(std::vector<std::string> args, const RunOptions& options = {});

    Sandbox sandbox;
    ScratchDir work;
    RepoBuilder repo;
    PackageBuilder builder;
    std::unique_ptr<HttpServer> server;
};

// One run of the updater and what it must leave behind.
struct Step {
    Lines args;
    RunOptions options;
    std::string script;  // shell lines before `exec "$UPDATER" "$@"`
    std::vector<std::pair<std::string, std::string>> put;  // files written before the run
    std::function<void(Appliance&)> before;
    int exitCode = 0;
    int signal = 0;                                       // else killed by it
    bool timedOut = false;                                // else ended by the runner's timeout
    Lines has, lacks;                                     // texts of standard error
    std::vector<std::pair<std::string, int>> counts;      // whole lines and how often
    std::vector<std::pair<std::string, Lines>> prefixed;  // all lines with the prefix
    std::optional<Lines> rpms, hooks, stubs, installer;
    Lines rpmsHave, absent, present;  // rpmsHave: "!name" must not be installed
    std::string lastHook;             // the start of the last hook call
    std::vector<std::tuple<std::string, Lines, Lines>> texts;  // a file has, and lacks
    std::map<std::string, std::string> files;                  // expected contents
    std::map<std::string, size_t> requests;  // requests the server got, by the target's end
    std::map<std::string, std::string> report;  // run report fields and their JSON texts
    std::vector<std::function<void(Appliance&, const RunResult&)>> checks;
};

// The standard appliance: an installed player (app needing libfoo, release
// and add-on packages, a device package) and a repository with newer
// versions of all of them plus a new dependency.
struct Scenario {
    explicit Scenario(std::string name);
    std::string name;
    std::vector<TestPackage> installed, offered;
    std::vector<DevicePackage> installedDevice, offeredDevice;
    std::string product;
    std::string config;  // else the repository and the product; "@URL@": the repository
    bool repository = true;
    bool fileRepo = false;
    std::map<std::string, int> hookExits, installerExits;
    std::function<void(Appliance&)> prepare;  // before the repository is built
    std::vector<Step> steps;

    // No packages, no repository, a minimal configuration.
    Scenario& bare();
    // A run with the arguments and the exit code it must end with.
    Scenario& run(Lines args = {}, int exitCode = 0) {
        steps.emplace_back();
        steps.back().args = std::move(args);
        steps.back().exitCode = exitCode;
        return *this;
    }
    Step& last() { return steps.empty() ? run().steps.back() : steps.back(); }
    Scenario& exits(int code) { return last().exitCode = code, *this; }
    Scenario& killedBy(int signal) { return last().signal = signal, *this; }
    Scenario& timesOut() { return last().timedOut = true, *this; }
    // Texts standard error must hold, and texts it must not.
    Scenario& logs(Lines texts, Lines absentTexts = {});
    Scenario& lacks(Lines texts) { return logs({}, texts); }
    Scenario& count(const std::string& line, int n) {
        return last().counts.push_back({line, n}), *this;
    }
    Scenario& lines(const std::string& prefix, Lines all) {
        return last().prefixed.push_back({prefix, all}), *this;
    }
    Scenario& rpms(Lines all) { return last().rpms = all, *this; }
    Scenario& rpmsHave(Lines some) { return last().rpmsHave = some, *this; }
    Scenario& hooks(Lines calls) { return last().hooks = calls, *this; }
    Scenario& stubs(Lines calls) { return last().stubs = calls, *this; }
    Scenario& installer(Lines calls) { return last().installer = calls, *this; }
    Scenario& status(const std::string& s) { return file("/var/lib/updater/status", s); }
    Scenario& ends(const std::string& status, const std::string& state) {
        return file("/var/lib/updater/status", status).state(state);
    }
    Scenario& state(const std::string& s) { return file("/var/lib/updater/update-state", s); }
    Scenario& file(const std::string& path, const std::string& content) {
        return last().files[path] = content, *this;
    }
    Scenario& absent(Lines paths) { return last().absent = paths, *this; }
    Scenario& present(Lines paths) { return last().present = paths, *this; }
    Scenario& requests(const std::string& end, size_t n) { return last().requests[end] = n, *this; }
    // Fields of the run report, as reportFields names them, and their values
    // as Python's json module writes them.
    Scenario& reports(std::map<std::string, std::string> fields) {
        return last().report.insert(fields.begin(), fields.end()), *this;
    }
    Scenario& lastHook(const std::string& start) { return last().lastHook = start, *this; }
    Scenario& fileHas(const std::string& path, Lines has, Lines lacks = {}) {
        return last().texts.emplace_back(path, has, lacks), *this;
    }
    Scenario& put(const std::string& path, const std::string& content) {
        return last().put.push_back({path, content}), *this;
    }
    Scenario& script(const std::string& text) { return last().script = text, *this; }
    Scenario& options(const RunOptions& o) { return last().options = o, *this; }
    Scenario& before(std::function<void(Appliance&)> f) { return last().before = f, *this; }
    Scenario& check(std::function<void(Appliance&, const RunResult&)> f) {
        return last().checks.push_back(f), *this;
    }
    Scenario& with(std::function<void(Scenario&)> f) { return f(*this), *this; }
    Scenario& prepared(std::function<void(Appliance&)> f) { return prepare = f, *this; }
};

// A scenario without packages or repository, with a minimal configuration.
inline Scenario bare(const std::string& name) {
    return Scenario(name).bare();
}

void runScenario(const Scenario& s);

// gtest names a failing row by its name.
inline void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};
#define SCENARIOS(group, rows)                       \
    INSTANTIATE_TEST_SUITE_P(                        \
        group, Scenarios, ::testing::ValuesIn(rows), \
        [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; })

extern const char* const kProduct;
// The appliance's record of accepted indexes.
extern const char* const kIndexRecord;
// A key made on 2020-01-01 that signs indexes at chosen moments, and a
// scenario whose appliance trusts it, with the index and the packages signed
// by it (sets the preparation).
const TestKey& indexKey();
Scenario& signedWithIndexKey(Scenario& s);
// Signs the repository's index again, as made at that moment ("20240101T000000").
std::function<void(Appliance&)> signIndexAt(const std::string& at);
// Fields of the run report read by python3's json module, each a path of
// keys and list positions ("packages.0.fate"); "history.N.key" reads the Nth
// line of the history, "history.#" counts its lines. Each field's value as
// json.dumps writes it, "absent" for all when there is no report, or one line
// telling why the report or the history did not parse.
Lines reportFields(const Sandbox& sandbox, const Lines& fields);
// Requests the server got whose target ends with the text.
size_t requestsEnding(Appliance& a, const std::string& suffix);
// The content the lock file has while the process holds the lock.
std::string pidLine(pid_t pid);
// Runs `sh -c SCRIPT` in the sandbox, the script followed by the updater's
// exec with the arguments ("$UPDATER" is the updater, whose process id is
// in /tmp/updater.pid; "$OUT" the folder of its outputs).
SandboxProcess startScript(Sandbox& sandbox, const std::string& script, Lines args = {},
                           RunOptions options = {});
// Script lines starting another process that holds the updater's lock for
// the given seconds, and waiting until it has it.
std::string holdLock(int seconds, bool detached = false);
// Script lines running the command in the background once the updater's
// standard error holds the text ($$ is the updater).
std::string whenLogged(const std::string& text, const std::string& command);
