#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/config.h"
#include "harness/log_capture.h"

namespace {

Repository repo(const std::string& id, bool enabled) {
    Repository r;
    r.m_sId = id;
    r.m_sLocation = "http://" + id + "/";
    r.m_bEnabled = enabled;
    return r;
}

TEST(CommandLine, WaitAndLockTimeoutsOverrideOnlyWhenNonZero) {
    Config c;
    c.m_nMaxWaitTime = 30;
    c.m_nLockTimeout = 40;
    CommandLine o;
    applyCommandLine(o, c);
    EXPECT_EQ(c.m_nMaxWaitTime, 30);
    EXPECT_EQ(c.m_nLockTimeout, 40);
    o.maxWaitTime = -1;
    o.lockTimeout = 7;
    applyCommandLine(o, c);
    EXPECT_EQ(c.m_nMaxWaitTime, -1);
    EXPECT_EQ(c.m_nLockTimeout, 7);
}

TEST(CommandLine, SignatureFlagsAndOtherSwitches) {
    Config a;
    CommandLine o;
    o.noSigCheck = 1;
    applyCommandLine(o, a);
    EXPECT_TRUE(a.m_bNoPkgSigCheck);
    EXPECT_TRUE(a.m_bNoMdSigCheck);

    Config b;
    CommandLine p;
    p.noMdSigCheck = 1;
    p.install = 1;
    p.quiet = 1;
    applyCommandLine(p, b);
    EXPECT_FALSE(b.m_bNoPkgSigCheck);
    EXPECT_TRUE(b.m_bNoMdSigCheck);
    EXPECT_TRUE(b.m_bInstall);
    EXPECT_TRUE(b.m_bQuiet);

    // Flags set by the configuration are never cleared by an absent option.
    Config c;
    c.m_bLogStderr = true;
    applyCommandLine(CommandLine(), c);
    EXPECT_TRUE(c.m_bLogStderr);
}

TEST(CommandLine, CacheDirectoryNormalisation) {
    LogCapture log;
    Config c;
    c.m_sCacheDir = "";
    normalizeCacheDir(c);
    EXPECT_EQ(c.m_sCacheDir, "./");
    EXPECT_TRUE(log.has("WARNING: cache dir empty, assuming './'"));

    c.m_sCacheDir = "var/cache";
    normalizeCacheDir(c);
    EXPECT_EQ(c.m_sCacheDir, "var/cache/");
    EXPECT_TRUE(log.has("WARNING: cache dir 'var/cache' is not an absolute path"));

    c.m_sCacheDir = "/data/cache";
    normalizeCacheDir(c);
    EXPECT_EQ(c.m_sCacheDir, "/data/cache/");
    c.m_sCacheDir = "/data/cache/";
    normalizeCacheDir(c);
    EXPECT_EQ(c.m_sCacheDir, "/data/cache/");
}

TEST(CommandLine, RepoUrlSplitsAtTheFirstColon) {
    Config c;
    c.m_lRepositories = {repo("main", true)};
    CommandLine o;
    o.repoUrl = strdup("main:file:/media/usb");
    ASSERT_TRUE(applyRepositorySelection(o, c));
    EXPECT_EQ(c.findRepository("main")->m_sLocation, "file:/media/usb");
}

TEST(CommandLine, RepositorySelectionMessages) {
    struct Case {
        const char* repoUrl;
        const char* repo;
        bool ok;
        const char* line;
    } cases[] = {
        {":http://x", nullptr, false, "ERROR: missing ID in --repo-url option"},
        {"main:", nullptr, false, "ERROR: missing URL in --repo-url option"},
        {"main", nullptr, false, "ERROR: missing ':' in --repo-url option"},
        {"nosuch:http://x", "main", true,
         "WARNING: ignoring URL override for non-existing repo 'nosuch'"},
        {nullptr, "nosuch", false, "ERROR: no repository with ID 'nosuch'"},
        {nullptr, nullptr, false, "ERROR: only one active repository supported"},
    };
    for (const Case& k : cases) {
        LogCapture log;
        Config c;
        c.m_lRepositories = {repo("main", true), repo("other", true), repo("off", false)};
        CommandLine o;
        // The option values belong to the command line, which frees them.
        o.repoUrl = k.repoUrl != nullptr ? strdup(k.repoUrl) : nullptr;
        o.repo = k.repo != nullptr ? strdup(k.repo) : nullptr;
        EXPECT_EQ(applyRepositorySelection(o, c), k.ok) << k.line;
        EXPECT_TRUE(log.has(k.line)) << log.text();
    }
}

TEST(CommandLine, RepoEnablesExactlyTheChosenOne) {
    Config c;
    c.m_lRepositories = {repo("main", true), repo("other", true), repo("off", false)};
    CommandLine o;
    o.repo = strdup("off");
    ASSERT_TRUE(applyRepositorySelection(o, c));
    EXPECT_FALSE(c.findRepository("main")->m_bEnabled);
    EXPECT_FALSE(c.findRepository("other")->m_bEnabled);
    EXPECT_TRUE(c.findRepository("off")->m_bEnabled);
}

}  // namespace
