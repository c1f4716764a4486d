// A demo appliance for end-to-end tests of whole update runs: a sandbox with
// a real RPM database of installed packages, a hook script and a device
// package installer that record their calls, and a real repository served
// over HTTP on loopback.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness/http_server.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"

class Appliance {
public:
    Appliance();

    // Installs the packages for real (files under /opt) into the sandbox's
    // RPM database, without dependency checks.
    void install(const std::vector<TestPackage>& packages);
    // Lists device packages as installed (the external package list).
    void installDevicePackages(const std::vector<DevicePackage>& packages);

    // Builds the repository and starts serving it (once).
    void publish();
    std::string repoUrl() const;

    // Writes the configuration: the repository at repoUrl() (or location),
    // a stderr logger and the product section given.
    void configure(const std::string& product = "", const std::string& location = "");

    // The hook script: records "phase args..." lines; exits with the code
    // given for a phase (0 otherwise).
    void writeHook(const std::map<std::string, int>& exitCodes = {});
    std::vector<std::string> hookCalls() const;
    // The device package installer: records its arguments; exits with the
    // code given for a file name containing the key (0 otherwise).
    void writeDeviceInstaller(const std::map<std::string, int>& exitCodes = {});
    std::vector<std::string> installerCalls() const;

    // Writes /etc/os-release with the running firmware version (VERSION_ID).
    void setFirmwareVersion(const std::string& version);

    // "name-version-release" of every installed package, sorted.
    std::vector<std::string> installed() const;
    std::string status() const { return sandbox.readFile("/var/lib/updater/status"); }
    std::string updateState() const { return sandbox.readFile("/var/lib/updater/update-state"); }
    // Files left in the repository's cache directory (recursively, relative).
    std::vector<std::string> cacheFiles() const;

    // Runs the updater without the random start delay, and, unless
    // checkIndexSignature is set, with --no-md-sig-check (the repository is
    // not signed).
    bool checkIndexSignature = false;
    RunResult update(std::vector<std::string> args = {}, RunOptions options = {});
    SandboxProcess start(std::vector<std::string> args = {}, RunOptions options = {});

    Sandbox sandbox;
    ScratchDir work;
    RepoBuilder repo;
    PackageBuilder builder;
    std::unique_ptr<HttpServer> server;
};

// The update requirements package a site publishes: "os-update-requirements"
// requiring, for instance, "os-update-requirement/firmware >= 9.0".
TestPackage requirementsPackage(const std::string& evr, const std::vector<std::string>& needs);

// Lines of the stderr log that begin with the text.
std::vector<std::string> linesStartingWith(const RunResult& r, const std::string& prefix);
