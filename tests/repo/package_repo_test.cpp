// The repository object against real repositories made by createrepo_c and
// modifyrepo_c, served over HTTP by the test server or read from a directory:
// what update transfers, how it treats lists that do not match their
// checksums, what a failed update leaves in the cache, and loading from the
// cache alone.
#include "repo/package_repo.h"

#include <gtest/gtest.h>
#include <ne_socket.h>
#include <rpm/rpmlib.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <regex>

#include "config/config.h"
#include "harness/command.h"
#include "harness/http_server.h"
#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"
#include "net/retry_policy.h"
#include "net/url_fetcher.h"
#include "repo/item_notify.h"
#include "support/paths.h"

namespace {

RepoMdEntry key(const char* type) {
    RepoMdEntry entry;
    entry.m_sType = type;
    return entry;
}

int noSleep(const struct timespec*, struct timespec*) {
    return 0;
}

std::vector<std::string> listDir(const std::string& dir) {
    return splitLines(runShell("LC_ALL=C ls -A '" + dir + "'").output);
}

// The cache of a repository, the list images shown by their type alone.
std::vector<std::string> cachedFiles(const std::string& dir) {
    std::vector<std::string> files;
    for (std::string name : listDir(dir)) {
        const size_t dash = name.find('-');
        files.push_back(name.size() > 6 && name.compare(name.size() - 6, 6, ".image") == 0
                            ? name.substr(0, dash) + " image"
                            : name);
    }
    std::sort(files.begin(), files.end());
    return files;
}
const std::vector<std::string> kCached = {"primary image", "primary.xml.gz", "repomd.xml",
                                          "vtxdata image", "vtxdata.xml.gz"};

std::vector<std::string> names(const PackageList& list) {
    std::vector<std::string> result;
    for (const Package& p : list) {
        result.push_back(packageToString(p));
    }
    return result;
}

class PackageRepoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }

    void SetUp() override {
        ne_sock_init();
        URLFetcher::resetForTesting();
        URLFetcher::initialize(NetworkSettings());
        retry::setSleepForTesting(noSleep);
        log = std::make_unique<LogCapture>(LogLevel::Debug);
        config.m_sCacheDir = scratch.file("cache/");
        // The test repositories are not signed (signed ones: driver_signature_test).
        config.m_bNoMdSigCheck = true;
        makeDirs(config.m_sCacheDir);
        record.m_sId = "main";
        record.m_bEnabled = true;
    }
    void TearDown() override {
        log.reset();
        retry::setSleepForTesting(nullptr);
        URLFetcher::resetForTesting();
        ne_sock_exit();
    }

    // The standard test repository: two RPMs and two device packages.
    RepoBuilder& buildRepo(RepoBuilder::Options options = RepoBuilder::Options()) {
        repo = std::make_unique<RepoBuilder>(scratch.file("repo"), options);
        repo->add(TestPackage("foo", "1.0-1").require("bar"));
        repo->add(TestPackage("bar", "2.0-1").provide("bar-api = 2"));
        repo->addDevicePackage(DevicePackage("player-app", "2.1-3").require("player-fw"));
        repo->addDevicePackage(DevicePackage("player-fw", "4.2-1", "flashedfw").noFile());
        EXPECT_TRUE(repo->build());
        return *repo;
    }
    void serve() {
        HttpServer::Options options;
        options.root = repo->dir();
        server = std::make_unique<HttpServer>(options);
    }
    std::unique_ptr<PackageRepo> makeRepo(const std::string& location) {
        record.m_sLocation = location;
        return std::make_unique<PackageRepo>(config, record);
    }
    std::string cacheDir() const { return config.m_sCacheDir + "main/"; }
    // The request targets, without the leading "/".
    std::vector<std::string> targets() {
        std::vector<std::string> result;
        for (const HttpServer::Request& r : server->requests()) {
            result.push_back(r.target.substr(1));
        }
        return result;
    }

    ScratchDir scratch{"pkgrepo"};
    std::unique_ptr<LogCapture> log;
    Config config;
    Repository record;
    std::unique_ptr<RepoBuilder> repo;
    std::unique_ptr<HttpServer> server;
};

TEST_F(PackageRepoTest, UpdateTransfersOnlyWhatChangedAndRefusesWhatDoesNotMatch) {
    buildRepo();
    serve();
    auto pkgRepo = makeRepo(server->url("/"));
    EXPECT_FALSE(pkgRepo->isLocal());
    ASSERT_TRUE(pkgRepo->update("")) << log->text();
    EXPECT_EQ(names(pkgRepo->packages()),
              (std::vector<std::string>{"bar-2.0-1", "foo-1.0-1", "player-app-2.1-3",
                                        "player-fw-4.2-1"}));
    const std::string primary = repo->location("primary");
    EXPECT_EQ(targets(), (std::vector<std::string>{"repodata/repomd.xml", primary,
                                                   repo->location("vtxdata")}));
    // The index always bypasses caches, lists fetched the first time do not.
    std::vector<HttpServer::Request> requests = server->requests();
    EXPECT_EQ(requests[0].header("Cache-Control"), "no-cache");
    EXPECT_EQ(requests[0].header("Pragma"), "no-cache");
    EXPECT_FALSE(requests[1].hasHeader("Cache-Control"));
    EXPECT_EQ(cachedFiles(cacheDir()), kCached);
    const std::string goodIndex = readHostFile(cacheDir() + "repomd.xml");
    EXPECT_EQ(goodIndex, readHostFile(repo->indexFile()));
    const RepoMdEntry& entry = *pkgRepo->index().find(key("primary"));
    EXPECT_EQ(entry.m_sLocation, primary);
    EXPECT_EQ(entry.m_sCacheFile, cacheDir() + "primary.xml.gz");
    EXPECT_GT(entry.m_nTimestamp, 0u);
    EXPECT_EQ(pkgRepo->packages().find("foo")->m_sCacheFile,
              cacheDir() + "packages/foo-1.0-1.noarch.rpm");
    EXPECT_FALSE(log->contains("INFO: download"));  // a quick fetch prints no progress lines

    // Unchanged lists: only the index is transferred.
    server->clear();
    ASSERT_TRUE(pkgRepo->update(""));
    EXPECT_EQ(targets(), (std::vector<std::string>{"repodata/repomd.xml"}));
    EXPECT_TRUE(log->has("DEBUG: cached copy '" + cacheDir() + "primary.xml.gz' of '" + primary +
                         "' is valid"));

    // A changed primary list arrives damaged: fetched again bypassing caches,
    // then refused; the cache keeps the previous, consistent copies.
    repo->add(TestPackage("baz", "0.1-1"));
    ASSERT_TRUE(repo->build());
    repo->corruptList("primary");
    const std::string changed = repo->location("primary");
    server->clear();
    EXPECT_FALSE(pkgRepo->update(""));
    std::vector<HttpServer::Request> fetches = server->requestsFor("/" + changed);
    ASSERT_EQ(fetches.size(), 2u);
    EXPECT_FALSE(fetches[0].hasHeader("Cache-Control"));
    EXPECT_EQ(fetches[1].header("Cache-Control"), "no-cache");
    EXPECT_EQ(fetches[1].header("Pragma"), "no-cache");
    EXPECT_TRUE(log->has("WARNING: invalid checksum on '" + changed +
                         "'; retrying with bypass of http caches"));
    EXPECT_TRUE(log->has("ERROR: invalid checksum on '" + changed + "'"));
    EXPECT_TRUE(log->has("ERROR: failed getting repository resource '" + changed + "'"));
    EXPECT_EQ(readHostFile(cacheDir() + "repomd.xml"), goodIndex);
    EXPECT_EQ(cachedFiles(cacheDir()), kCached);

    // An open checksum alone will do; without any checksum a list is never accepted.
    ASSERT_TRUE(repo->build());
    repo->dropChecksums("primary", true);
    ASSERT_TRUE(pkgRepo->update("")) << log->text();
    EXPECT_EQ(pkgRepo->packages().count("baz"), 1u);
    EXPECT_TRUE(pkgRepo->index().find(key("primary"))->m_checksum.m_sValue.empty());
    server->clear();
    ASSERT_TRUE(pkgRepo->update(""));
    EXPECT_EQ(targets(), (std::vector<std::string>{"repodata/repomd.xml"}));
    repo->dropChecksums("primary", false);
    server->clear();
    log->clear();
    EXPECT_FALSE(pkgRepo->update(""));
    EXPECT_EQ(server->requestsFor("/" + repo->location("primary")).size(), 2u);
    EXPECT_TRUE(log->has("ERROR: invalid checksum on '" + repo->location("primary") + "'"));
    EXPECT_FALSE(log->contains("attempted to check an empty checksum"));

    // Checksums of a type that is not checked: refused once, at once, for
    // no transfer could make them match.
    ASSERT_TRUE(repo->build());
    repo->editIndex([](const std::string& index) {
        return std::regex_replace(index, std::regex("type=\"sha256\""), "type=\"sha3-256\"");
    });
    server->clear();
    log->clear();
    EXPECT_FALSE(pkgRepo->update(""));
    EXPECT_EQ(targets(), (std::vector<std::string>{"repodata/repomd.xml"}));
    EXPECT_EQ(log->count("ERROR: unsupported checksum type 'sha3-256'"), 1) << log->text();
    EXPECT_FALSE(log->contains("invalid checksum")) << log->text();
}

TEST_F(PackageRepoTest, BrokenRepositoriesFailAndKeepTheCache) {
    buildRepo();
    auto pkgRepo = makeRepo(repo->dir());
    ASSERT_TRUE(pkgRepo->update(""));
    const std::string goodIndex = readHostFile(cacheDir() + "repomd.xml");
    const std::string pristine = scratch.file("pristine");
    ASSERT_EQ(runCommand({"cp", "-a", repo->dir(), pristine}).status, 0);

    struct Case {
        std::string what;
        std::function<void()> breakIt;
        std::string message;
        std::string compression = "gz";
    };
    std::vector<Case> cases = {
        {"no primary", [&] { repo->removeEntry("primary"); },
         "ERROR: no 'primary' entry in repository metadata"},
        {"truncated gzip", [&] { repo->truncateList("primary"); },
         "ERROR: failed parsing repository resource '@primary@'"},
        {"truncated device list", [&] { repo->truncateList("vtxdata"); },
         "ERROR: failed parsing repository resource '@vtxdata@'"},
        {"index in another namespace",
         [&] {
             repo->editIndex([](std::string index) {
                 return index.replace(index.find("metadata/repo"), 13, "metadata/other");
             });
         },
         "ERROR: bad top-level element, 'repomd' instead of 'rempomd'"},
        {"unsafe type",
         [&] {
             repo->editIndex([](std::string index) {
                 return index.replace(index.find("type=\"other\""), 12, "type=\"../../x\"");
             });
         },
         "repomd.xml.new' line 20: invalid 'type' attribute '../../x'"},
        {"index not xml", [&] { writeHostFile(repo->indexFile(), "\x1f\x8b garbage"); },
         "ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"},
        {"no index", [&] { removeTree(repo->indexFile()); },
         "ERROR: failed getting repository resource 'repodata/repomd.xml'"},
    };
    // Damaged lists of every compression, published with checksums that
    // match them as stored (the damage is the publisher's), or with an open
    // checksum alone that does not match.
    const std::string unreadable = "ERROR: failed parsing repository resource '@primary@'";
    for (const std::string compression : {"gz", "zstd", "xz", "bz2"}) {
        const std::string junk = compression == "gz" ? "\x1f\x8bjunk" : "junk";
        auto rewrite = [&](std::function<std::string(std::string)> edit) {
            return [this, edit] { repo->rewriteList("primary", edit); };
        };
        cases.push_back({compression + " cut", rewrite([](std::string data) {
                             return data.substr(0, data.size() - 5);
                         }),
                         unreadable, compression});
        cases.push_back({compression + " flipped byte", rewrite([](std::string data) {
                             data[data.size() / 2] ^= 0x10;
                             return data;
                         }),
                         unreadable, compression});
        cases.push_back({compression + " trailing garbage",
                         rewrite([junk](std::string data) { return data + junk; }), unreadable,
                         compression});
        cases.push_back({compression + " wrong open-checksum",
                         [this] {
                             repo->dropChecksums("primary", true);
                             repo->editIndex([](std::string index) {
                                 // The primary entry comes first.
                                 const size_t at = index.find('>', index.find("<open-checksum"));
                                 index[at + 1] = index[at + 1] == '0' ? '1' : '0';
                                 return index;
                             });
                         },
                         "ERROR: invalid checksum on '@primary@'", compression});
    }
    int number = 0;
    for (const Case& c : cases) {
        removeTree(repo->dir());
        ASSERT_EQ(runCommand({"cp", "-a", pristine, repo->dir()}).status, 0);
        // Each breakage comes with a new package, so the lists do change.
        repo->add(TestPackage("new" + std::to_string(++number), "1-1"));
        repo->options().m_sCompression = c.compression;
        ASSERT_TRUE(repo->build());
        c.breakIt();
        std::string message = c.message;
        for (const char* type : {"primary", "vtxdata"}) {
            std::string mark = std::string("@") + type + "@";
            if (message.find(mark) != std::string::npos) {
                message.replace(message.find(mark), mark.size(), repo->location(type));
            }
        }
        log->clear();
        EXPECT_FALSE(pkgRepo->update("")) << c.what;
        EXPECT_TRUE(log->contains(message)) << c.what << "\n" << log->text();
        EXPECT_EQ(readHostFile(cacheDir() + "repomd.xml"), goodIndex) << c.what;
        EXPECT_EQ(listDir(config.m_sCacheDir), (std::vector<std::string>{"main"})) << c.what;
        EXPECT_EQ(cachedFiles(cacheDir()), kCached) << c.what;
        auto fromCache = makeRepo(repo->dir());
        EXPECT_TRUE(fromCache->load()) << c.what << "\n" << log->text();
        EXPECT_EQ(fromCache->packages().size(), 4u) << c.what;
    }

    // A repository without a device list is complete.
    removeTree(repo->dir());
    ASSERT_EQ(runCommand({"cp", "-a", pristine, repo->dir()}).status, 0);
    repo->removeEntry("vtxdata");
    log->clear();
    ASSERT_TRUE(pkgRepo->update(""));
    EXPECT_TRUE(log->has("DEBUG: no 'vtxdata' in repository metadata, ignored"));
    EXPECT_EQ(names(pkgRepo->packages()), (std::vector<std::string>{"bar-2.0-1", "foo-1.0-1"}));
}

TEST_F(PackageRepoTest, IndexEntries) {
    auto pkgRepo = makeRepo("http://127.0.0.1:1/");
    makeDirs(cacheDir());
    auto index = [&](const std::string& data) {
        writeHostFile(
            cacheDir() + "repomd.xml",
            "<?xml version=\"1.0\"?>\n<repomd xmlns=\"http://linux.duke.edu/metadata/repo\" "
            "xmlns:x=\"urn:x\"><revision>1</revision>" +
                data + "</repomd>");
        RepoMdIndex result;
        return std::make_pair(pkgRepo->parseIndex(result), result);
    };
    auto data = [](const std::string& type, const std::string& body) {
        return "<data type=\"" + type + "\">" + body + "</data>";
    };

    // The first entry of a type wins; entries may sit deeper; other
    // namespaces and unknown children are passed over.
    auto parsed = index(
        data("primary",
             "<location href=\"repodata/a-primary.xml.gz\"/><timestamp>1.5.7</timestamp>"
             "<checksum type=\"sha256\">c1</checksum><x:location href=\"no\"/><size>9</size>"
             "<open-checksum type=\"sha\">o1</open-checksum>") +
        data("primary", "<location href=\"second.xml\"/>") + "<x:wrap>" +
        data("vtxdata", "<location href=\"../../../../etc/v.xml\"/><timestamp>987.25</timestamp>") +
        "</x:wrap>" + data("other", "<timestamp>.5</timestamp><location href=\"o\"/>"));
    ASSERT_TRUE(parsed.first) << log->text();
    EXPECT_EQ(pkgRepo->revision(), "1");
    std::vector<std::string> entries;
    for (const RepoMdEntry& e : parsed.second) {
        entries.push_back(e.m_sType + " " + e.m_sLocation + " " +
                          e.m_sCacheFile.substr(cacheDir().size()) + " " + e.m_checksum.m_sValue +
                          " " + e.m_openChecksum.m_sType + " " + std::to_string(e.m_nTimestamp));
    }
    EXPECT_EQ(entries,
              (std::vector<std::string>{"other o other   0",
                                        "primary repodata/a-primary.xml.gz primary.xml.gz c1 sha 1",
                                        "vtxdata ../../../../etc/v.xml vtxdata.xml   987"}));
    // The seed corpora of the fuzz target, a list in place of the index, and
    // the inputs kept from fuzzing (tests/repo/data), none of them an index.
    std::map<std::string, bool> files = {
        {"fuzz/corpus/repo_index/createrepo.xml", true},
        {"fuzz/corpus/repo_index/modifyrepo-vtxdata.xml", true},
        {"fuzz/corpus/package_list/createrepo-primary.xml", false}};
    for (const std::string& name :
         splitLines(runShell("ls '" PROJECT_DIR "/tests/repo/data'").output)) {
        files["tests/repo/data/" + name] = false;
    }
    for (const auto& [file, ok] : files) {
        writeHostFile(cacheDir() + "repomd.xml", readHostFile(PROJECT_DIR "/" + file));
        RepoMdIndex result;
        EXPECT_EQ(pkgRepo->parseIndex(result), ok) << file;
        EXPECT_EQ(result.empty(), !ok) << file;
    }
    EXPECT_GE(files.size(), 4u);

    // One error line names the entry, the line ("@") and what is wrong.
    struct Case {
        std::string data;
        std::string message;
    } cases[] = {
        {data("primary", "<timestamp>12a</timestamp>"),
         "index entry 'primary'@invalid 'timestamp' '12a'"},
        {data("primary", "<timestamp>-1</timestamp>"),
         "index entry 'primary'@invalid 'timestamp' '-1'"},
        {data("primary", "<timestamp/>"), "index entry 'primary'@empty 'timestamp'"},
        {data("primary", "<timestamp>99999999999999999999</timestamp>"),
         "index entry 'primary'@invalid 'timestamp' '99999999999999999999'"},
        {"<data><location href=\"x\"/></data>", "index entry@no 'type' attribute"},
        {data("primary", "<location/>"), "index entry 'primary'@'location' without 'href'"},
        {data("primary", "<location xml:base=\"http://mirror.example/\" href=\"a.xml\"/>"),
         "index entry 'primary'@location with xml:base 'http://mirror.example/', which is not "
         "supported"},
        {data("primary", "<checksum>x</checksum>"), "index entry 'primary'@invalid 'checksum'"},
        {data("primary", "<open-checksum type=\"sha\"/>"),
         "index entry 'primary'@invalid 'open-checksum'"},
        {data("", ""), "index entry@invalid 'type' attribute ''"},
        {data("..", ""), "index entry@invalid 'type' attribute '..'"},
        {data("../../etc/x", "<location href=\"a.xml\"/>"),
         "index entry@invalid 'type' attribute '../../etc/x'"},
    };
    for (const Case& c : cases) {
        log->clear();
        EXPECT_FALSE(index(c.data).first) << c.data;
        std::string message = "ERROR: invalid " + c.message;
        message.replace(message.find('@'), 1, " in '" + cacheDir() + "repomd.xml' line 2: ");
        EXPECT_EQ(log->countContaining("ERROR: "), 1) << c.data << "\n" << log->text();
        EXPECT_TRUE(log->has(message)) << c.data << "\n" << log->text();
    }
}

TEST_F(PackageRepoTest, LocalDirectoryAndCacheOnly) {
    auto uri = makeRepo("/media/usb1/updates");
    EXPECT_EQ(uri->uri(), "file:///media/usb1/updates");
    EXPECT_TRUE(uri->isLocal());
    uri->setUri("https://example.com/repo");
    EXPECT_FALSE(uri->isLocal());
    EXPECT_FALSE(makeRepo("")->update(""));
    EXPECT_TRUE(log->has("ERROR: no repository URI set, cannot update"));

    // A plain repository on a directory path, read through file:.
    RepoBuilder::Options plain;
    plain.m_bCompress = false;
    plain.m_bSimpleNames = true;
    buildRepo(plain);
    auto local = makeRepo(repo->dir());
    EXPECT_TRUE(local->isLocal());
    ASSERT_TRUE(local->update("")) << log->text();
    EXPECT_EQ(local->packages().size(), 4u);
    const std::vector<std::string> plainCache = {"primary image", "primary.xml", "repomd.xml",
                                                 "vtxdata image", "vtxdata.xml"};
    EXPECT_EQ(cachedFiles(cacheDir()), plainCache);
    EXPECT_TRUE(local->hasPackages({"foo", "player-fw"}, nullptr));
    EXPECT_TRUE(local->hasPackages({}, nullptr));
    std::string missing;
    EXPECT_FALSE(local->hasPackages({"foo", "nope", "gone"}, &missing));
    EXPECT_EQ(missing, "nope");
    EXPECT_TRUE(log->has("DEBUG: package 'nope' is not present in repository"));
    EXPECT_TRUE(local->hasPackage("player-app", PackageType::VTXPKG));
    EXPECT_TRUE(local->hasPackage("foo", PackageType::NONE));
    EXPECT_FALSE(local->hasPackage("foo", PackageType::VTXPKG));
    EXPECT_FALSE(local->hasPackage("", PackageType::NONE));
    EXPECT_FALSE(local->hasPackage("nope", PackageType::NONE));

    // --cache-only: everything comes from the cache, nothing from the network.
    serve();
    auto cached = makeRepo(server->url("/"));
    ASSERT_TRUE(cached->load()) << log->text();
    EXPECT_EQ(cached->packages().size(), 4u);
    EXPECT_TRUE(server->requests().empty());

    // Cleaning removes the images of lists the index does not name, of any
    // format version, and links in their place (not what they point to).
    writeHostFile(cacheDir() + "primary-00.v1.image", "x");
    writeHostFile(cacheDir() + "vtxdata-00.v0.image", "x");
    const std::string target = scratch.file("target");
    writeHostFile(target, "kept");
    ASSERT_EQ(symlink(target.c_str(), (cacheDir() + "primary-01.v1.image").c_str()), 0);
    EXPECT_TRUE(cached->cleanPackages());
    EXPECT_EQ(cachedFiles(cacheDir()), plainCache);
    EXPECT_EQ(readHostFile(target), "kept");

    // A cached list that no longer matches the cached index is refused.
    writeHostFile(cacheDir() + "primary.xml", primaryListXml(""));
    log->clear();
    EXPECT_FALSE(cached->load());
    EXPECT_TRUE(log->has("ERROR: invalid checksum on 'repodata/primary.xml'"));
    removeTree(cacheDir());
    EXPECT_FALSE(cached->load());
    EXPECT_TRUE(log->has("ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"));
    EXPECT_TRUE(server->requests().empty());
}

// The firmware version comes from the fixed os-release path (this binary runs
// in a sandbox); the higher of two requirements packages counts.
TEST_F(PackageRepoTest, UpdateRequirementsAgainstTheFirmwareVersion) {
    repo = std::make_unique<RepoBuilder>(scratch.file("repo"));
    repo->add(TestPackage("app", "1.0-1"));
    ASSERT_TRUE(repo->build());
    auto pkgRepo = makeRepo(repo->dir());
    ASSERT_TRUE(pkgRepo->update(""));
    writeHostFile(paths::kOsRelease, "VERSION_ID=1.0\n");
    log->clear();
    EXPECT_TRUE(pkgRepo->updateRequirements().empty());
    EXPECT_EQ(log->text(),
              "INFO: package os-update-requirements not found in repository, no update "
              "requirements to check\n");

    repo->add({TestPackage("os-update-requirements", "2.0-1")
                   .require("os-update-requirement/firmware >= 9.0-5")
                   .require("os-update-requirement/firmware < 12")
                   .require("os-update-requirement/firmware")
                   .require("os-update-requirement/bootloader >= 2"),
               TestPackage("os-update-requirements", "1.0-1")
                   .require("os-update-requirement/firmware >= 20")});
    ASSERT_TRUE(repo->build());
    ASSERT_TRUE(pkgRepo->update(""));
    const std::string boot = "os-update-requirement/bootloader >= 2;";
    const struct {
        const char* osRelease;
        std::string unmet;
        bool warning;
    } cases[] = {
        {"VERSION_ID=9.0\n", boot, false},
        {"VERSION_ID=8.9\n", boot + "os-update-requirement/firmware >= 9.0-5;", false},
        {"VERSION_ID=12\n", boot + "os-update-requirement/firmware < 12;", false},
        // Only a second "-" cuts: the release is compared.
        {"VERSION_ID=11.99-1-g0-dirty\n", boot, false},
        {"VERSION_ID=9.0-3-gabc\n", boot + "os-update-requirement/firmware >= 9.0-5;", false},
        // An unknown firmware version meets every firmware requirement.
        {"NAME=Player\n", boot, true},
        {"VERSION_ID=\n", boot, true},
    };
    for (const auto& c : cases) {
        writeHostFile(paths::kOsRelease, c.osRelease);
        log->clear();
        std::string unmet;
        for (const Dependency& dep : pkgRepo->updateRequirements()) {
            unmet += depToString(dep) + ";";
        }
        EXPECT_EQ(unmet, c.unmet) << c.osRelease << log->text();
        EXPECT_EQ(log->has("WARNING: cannot read current firmware version to check update "
                           "requirements"),
                  c.warning)
            << c.osRelease;
    }
    unlink(paths::kOsRelease);
}

TEST_F(PackageRepoTest, ProgressLines) {
    time_t now = 1000;
    ItemNotify notify(2, [&now] { return now; });
    notify.notify(ne_status_recving, nullptr);
    notify.itemDone();
    now += 59;
    notify.notify(ne_status_recving, nullptr);
    EXPECT_EQ(log->lines(), std::vector<std::string>());
    now += 1;
    notify.notify(ne_status_recving, nullptr);
    notify.notify(ne_status_recving, nullptr);  // at most once a minute
    notify.itemDone();
    notify.itemDone();  // beyond the total: nothing more
    now += 60;
    notify.notify(ne_status_recving, nullptr);
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{"INFO: downloading... (1/2)", "INFO: downloaded (2/2)"}));
}

}  // namespace
