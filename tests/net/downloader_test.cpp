// The repository downloader against real servers on loopback: base paths,
// redirects across servers, and what a failed download leaves behind.
#include <gtest/gtest.h>

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
    EXPECT_EQ(path, "/repo//abs");  // plain concatenation

    ASSERT_TRUE(downloader.download("repodata/repomd.xml", dest(), true));
    EXPECT_EQ(readHostFile(dest()), "<repomd/>");
    EXPECT_FALSE(fileExists(dest() + ".tmp"));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/repo/repodata/repomd.xml");

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
    struct Case {
        const char* uri;
        const char* message;
    } cases[] = {
        {"http:/repo", "ERROR: repository URI 'http:/repo' missing host, path or scheme"},
        {"http://host/a b", "ERROR: failed parsing repository URI 'http://host/a b'"},
        {"ftp://host/repo", "ERROR: cannot create fetcher for 'ftp://host/repo'"},
        {"file://usbstick/repo", "ERROR: only local file: URIs supported"},
    };
    for (const Case& c : cases) {
        Downloader downloader;
        EXPECT_FALSE(downloader.open(c.uri)) << c.uri;
        EXPECT_TRUE(log->has(c.message)) << c.uri << "\n" << log->text();
        // A downloader that did not open transfers nothing and leaves nothing.
        EXPECT_FALSE(downloader.download("x", dest(), false));
        EXPECT_TRUE(nothingLeft());
    }
    EXPECT_TRUE(log->has("ERROR: scheme 'ftp' not supported"));
}

TEST_F(DownloaderTest, FileRepositoryCopiesLocalFiles) {
    writeHostFile(scratch.file("repo/repodata/repomd.xml"), std::string(10000, 'r'));
    Downloader downloader;
    ASSERT_TRUE(downloader.open("file://" + scratch.file("repo")));
    ASSERT_TRUE(downloader.download("repodata/repomd.xml", dest(), false));
    EXPECT_EQ(readHostFile(dest()), std::string(10000, 'r'));

    writeHostFile(dest(), "previous");
    EXPECT_FALSE(downloader.download("repodata/missing.xml", dest(), false));
    EXPECT_TRUE(log->has("ERROR: failed copying file (No such file or directory)"));
    EXPECT_EQ(readHostFile(dest()), "previous");
    EXPECT_FALSE(fileExists(dest() + ".tmp"));
    EXPECT_TRUE(FakeSleep::s_vCalls.empty());

    // Paths from the metadata never reach outside the repository.
    writeHostFile(scratch.file("secret"), "secret");
    for (const char* path : {"../secret", "repodata/../../secret", ".."}) {
        EXPECT_FALSE(downloader.download(path, dest(), false)) << path;
        EXPECT_TRUE(
            log->has("ERROR: refusing path '" + std::string(path) + "' outside the repository"));
    }
    EXPECT_EQ(readHostFile(dest()), "previous");
    EXPECT_FALSE(fileExists(dest() + ".tmp"));
    writeHostFile(scratch.file("repo/a..b"), "dots in a name are fine");
    EXPECT_TRUE(downloader.download("a..b", dest(), false));
}

// A failed download never touches an earlier copy and leaves no temporary file.
TEST_F(DownloaderTest, FailuresKeepThePreviousDestination) {
    server.script("/r/missing", Response::withStatus(404));
    server.script("/r/error", Response::withStatus(500));
    server.script("/r/short", Response::ok(std::string(5000, 's')).header("X", "1"));
    Response cut = Response::ok(std::string(5000, 'c'));
    cut.closeAfter = 1000;
    server.script("/r/cut", cut);
    Response chunkedCut = cut;
    chunkedCut.chunked = true;
    server.script("/r/chunkedcut", chunkedCut);
    Response lying = Response::ok("only this");
    lying.contentLength = 100;
    server.script("/r/lying", lying);

    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/r/")));
    struct Case {
        const char* path;
        size_t attempts;
        const char* error;
    } cases[] = {
        {"missing", 1, "ERROR: failed fetching 'missing' (404 Not Found)"},
        {"error", 1, "ERROR: failed fetching 'error' (500 Internal Server Error)"},
        {"cut", 3, "ERROR: failed fetching 'cut' (Could not read response body"},
        {"chunkedcut", 3, "ERROR: failed fetching 'chunkedcut' (Could not read"},
        {"lying", 3, "ERROR: failed fetching 'lying' (Could not read response body"},
    };
    for (const Case& c : cases) {
        writeHostFile(dest(), "previous");
        FakeSleep::s_vCalls.clear();
        EXPECT_FALSE(downloader.download(c.path, dest(), false)) << c.path;
        EXPECT_EQ(readHostFile(dest()), "previous") << c.path;
        EXPECT_FALSE(fileExists(dest() + ".tmp")) << c.path;
        EXPECT_EQ(server.requestsFor(std::string("/r/") + c.path).size(), c.attempts) << c.path;
        EXPECT_EQ(FakeSleep::s_vCalls.size(), c.attempts - 1) << c.path;
        EXPECT_EQ(log->countContaining(c.error), 1) << c.path << "\n" << log->text();
    }
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
    // The mirror sends this one back to the repository's server (relative form).
    other.script("/mirror/c", Response::redirect(server.url("/repo/back")));

    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/repo/")));
    ASSERT_TRUE(downloader.download("a", dest("a"), false));
    EXPECT_EQ(readHostFile(dest("a")), "from the mirror");
    EXPECT_EQ(downloader.fetcherCount(), 2u);
    EXPECT_TRUE(log->has("DEBUG: 'a' redirected to 'http://127.0.0.2:" +
                         std::to_string(other.port()) + "/mirror/a"));

    ASSERT_TRUE(downloader.download("b", dest("b"), false));
    EXPECT_EQ(readHostFile(dest("b")), "b from the mirror");
    ASSERT_TRUE(downloader.download("c", dest("c"), false));
    EXPECT_EQ(readHostFile(dest("c")), "home again");
    EXPECT_EQ(downloader.fetcherCount(), 2u);
    // Every download starts at the repository's own server.
    EXPECT_EQ(server.requestsFor("/repo/b").size(), 1u);
    EXPECT_EQ(log->countContaining("DEBUG: URI fetcher "), 2);
}

TEST_F(DownloaderTest, FiveRedirectsAreFollowedAndTheSixthIsRefused) {
    for (int i = 0; i < 6; ++i) {
        server.script("/hop" + std::to_string(i),
                      Response::redirect("/hop" + std::to_string(i + 1), 301 + (i % 2)));
    }
    server.script("/hop5", Response::ok("after five"));
    server.script("/loop", Response::redirect(server.url("/loop")));

    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    ASSERT_TRUE(downloader.download("hop0", dest(), false));
    EXPECT_EQ(readHostFile(dest()), "after five");

    server.script("/hop5", Response::redirect("/hop6"));
    server.script("/hop6", Response::ok("too far"));
    writeHostFile(dest(), "previous");
    EXPECT_FALSE(downloader.download("hop0", dest(), false));
    EXPECT_TRUE(log->has("ERROR: maximum number of redirects (5) exceeded"));
    EXPECT_TRUE(server.requestsFor("/hop6").empty());
    EXPECT_EQ(readHostFile(dest()), "previous");

    EXPECT_FALSE(downloader.download("loop", dest("loop"), false));
    EXPECT_EQ(server.requestsFor("/loop").size(), 6u);
    EXPECT_TRUE(nothingLeft("loop"));
    EXPECT_EQ(downloader.fetcherCount(), 1u);
    EXPECT_TRUE(FakeSleep::s_vCalls.empty());
}

TEST_F(DownloaderTest, UnusableRedirectTargetsFailCleanly) {
    server.script("/ftp", Response::redirect("ftp://127.0.0.1/pub/file"));
    server.script("/noscheme", Response::redirect("127.0.0.2:8080/x"));
    server.script("/nolocation", Response::withStatus(302));
    server.script("/local", Response::redirect("file:///etc/passwd"));
    struct Case {
        const char* path;
        const char* error;
    } cases[] = {
        {"ftp", "ERROR: cannot create fetcher for redirection to 'ftp://127.0.0.1/pub/file'"},
        // Without a scheme the location is a path on the same server.
        {"noscheme", "ERROR: failed fetching 'noscheme' (404 Not Found)"},
        {"nolocation", "ERROR: failed fetching 'nolocation' (302 Found)"},
        {"local", "ERROR: refusing redirection to local file 'file:///etc/passwd'"},
    };
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    for (const Case& c : cases) {
        writeHostFile(dest(), "previous");
        EXPECT_FALSE(downloader.download(c.path, dest(), false)) << c.path;
        EXPECT_TRUE(log->has(c.error)) << c.path << "\n" << log->text();
        EXPECT_EQ(readHostFile(dest()), "previous");
        EXPECT_FALSE(fileExists(dest() + ".tmp"));
    }
    EXPECT_TRUE(log->has("ERROR: scheme 'ftp' not supported"));
    EXPECT_EQ(server.requestsFor("/127.0.0.2:8080/x").size(), 1u);
    EXPECT_TRUE(FakeSleep::s_vCalls.empty());
    EXPECT_EQ(downloader.fetcherCount(), 1u);
}

}  // namespace
