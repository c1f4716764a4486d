// The repository downloader against real servers on loopback: base paths,
// retries, redirects across servers, and what a failed download leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "harness/http_server.h"
#include "net/net_test_util.h"

namespace {

using Response = HttpServer::Response;

class DownloaderTest : public NetTest {
protected:
    std::string dest(const std::string& name = "file") const { return scratch.file(name); }
    // True when the download left neither the destination nor its temporary file.
    bool nothingLeft(const std::string& name = "file") const {
        return !fileExists(dest(name)) && !fileExists(dest(name) + ".tmp");
    }

    HttpServer server;
};

TEST_F(DownloaderTest, OpenBindsTheBasePathOnce) {
    server.script("/repo/repodata/repomd.xml", Response::ok("<repomd/>"));
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/repo")));
    EXPECT_FALSE(downloader.open("http://127.0.0.2:1/other"));  // keeps the first binding
    std::string path = "/abs";
    downloader.resolvePath(path);
    EXPECT_EQ(path, "/repo//abs");  // a leading slash stays below the base
    ASSERT_TRUE(downloader.download("repodata/repomd.xml", dest(), true));
    EXPECT_EQ(readHostFile(dest()), "<repomd/>");
    EXPECT_EQ(server.requests().at(0).target, "/repo/repodata/repomd.xml");

    // A large body, chunked or not, arrives byte for byte.
    Response large;
    large.bodySize = (1 << 20) + 7;
    server.script("/repo/large", large);
    large.chunked = true;
    server.script("/repo/chunked", large);
    std::string expected;
    for (long long i = 0; i < large.bodySize; ++i) {
        expected += static_cast<char>(i % 256);
    }
    for (const char* name : {"large", "chunked"}) {
        ASSERT_TRUE(downloader.download(name, dest(name), false));
        EXPECT_TRUE(readHostFile(dest(name)) == expected) << name;
    }
    downloader.close();
    EXPECT_FALSE(downloader.download("repodata/repomd.xml", dest("closed"), false));
    EXPECT_TRUE(nothingLeft("closed"));
    EXPECT_TRUE(downloader.open(server.url("/")));
}

TEST_F(DownloaderTest, BadRepositoryUrisAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"http:/repo", "ERROR: repository URI 'http:/repo' missing host, path or scheme"},
        {"http://host/a b", "ERROR: failed parsing repository URI 'http://host/a b'"},
        {"ftp://host/repo", "ERROR: scheme 'ftp' not supported"},
        {"file://usbstick/repo", "ERROR: only local file: URIs supported"},
    };
    for (const auto& c : cases) {
        Downloader downloader;
        EXPECT_FALSE(downloader.open(c.first)) << c.first;
        EXPECT_TRUE(log->has(c.second)) << log->text();
        EXPECT_FALSE(downloader.download("x", dest(), false));
        EXPECT_TRUE(nothingLeft());
    }
    EXPECT_TRUE(log->has("ERROR: cannot create fetcher for 'ftp://host/repo'"));
}

TEST_F(DownloaderTest, FileRepositoryCopiesLocalFilesAndNothingOutsideIt) {
    writeHostFile(scratch.file("repo/repodata/repomd.xml"), std::string(10000, 'r'));
    Downloader downloader;
    ASSERT_TRUE(downloader.open("file://" + scratch.file("repo")));
    ASSERT_TRUE(downloader.download("repodata/repomd.xml", dest(), false));
    EXPECT_EQ(readHostFile(dest()), std::string(10000, 'r'));

    writeHostFile(dest(), "previous");
    EXPECT_FALSE(downloader.download("repodata/missing.xml", dest(), false));
    EXPECT_TRUE(log->has("ERROR: failed copying file (No such file or directory)"));
    writeHostFile(scratch.file("secret"), "secret");
    for (const char* path : {"../secret", "repodata/../../secret", ".."}) {
        EXPECT_FALSE(downloader.download(path, dest(), false)) << path;
        EXPECT_TRUE(
            log->has("ERROR: refusing path '" + std::string(path) + "' outside the repository"));
    }
    EXPECT_EQ(readHostFile(dest()), "previous");
    EXPECT_FALSE(fileExists(dest() + ".tmp"));
    EXPECT_TRUE(FakeSleep::s_vCalls.empty());
    writeHostFile(scratch.file("repo/a..b"), "dots in a name are fine");
    EXPECT_TRUE(downloader.download("a..b", dest(), false));
}

// Transient failures are tried twice more, with a wait before each retry but
// none after the last; error bodies and cut bodies never reach the file, and a
// failure keeps the earlier copy and leaves no temporary file.
TEST_F(DownloaderTest, RetriesAndFailures) {
    Response cut = Response::ok(std::string(50000, 'c'));
    cut.closeAfter = 20000;
    Response chunkedCut = cut;
    chunkedCut.chunked = true;
    Response lying = Response::ok("only this");
    lying.contentLength = 100;
    const Response busy = Response::withStatus(503);
    const struct {
        const char* path;
        std::vector<Response> responses;
        size_t attempts;
        const char* line;  // "": succeeds with the last body; else the one error line
    } cases[] = {
        {"twice", {busy, busy, Response::ok("third time lucky")}, 3, ""},
        {"broken", {cut, chunkedCut, Response::ok("whole")}, 3, ""},
        {"missing",
         {Response::withStatus(404)},
         1,
         "ERROR: failed fetching 'missing' (404 Not Found)"},
        {"error",
         {Response::withStatus(500)},
         1,
         "ERROR: failed fetching 'error' (500 Internal Server Error)"},
        {"cut", {cut}, 3, "ERROR: failed fetching 'cut' (Could not read response body"},
        {"chunkedcut", {chunkedCut}, 3, "ERROR: failed fetching 'chunkedcut' (Could not read"},
        {"lying", {lying}, 3, "ERROR: failed fetching 'lying' (Could not read response body"},
        {"busy", {busy}, 3, "ERROR: failed fetching 'busy' (503 Service Unavailable)"},
    };
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/r/")));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        server.script(std::string("/r/") + c.path, c.responses);
        writeHostFile(dest(), "previous");
        FakeSleep::s_vCalls.clear();
        log->clear();
        EXPECT_EQ(downloader.download(c.path, dest(), false), *c.line == '\0');
        EXPECT_EQ(readHostFile(dest()), *c.line == '\0' ? c.responses.back().body : "previous");
        EXPECT_FALSE(fileExists(dest() + ".tmp"));
        EXPECT_EQ(server.requestsFor(std::string("/r/") + c.path).size(), c.attempts);
        EXPECT_EQ(FakeSleep::s_vCalls.size(), c.attempts - 1);
        EXPECT_EQ(log->countContaining("; retrying"), static_cast<int>(c.attempts) - 1);
        if (*c.line == '\0') {
            EXPECT_TRUE(log->has("INFO: fetched '" + std::string(c.path) + "' in retry 2"));
        } else {
            EXPECT_EQ(log->countContaining(c.line), 1) << log->text();
            EXPECT_EQ(log->countContaining("ERROR: "), 1) << log->text();
        }
    }
    EXPECT_EQ(log->count("WARNING: failed fetching 'busy' (503 Service Unavailable); retrying"), 2);
    EXPECT_EQ(log->count("ERROR: failed fetching 'busy' (503 Service Unavailable)"), 1);
}

TEST_F(DownloaderTest, RedirectsToAnotherHostReuseItsFetcher) {
    HttpServer::Options options;
    options.address = "127.0.0.2";
    HttpServer other(options);
    server.script("/repo/a", Response::redirect(other.url("/mirror/a")));
    // The query goes along, the fragment does not.
    server.script("/repo/b", Response::redirect(other.url("/mirror/b?a=1&b=two#section")));
    server.script("/repo/c", Response::redirect(other.url("/mirror/c")));
    server.script("/repo/back", Response::ok("home again"));
    other.script("/mirror/a", Response::ok("from the mirror"));
    other.script("/mirror/b?a=1&b=two", Response::ok("b from the mirror"));
    other.script("/mirror/c", Response::redirect(server.url("/repo/back")));

    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/repo/")));
    const std::pair<const char*, const char*> files[] = {
        {"a", "from the mirror"}, {"b", "b from the mirror"}, {"c", "home again"}};
    for (const auto& f : files) {
        ASSERT_TRUE(downloader.download(f.first, dest(f.first), false));
        EXPECT_EQ(readHostFile(dest(f.first)), f.second);
    }
    EXPECT_TRUE(log->has("DEBUG: 'a' redirected to 'http://127.0.0.2:" +
                         std::to_string(other.port()) + "/mirror/a"));
    EXPECT_EQ(downloader.fetcherCount(), 2u);
    // Every download starts at the repository's own server.
    EXPECT_EQ(server.requestsFor("/repo/b").size(), 1u);
    EXPECT_EQ(log->countContaining("DEBUG: URI fetcher "), 2);
}

TEST_F(DownloaderTest, RedirectLimitAndUnusableTargets) {
    for (int i = 0; i < 6; ++i) {
        server.script("/hop" + std::to_string(i),
                      Response::redirect("/hop" + std::to_string(i + 1), 301 + (i % 2)));
    }
    server.script("/hop5", Response::ok("after five"));
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    ASSERT_TRUE(downloader.download("hop0", dest(), false));
    EXPECT_EQ(readHostFile(dest()), "after five");

    server.script("/hop5", Response::redirect("/hop6"));
    server.script("/loop", Response::redirect(server.url("/loop")));
    server.script("/ftp", Response::redirect("ftp://127.0.0.1/pub/file"));
    server.script("/noscheme", Response::redirect("127.0.0.2:8080/x"));
    server.script("/nolocation", Response::withStatus(302));
    server.script("/local", Response::redirect("file:///etc/passwd"));
    const std::pair<const char*, const char*> cases[] = {
        {"hop0", "ERROR: maximum number of redirects (5) exceeded"},
        {"loop", "ERROR: maximum number of redirects (5) exceeded"},
        {"ftp", "ERROR: cannot create fetcher for redirection to 'ftp://127.0.0.1/pub/file'"},
        // Without a scheme the location is a path on the same server.
        {"noscheme", "ERROR: failed fetching 'noscheme' (404 Not Found)"},
        {"nolocation", "ERROR: failed fetching 'nolocation' (302 Found)"},
        {"local", "ERROR: refusing redirection to local file 'file:///etc/passwd'"},
    };
    for (const auto& c : cases) {
        writeHostFile(dest(), "previous");
        EXPECT_FALSE(downloader.download(c.first, dest(), false)) << c.first;
        EXPECT_TRUE(log->has(c.second)) << c.first << "\n" << log->text();
        EXPECT_EQ(readHostFile(dest()), "previous");
        EXPECT_FALSE(fileExists(dest() + ".tmp"));
    }
    EXPECT_TRUE(server.requestsFor("/hop6").empty());
    EXPECT_EQ(server.requestsFor("/loop").size(), 6u);
    EXPECT_EQ(server.requestsFor("/127.0.0.2:8080/x").size(), 1u);
    EXPECT_TRUE(FakeSleep::s_vCalls.empty());
    EXPECT_EQ(downloader.fetcherCount(), 1u);
}

// The one test that waits for real between two attempts, as the server asks:
// one second plus a spread of up to 5 s.
TEST_F(DownloaderTest, RetryAfterIsWaitedForReal) {
    URLFetcher::setSleepForTesting(nullptr);
    server.script("/busy",
                  {Response::withStatus(503).header("Retry-After", "1"), Response::ok("finally")});
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(downloader.download("busy", dest(), false));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(readHostFile(dest()), "finally");
    std::smatch match;
    std::string text = log->text();
    ASSERT_TRUE(
        std::regex_search(text, match, std::regex("INFO: waiting ([1-6]) seconds before retry")))
        << text;
    EXPECT_GE(waited, std::chrono::seconds(std::stoi(match[1])));
}

}  // namespace
