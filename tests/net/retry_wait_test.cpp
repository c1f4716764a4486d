// The one test that waits for real between two attempts, as the server asks.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "harness/http_server.h"
#include "net/net_test_util.h"

TEST_F(NetTest, RetryAfterIsWaitedForReal) {
    URLFetcher::setSleepForTesting(nullptr);
    HttpServer server;
    server.script("/busy", {HttpServer::Response::withStatus(503).header("Retry-After", "1"),
                            HttpServer::Response::ok("finally")});
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(downloader.download("busy", scratch.file("busy"), false));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(readHostFile(scratch.file("busy")), "finally");

    // A request of one second is honoured, plus a spread of up to 5 s.
    std::smatch match;
    std::string text = log->text();
    ASSERT_TRUE(
        std::regex_search(text, match, std::regex("INFO: waiting ([0-9]+) seconds before retry")))
        << text;
    int seconds = std::stoi(match[1]);
    EXPECT_GE(seconds, 1);
    EXPECT_LE(seconds, 6);
    EXPECT_GE(waited, std::chrono::seconds(seconds));
    EXPECT_TRUE(log->has("INFO: fetched 'busy' in retry 1"));
}
