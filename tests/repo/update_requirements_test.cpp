// Runs inside a sandbox: the firmware version comes from the fixed os-release
// paths. The requirements packages are real RPMs built with rpmbuild and
// published with createrepo_c.
#include <gtest/gtest.h>
#include <ne_socket.h>
#include <rpm/rpmlib.h>
#include <unistd.h>

#include <memory>

#include "config/config.h"
#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"
#include "net/url_fetcher.h"
#include "repo/package_repo.h"
#include "support/paths.h"

namespace {

const char* kWarning = "WARNING: cannot read current firmware version to check update requirements";

std::vector<std::string> texts(const DependencySet& deps) {
    std::vector<std::string> result;
    for (const Dependency& dep : deps) {
        result.push_back(depToString(dep));
    }
    return result;
}

class UpdateRequirements : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
        ne_sock_init();
        URLFetcher::resetForTesting();
        URLFetcher::initialize(NetworkSettings());
        s_scratch = new ScratchDir("requirements");
        RepoBuilder withRequirements(s_scratch->file("with"));
        // The higher of two requirements packages counts, whatever the order.
        withRequirements.add({TestPackage("os-update-requirements", "2.0-1")
                                  .require("os-update-requirement/firmware >= 9.0")
                                  .require("os-update-requirement/firmware < 12")
                                  .require("os-update-requirement/firmware")
                                  .require("os-update-requirement/bootloader >= 2"),
                              TestPackage("os-update-requirements", "1.0-1")
                                  .require("os-update-requirement/firmware >= 20"),
                              TestPackage("app", "1.0-1")});
        ASSERT_TRUE(withRequirements.build());
        RepoBuilder without(s_scratch->file("without"));
        without.add(TestPackage("app", "1.0-1"));
        ASSERT_TRUE(without.build());
    }
    static void TearDownTestSuite() {
        delete s_scratch;
        s_scratch = nullptr;
        URLFetcher::resetForTesting();
        ne_sock_exit();
    }
    void TearDown() override {
        unlink(paths::kOsRelease);
        unlink(paths::kOsReleaseFallback);
    }

    std::unique_ptr<PackageRepo> load(const std::string& name) {
        config.m_sCacheDir = s_scratch->file("cache-" + name + "/");
        config.m_bNoMdSigCheck = true;
        makeDirs(config.m_sCacheDir);
        record.m_sId = name;
        record.m_bEnabled = true;
        record.m_sLocation = s_scratch->file(name);
        auto repo = std::make_unique<PackageRepo>(config, record);
        EXPECT_TRUE(repo->update(""));
        return repo;
    }

    static ScratchDir* s_scratch;
    Config config;
    Repository record;
};

ScratchDir* UpdateRequirements::s_scratch = nullptr;

TEST_F(UpdateRequirements, FirmwareVersionsAgainstTheHighestRequirementsPackage) {
    auto repo = load("with");
    const std::string bootloader = "os-update-requirement/bootloader >= 2";
    struct Case {
        const char* osRelease;
        std::vector<std::string> unmet;
        bool warning;
    };
    const Case cases[] = {
        {"VERSION_ID=9.0\n", {bootloader}, false},
        // Only a second "-" cuts: the release stays and is compared.
        {"VERSION_ID=8.9-123\n", {bootloader, "os-update-requirement/firmware >= 9.0"}, false},
        {"VERSION_ID=12\n", {bootloader, "os-update-requirement/firmware < 12"}, false},
        {"VERSION_ID=11.99-1-g0-dirty\n", {bootloader}, false},
        // An unknown firmware version meets every firmware requirement.
        {"NAME=Player\n", {bootloader}, true},
        {"VERSION_ID=\n", {bootloader}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.osRelease);
        writeHostFile(paths::kOsRelease, c.osRelease);
        LogCapture log;
        DependencySet unmet = repo->updateRequirements();
        EXPECT_EQ(texts(unmet), c.unmet) << log.text();
        EXPECT_EQ(log.has(kWarning), c.warning) << log.text();
    }
}

TEST_F(UpdateRequirements, RepositoryWithoutRequirementsPackage) {
    auto repo = load("without");
    writeHostFile(paths::kOsRelease, "VERSION_ID=1.0\n");
    LogCapture log;
    EXPECT_TRUE(repo->updateRequirements().empty());
    EXPECT_EQ(log.countContaining("os-update-requirements"), 1) << log.text();
    EXPECT_TRUE(
        log.has("INFO: package os-update-requirements not found in repository, no update "
                "requirements to check"));
}

}  // namespace
