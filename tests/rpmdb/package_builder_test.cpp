// The test package builder makes what later tests rely on.
#include "harness/package_builder.h"

#include <gtest/gtest.h>

#include "harness/sandbox.h"

namespace {

std::string query(const std::string& file, const std::string& format) {
    CommandResult r = runCommand({"rpm", "-qp", "--nosignature", "--qf", format, file});
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

}  // namespace

TEST(PackageBuilder, BuildsPackagesWithTheirFieldsDependenciesFilesAndScripts) {
    ScratchDir scratch;
    PackageBuilder builder(scratch.file("build"));
    std::vector<TestPackage> packages = {
        TestPackage("alpha", "2:1.5-3")
            .group("Vantorix/Firmware")
            .require("beta >= 1.0")
            .recommend("gamma")
            .provide("alpha-api = 4")
            .obsolete("old-alpha < 1.0")
            .conflict("delta")
            .payload(12345)
            .file("/etc/alpha.conf", "value=100%\n")
            .pre("echo 'installing %{name}'; exit 0")
            .post("exit 1"),
        TestPackage("alpha", "2:1.6-1"),
        TestPackage("beta", "1.0-1", "i686").file("/etc/alpha.conf", "other content\n"),
    };
    std::vector<std::string> files = builder.build(packages, scratch.file("out"));
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], scratch.file("out") + "/alpha-1.5-3.noarch.rpm");
    EXPECT_EQ(files[2], scratch.file("out") + "/beta-1.0-1.i686.rpm");

    EXPECT_EQ(query(files[0], "%{NAME} %{EPOCH} %{VERSION} %{RELEASE} %{ARCH} %{GROUP} %{SIZE}"),
              "alpha 2 1.5 3 noarch Vantorix/Firmware 12356");
    // No generated dependencies besides the package manager's own.
    EXPECT_EQ(query(files[2], "[%{REQUIRENAME} ]"),
              "rpmlib(CompressedFileNames) rpmlib(FileDigests) rpmlib(PayloadFilesHavePrefix) ");
    EXPECT_NE(query(files[0], "[R %{REQUIRENAME} %{REQUIREVERSION}\n]").find("R beta 1.0\n"),
              std::string::npos);
    EXPECT_EQ(query(files[0],
                    "[%{RECOMMENDNAME}]|[%{OBSOLETENAME} %{OBSOLETEVERSION}]|"
                    "[%{CONFLICTNAME}]|[%{PROVIDENAME} %{PROVIDEVERSION},]"),
              "gamma|old-alpha 1.0|delta|alpha 2:1.5-3,alpha-api 4,");
    EXPECT_EQ(query(files[0], "%{PREIN}|%{POSTIN}"), "echo 'installing %{name}'; exit 0|exit 1");
    EXPECT_EQ(query(files[0], "[%{FILENAMES} %{FILESIZES}\n]"),
              "/etc/alpha.conf 11\n/opt/alpha/payload 12345\n");
    EXPECT_EQ(query(files[1], "%{EPOCH}:%{VERSION}-%{RELEASE}"), "2:1.6-1");
    EXPECT_EQ(query(files[2], "%{ARCH} %{EPOCH}"), "i686 (none)");

    // The files hold what was given (their digests are SHA-256).
    std::string content = scratch.file("content");
    writeHostFile(content, "other content\n");
    CommandResult digest = runCommand({"sha256sum", content});
    EXPECT_EQ(query(files[2], "[%{FILEDIGESTS}]"), digest.output.substr(0, 64));

    // A database holds what was installed, older versions included.
    std::string db = scratch.file("db");
    ASSERT_TRUE(initRpmDb(db));
    ASSERT_TRUE(installJustDb(db, {files[1]}));
    ASSERT_TRUE(installJustDb(db, {files[0], files[2]}));
    EXPECT_EQ(queryInstalledNames(db), (std::vector<std::string>{"alpha", "alpha", "beta"}));
}
