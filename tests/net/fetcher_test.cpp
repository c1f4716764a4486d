// The URL fetcher against real servers on loopback: construction, headers,
// retries and their waits, proxies, https and a full file system. The whole
// binary runs in one sandbox: it writes /etc/hosts and the CA store there and
// mounts a small tmpfs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>

#include "harness/command.h"
#include "harness/http_server.h"
#include "net/net_test_util.h"
#include "net/url_fetcher.h"
#include "support/fd.h"
#include "support/system.h"

namespace {

using Response = HttpServer::Response;

using FetcherTest = ServedTest;

TEST_F(FetcherTest, ConstructionMatchingAndInitialisation) {
    EXPECT_TRUE(fetcher("file://localhost/var/x")->isValid());
    EXPECT_FALSE(fetcher("file:///var/x")->hasSession());
    EXPECT_FALSE(fetcher("http:/x")->isValid());
    EXPECT_TRUE(log->has("ERROR: URI missing host or scheme, cannot build fetcher"));
    auto plain = fetcher("http://127.0.0.1/x");
    const std::pair<const char*, bool> others[] = {
        {"http://127.0.0.1/y", true},  {"http://127.0.0.1:80/", true},
        {"https://127.0.0.1/", false}, {"http://127.0.0.1:8080/", false},
        {"http://LOCALHOST/", false},  {"http://127.0.0.2/", false}};
    for (const auto& o : others) {
        ParsedUri other;
        ASSERT_TRUE(other.parse(o.first));
        EXPECT_EQ(plain->matches(other.get()), o.second) << o.first;
    }
    URLFetcher::resetForTesting();
    EXPECT_FALSE(fetcher(server.url())->isValid());
    EXPECT_TRUE(log->has("ERROR: URLFetcher class not initialized before calling constructor"));
}

TEST_F(FetcherTest, UserAgentIdentityAndCacheHeadersAreSentOnlyWhenSet) {
    const std::pair<const char*, const char*> bases[][2] = {
        {{"VtxPlayer", ""}, {"VtxPlayer/1.17", ""}},
        {{"VtxPlayer", "Halvec 4K"}, {"VtxPlayer/1.17 (Halvec 4K)", ""}},
        {{"", ""}, {"/1.17", ""}}};
    server.script("/x", Response::ok("x"));
    for (const auto& c : bases) {
        NetworkSettings settings;
        settings.m_sUserAgentBase = c[0].first;
        settings.m_sUserAgentProdname = c[0].second;
        reinitialize(settings);
        ASSERT_TRUE(get(*fetcher(server.url()), "/x"));
        // neon adds its own product token after ours.
        EXPECT_EQ(
            server.requests().back().header("User-Agent").rfind(c[1].first + std::string(" "), 0),
            0u);
    }
    // Without a firmware version nothing of the identity is sent.
    RestoredFile osRelease("/etc/os-release");
    writeHostFile("/etc/os-release", "NAME=Test\n");
    reinitialize(NetworkSettings());
    EXPECT_TRUE(log->has("WARNING: cannot read current firmware version"));
    auto f = fetcher(server.url());
    ASSERT_TRUE(get(*f, "/x"));
    URLFetcher::deviceIdentity().m_sSerial = "SN-0042";
    URLFetcher::deviceIdentity().m_sFirmwareVersion = "4.2.1";
    ASSERT_TRUE(get(*f, "/x", true));
    const std::vector<HttpServer::Request> sent = server.requests();
    const HttpServer::Request& plain = sent[sent.size() - 2];
    const HttpServer::Request& marked = sent.back();
    const std::pair<const char*, const char*> headers[] = {{"X-vantorix-serial", "SN-0042"},
                                                           {"X-vantorix-firmware", "4.2.1"},
                                                           {"Cache-Control", "no-cache"},
                                                           {"Pragma", "no-cache"}};
    for (const auto& h : headers) {
        EXPECT_FALSE(plain.hasHeader(h.first)) << h.first;
        EXPECT_EQ(marked.header(h.first), h.second);
    }
    // Both requests went over one persistent connection, until it is closed.
    EXPECT_EQ(marked.clientPort, plain.clientPort);
    f->closeConnection();
    ASSERT_TRUE(get(*f, "/x"));
    EXPECT_NE(server.requests().back().clientPort, plain.clientPort);
}

TEST_F(FetcherTest, HopelessFailuresAreReportedAtOnceWithHints) {
    auto lost = fetcher("http://no-such-host.invalid:8080/");
    EXPECT_FALSE(get(*lost, "/x"));
    EXPECT_TRUE(log->has("ERROR: failed fetching 'item' (server or proxy hostname lookup failed)"));
    EXPECT_TRUE(log->has("ERROR: make sure that a network gateway and DNS servers are configured"));
    EXPECT_TRUE(log->has("and that the unit is connected to the network"));
    EXPECT_TRUE(FakeSleep::s_vCalls.empty());
}

// How the wait that the server asks for is slept.
TEST_F(FetcherTest, RetryAfterSetsTheBaseWait) {
    auto f = fetcher(server.url());
    // A date in the future: the time from now until then.
    Response dated = Response::withStatus(503);
    dated.retryAfterDate = true;
    dated.retryAfterIn = 100;
    server.script("/dated", {dated, Response::ok("done")});
    URLFetcher::setRandomStateForTesting(1);
    ASSERT_TRUE(get(*f, "/dated"));
    ASSERT_EQ(FakeSleep::s_vCalls.size(), 2u);
    long total = FakeSleep::s_vCalls[0].tv_sec + FakeSleep::s_vCalls[1].tv_sec;
    EXPECT_GE(total, 98);
    EXPECT_LE(total, 101);

    // 130 seconds go in pieces of at most 60; the spread comes from the class
    // generator, the second wait of this sequence adds 4 s.
    server.script("/long",
                  {Response::withStatus(503).header("Retry-After", "130"),
                   Response::withStatus(503).header("Retry-After", "20"), Response::ok("done")});
    FakeSleep::s_vCalls.clear();
    URLFetcher::setRandomStateForTesting(1);
    ASSERT_TRUE(get(*f, "/long"));
    std::vector<long> seconds;
    for (const struct timespec& t : FakeSleep::s_vCalls) {
        seconds.push_back(t.tv_sec);
    }
    EXPECT_EQ(seconds, (std::vector<long>{60, 60, 10, 24}));
    EXPECT_EQ(FakeSleep::s_vCalls[1].tv_nsec, 0);
    EXPECT_EQ(FakeSleep::s_vCalls[3].tv_nsec, 492471828);
    for (const char* line :
         {"INFO: waiting 130 seconds before retry", "INFO: still waiting 70 seconds before retry",
          "INFO: still waiting 10 seconds before retry", "INFO: waiting 24 seconds before retry"}) {
        EXPECT_TRUE(log->has(line)) << line;
    }
}

void onAlarm(int) {}

// A real nanosleep that a real signal cuts short.
int sleepUntilAlarm(const struct timespec* request, struct timespec* remaining) {
    struct itimerval timer = {};
    timer.it_value.tv_usec = 100000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    return nanosleep(request, remaining);
}

TEST_F(FetcherTest, AnInterruptedWaitEndsTheRetries) {
    auto f = fetcher(server.url());
    server.script("/busy", {Response::withStatus(503), Response::ok("never")});

    struct sigaction action = {};
    action.sa_handler = onAlarm;  // no SA_RESTART
    struct sigaction previous;
    sigaction(SIGALRM, &action, &previous);
    URLFetcher::setSleepForTesting(sleepUntilAlarm);
    EXPECT_FALSE(get(*f, "/busy"));
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_TRUE(log->has("INFO: retry wait interrupted by signal"));
    EXPECT_TRUE(log->has("ERROR: failed wait, cannot retry"));
    EXPECT_TRUE(log->has("ERROR: failed fetching 'item' (503 Service Unavailable)"));
    EXPECT_EQ(server.requestsFor("/busy").size(), 1u);

    URLFetcher::setSleepForTesting(FakeSleep::sleep);
    FakeSleep::s_nFailErrno = EINVAL;
    server.script("/busy", {Response::withStatus(503), Response::ok("never")});
    EXPECT_FALSE(get(*f, "/busy"));
    EXPECT_TRUE(log->has("ERROR: retry wait failed: Invalid argument"));
}

TEST_F(FetcherTest, NotifierSeesTheBodyStreamedToTheFile) {
    struct Recorder : URLFetcher::Notifier {
        void notify(ne_session_status status, const ne_session_status_info* info) override {
            if (status == ne_status_recving) {
                struct stat st;
                fstat(fd, &st);
                progress.push_back(info->sr.progress);
                sizes.push_back(st.st_size);
            }
            ++events;
        }
        int fd = -1;
        int events = 0;
        std::vector<long long> progress;
        std::vector<long long> sizes;
    } recorder;
    recorder.fd = fd.get();
    Response slow = Response::ok(std::string(256 * 1024, 's'));
    slow.slowChunk = 64 * 1024;
    slow.slowDelay = 0.05;
    server.script("/slow", slow);

    auto f = fetcher(server.url());
    f->setNotifier(&recorder);
    ASSERT_TRUE(get(*f, "/slow"));
    ASSERT_FALSE(recorder.progress.empty());
    EXPECT_EQ(recorder.progress.back(), 256 * 1024);
    EXPECT_TRUE(std::any_of(recorder.sizes.begin(), recorder.sizes.end(), [](long long size) {
        return size > 0 && size < 256 * 1024;
    })) << "the body was not written while it arrived";

    f->setNotifier(nullptr);
    int events = recorder.events;
    ASSERT_TRUE(get(*f, "/slow"));
    EXPECT_EQ(recorder.events, events);
}

// Proxy routing. tinyproxy forwards the requests for the two made-up hosts
// to the test server, as an upstream proxy, so they arrive there in absolute form.
TEST_F(FetcherTest, ProxyIsBypassedOnlyForLocalAddresses) {
    RestoredFile restoredHosts("/etc/hosts");
    std::string hosts = readHostFile("/etc/hosts");
    writeHostFile("/etc/hosts", hosts +
                                    "198.51.100.7 far.test\n198.51.100.7 dual.test\n"
                                    "127.0.0.1 dual.test\n");
    std::string upstream = "127.0.0.1:" + std::to_string(server.port());
    TinyProxy proxy("Upstream http " + upstream + " \"far.test\"\nUpstream http " + upstream +
                    " \"no-such-host.invalid\"\n");
    HttpServer::Options v6;
    v6.address = "::1";
    HttpServer server6(v6);
    server.script("/x", Response::ok("x"));
    server6.script("/x", Response::ok("x6"));

    auto viaProxy = [&](HttpServer& s, const std::string& target) {
        std::vector<HttpServer::Request> requests = s.requestsFor(target);
        EXPECT_EQ(requests.size(), 1u) << target;
        return !requests.empty() &&
               requests[0].header("Via").find("tinyproxy") != std::string::npos;
    };
    NetworkSettings settings;
    settings.m_sProxyServer = "127.0.0.1";
    settings.m_nProxyPort = proxy.port();
    std::string port = std::to_string(server.port());

    settings.m_bProxyBypassLocal = true;
    reinitialize(settings);
    ASSERT_TRUE(get(*fetcher(server.url()), "/x"));
    EXPECT_FALSE(viaProxy(server, "/x"));
    EXPECT_TRUE(log->has("DEBUG: bypassing proxy since 127.0.0.1 is local"));

    ASSERT_TRUE(get(*fetcher(server6.url()), "/x"));
    EXPECT_EQ(readHostFile(target), "x6");
    EXPECT_FALSE(viaProxy(server6, "/x"));
    EXPECT_TRUE(log->has("DEBUG: bypassing proxy since [::1] is local"));

    // Of a host with a far and a local address only the local one is used.
    ASSERT_TRUE(get(*fetcher("http://dual.test:" + port + "/"), "/x"));
    EXPECT_EQ(server.requestsFor("/x").size(), 2u);

    ASSERT_TRUE(get(*fetcher("http://far.test:" + port + "/"), "/x"));
    EXPECT_TRUE(viaProxy(server, "http://far.test:" + port + "/x"));
    EXPECT_TRUE(log->has("DEBUG: using proxy for far.test"));

    ASSERT_TRUE(get(*fetcher("http://no-such-host.invalid:" + port + "/"), "/x"));
    EXPECT_TRUE(viaProxy(server, "http://no-such-host.invalid:" + port + "/x"));
    EXPECT_EQ(log->countContaining("ERROR: failed resolving address 'no-such-host.invalid' ("), 1);
    EXPECT_TRUE(
        log->has("WARNING: could not check if addresses for host 'no-such-host.invalid' "
                 "are in local net, using proxy"));
}

// Only a server whose certificate the sandbox's store trusts is accepted;
// the store holds nothing but a self-signed certificate made here.
TEST_F(FetcherTest, OnlyServersOfTrustedAuthoritiesAreAccepted) {
    HttpServer::Options tls[2];
    for (int i = 0; i < 2; ++i) {
        tls[i].certFile = scratch.file("tls" + std::to_string(i) + ".crt");
        tls[i].keyFile = scratch.file("tls" + std::to_string(i) + ".key");
        std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
            "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
            tls[i].keyFile + " -out " + tls[i].certFile;
        CommandResult r = runShell(command);
        ASSERT_EQ(r.status, 0) << command << "\n" << r.output;
    }
    RestoredFile store("/etc/ssl/certs/ca-certificates.crt");
    writeHostFile("/etc/ssl/certs/ca-certificates.crt", readHostFile(tls[0].certFile));
    reinitialize(NetworkSettings());

    HttpServer trusted(tls[0]);
    trusted.script("/x", Response::ok("secret"));
    ASSERT_EQ(trusted.url("/").rfind("https://", 0), 0u);
    ASSERT_TRUE(get(*fetcher(trusted.url()), "/x")) << log->text();
    EXPECT_EQ(readHostFile(target), "secret");
    EXPECT_TRUE(log->countContaining("for scheme 'https', host '127.0.0.1', port "));

    HttpServer stranger(tls[1]);
    stranger.script("/x", Response::ok("secret"));
    EXPECT_FALSE(get(*fetcher(stranger.url()), "/x"));
    EXPECT_EQ(readHostFile(target), "");
    EXPECT_TRUE(
        log->countContaining("ERROR: failed fetching 'item' (Server certificate "
                             "verification failed: issuer is not trusted)"))
        << log->text();
    EXPECT_TRUE(stranger.requests().empty());
}

// A download that fills the file system fails with the system's error text
// and keeps the earlier copy.
TEST_F(FetcherTest, FullFileSystemKeepsThePreviousDownload) {
    const std::string dir = scratch.file("small");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k"), 0);
    struct Unmount {
        std::string dir;
        ~Unmount() { umount(dir.c_str()); }
    } unmount{dir};
    writeHostFile(dir + "/file", "previous");
    server.script("/big", Response::ok(std::string(1024 * 1024, 'b')));

    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    EXPECT_FALSE(downloader.download("big", dir + "/file", false));
    EXPECT_EQ(readHostFile(dir + "/file"), "previous");
    EXPECT_FALSE(fileExists(dir + "/file.tmp"));
    EXPECT_EQ(log->count("ERROR: failed fetching 'big' (failed writing downloaded data to file "
                         "(No space left on device))"),
              1)
        << log->text();
    EXPECT_EQ(server.requestsFor("/big").size(), 3u);
}

// What goes into a request line and what a URI's port may be.
TEST(RequestPaths, AreSentPercentEncodedAndPortsStayInRange) {
    const std::pair<const char*, const char*> paths[] = {
        {"/repo/packages/app-1.0-1.noarch.rpm", "/repo/packages/app-1.0-1.noarch.rpm"},
        {"/a b/c\r\nX-Injected: 1", "/a%20b/c%0D%0AX-Injected:%201"},
        {"/caf\xc3\xa9/x#1\x7f.rpm", "/caf%C3%A9/x%231%7F.rpm"},
        {"/already%20encoded/?q=1&r=~", "/already%20encoded/?q=1&r=~"},
        {"/<\"{|}\\^`>", "/%3C%22%7B%7C%7D%5C%5E%60%3E"},
    };
    for (const auto& p : paths) {
        EXPECT_EQ(encodeRequestPath(p.first), p.second);
    }
    const std::pair<const char*, bool> uris[] = {
        {"http://h/", true},           {"http://h:80/", true},
        {"http://h:65535/", true},     {"http://h:/", true},
        {"http://u:p@h:8080/x", true}, {"http://[::1]:8080/", true},
        {"http://[::1]/", true},       {"file:/media/usb", true},
        {"http://h:65536/", false},    {"http://[::1]:70000/", false},
    };
    for (const auto& u : uris) {
        EXPECT_EQ(hasValidPort(u.first), u.second) << u.first;
    }
}

}  // namespace
