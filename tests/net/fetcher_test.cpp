// The URL fetcher and the repository downloader against real servers on
// loopback: construction, headers, retries and their waits, redirects, what a
// failed download leaves behind, proxies, https, a full file system, the proxy
// and credentials files with neon's Basic and Digest exchanges, and the device
// identity from /proc/cpuinfo and EEPROM data. The whole binary runs in one
// sandbox: it writes /etc there and mounts over /proc/cpuinfo, /sys/bus and a
// small tmpfs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ne_socket.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <regex>

#include "harness/command.h"
#include "harness/http_server.h"
#include "harness/log_capture.h"
#include "harness/sandbox.h"
#include "net/device_identity.h"
#include "net/downloader.h"
#include "net/net_test_util.h"
#include "net/partial_download.h"
#include "net/retry_policy.h"
#include "net/url_fetcher.h"
#include "support/fd.h"
#include "support/paths.h"
#include "support/random.h"

namespace {

using Response = HttpServer::Response;

const char* kCredentials = "/etc/cardela/vtxpasswd.xml";
const char* kIdentifiers = "/etc/vantorix/identifiers";

std::string credentialsFile(const std::string& entries, const std::string& root = "credits") {
    return "<?xml version=\"1.0\"?>\n<" + root +
           " xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n" + entries + "</" + root + ">\n";
}

std::string entry(const std::string& href, const std::string& user, const std::string& password,
                  const std::string& realm = "") {
    return "  <creditentials xlink:href=\"" + href + "\" username=\"" + user + "\" password=\"" +
           password + "\"" + (realm.empty() ? "" : " realm=\"" + realm + "\"") + "/>\n";
}

using Names = std::vector<std::string>;

// The users of the entries that match, in order.
Names matches(CredentialStore& store, const char* realm, const char* path) {
    Names users;
    store.rewind();
    while (const Credential* found = store.nextMatch(realm, path)) {
        users.push_back(found->m_sUser);
    }
    return users;
}

// Records the retry waits instead of sleeping; a set errno makes them fail.
std::vector<struct timespec> g_sleeps;
int g_sleepErrno = 0;

int fakeSleep(const struct timespec* request, struct timespec*) {
    g_sleeps.push_back(*request);
    errno = g_sleepErrno;
    return g_sleepErrno != 0 ? -1 : 0;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Puts a file of the sandbox back as it was (the sandbox outlives the test).
struct RestoredFile {
    explicit RestoredFile(const std::string& file) : path(file), content(readHostFile(file)) {}
    ~RestoredFile() { writeHostFile(path, content); }
    std::string path, content;
};

// A server on loopback, the fetcher's class state and a target file.
class FetcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ne_sock_init();
        g_sleeps.clear();
        g_sleepErrno = 0;
        retry::setSleepForTesting(fakeSleep);
        reinitialize(NetworkSettings());
        log = std::make_unique<LogCapture>();
        fd = UniqueFd(open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    }
    void TearDown() override {
        unlink(kCredentials);
        unlink(kIdentifiers);
        log.reset();
        retry::setSleepForTesting(nullptr);
        URLFetcher::resetForTesting();
        ne_sock_exit();
    }
    void reinitialize(const NetworkSettings& settings) {
        URLFetcher::resetForTesting();
        URLFetcher::initialize(settings);
    }
    std::unique_ptr<URLFetcher> fetcher(const std::string& uri) {
        ParsedUri parsed;
        EXPECT_TRUE(parsed.parse(uri)) << uri;
        return std::make_unique<URLFetcher>(parsed.get());
    }
    // One get of the path into the target file, which starts empty.
    bool get(URLFetcher& f, const std::string& path, bool bypassCache = false) {
        EXPECT_EQ(ftruncate(fd.get(), 0), 0);
        EXPECT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
        return f.get(path, fd.get(), bypassCache, "item");
    }
    // The user names the server saw for the path, in order ("" without one).
    Names usersSeen(const std::string& path) {
        Names users;
        for (const HttpServer::Request& r : server.requestsFor(path)) {
            users.push_back(r.authUser());
        }
        return users;
    }
    std::string dest(const std::string& name = "file") const { return scratch.file(name); }
    // True when a download left neither the destination nor its temporary file.
    bool nothingLeft(const std::string& name = "file") const {
        return !fileExists(dest(name)) && !fileExists(dest(name) + ".tmp");
    }

    std::unique_ptr<LogCapture> log;
    ScratchDir scratch{"net"};
    HttpServer server;
    std::string target = scratch.file("target");
    UniqueFd fd;
};

using DownloaderTest = FetcherTest;

TEST_F(FetcherTest, ConstructionMatchingLookupAndInitialisation) {
    EXPECT_TRUE(fetcher("file://localhost/var/x")->isValid());
    EXPECT_FALSE(fetcher("file:///var/x")->hasSession());
    EXPECT_TRUE(fetcher("ftp://host:21/x")->isValid());  // a given port is not checked
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
    // A host that cannot be found is reported at once, with hints.
    auto lost = fetcher("http://no-such-host.invalid:8080/");
    EXPECT_FALSE(get(*lost, "/x"));
    EXPECT_TRUE(log->has("ERROR: failed fetching 'item' (server or proxy hostname lookup failed)"));
    EXPECT_TRUE(log->has("ERROR: make sure that a network gateway and DNS servers are configured"));
    EXPECT_TRUE(log->has("and that the unit is connected to the network"));
    EXPECT_TRUE(g_sleeps.empty());
    URLFetcher::resetForTesting();
    EXPECT_FALSE(fetcher(server.url())->isValid());
    EXPECT_TRUE(log->has("ERROR: URLFetcher class not initialized before calling constructor"));
}

TEST_F(FetcherTest, UserAgentIdentityAndCacheHeadersAreSentOnlyWhenSet) {
    const std::array<const char*, 3> agents[] = {
        // base, product name, agent
        {"VtxPlayer", "", "VtxPlayer/1.17"},
        {"VtxPlayer", "Halvec 4K", "VtxPlayer/1.17 (Halvec 4K)"},
        {"", "", "/1.17"}};
    server.script("/x", Response::ok("x"));
    for (const auto& c : agents) {
        NetworkSettings settings;
        settings.m_sUserAgentBase = c[0];
        settings.m_sUserAgentProdname = c[1];
        reinitialize(settings);
        ASSERT_TRUE(get(*fetcher(server.url()), "/x"));
        // neon adds its own product token after ours.
        EXPECT_EQ(server.requests().back().header("User-Agent").rfind(c[2] + std::string(" "), 0),
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

// How the wait that the server asks for is slept.
TEST_F(FetcherTest, RetryAfterSetsTheBaseWait) {
    auto f = fetcher(server.url());
    // A date in the future: the time from now until then.
    Response dated = Response::withStatus(503);
    dated.retryAfterDate = true;
    dated.retryAfterIn = 100;
    server.script("/dated", {dated, Response::ok("done")});
    setRandomStateForTesting(1);
    ASSERT_TRUE(get(*f, "/dated"));
    ASSERT_EQ(g_sleeps.size(), 2u);
    long total = g_sleeps[0].tv_sec + g_sleeps[1].tv_sec;
    EXPECT_GE(total, 98);
    EXPECT_LE(total, 101);

    // 130 seconds go in pieces of at most 60; the spread comes from the class
    // generator, the second wait of this sequence adds 4 s.
    server.script("/long",
                  {Response::withStatus(503).header("Retry-After", "130"),
                   Response::withStatus(503).header("Retry-After", "20"), Response::ok("done")});
    g_sleeps.clear();
    setRandomStateForTesting(1);
    ASSERT_TRUE(get(*f, "/long"));
    std::vector<long> seconds;
    for (const struct timespec& t : g_sleeps) {
        seconds.push_back(t.tv_sec);
    }
    EXPECT_EQ(seconds, (std::vector<long>{60, 60, 10, 24}));
    EXPECT_EQ(g_sleeps[1].tv_nsec, 0);
    EXPECT_EQ(g_sleeps[3].tv_nsec, 492471828);
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
    retry::setSleepForTesting(sleepUntilAlarm);
    EXPECT_FALSE(get(*f, "/busy"));
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_TRUE(log->has("INFO: retry wait interrupted by signal"));
    EXPECT_TRUE(log->has("ERROR: failed wait, cannot retry"));
    EXPECT_TRUE(log->has("ERROR: failed fetching 'item' (503 Service Unavailable)"));
    EXPECT_EQ(server.requestsFor("/busy").size(), 1u);

    retry::setSleepForTesting(fakeSleep);
    g_sleepErrno = EINVAL;
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
TEST_F(FetcherTest, ProxyIsBypassedOnlyForLocalAddressesAndAttachedNetworks) {
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

    // A host in a directly attached network is local too. This process moves
    // into a network namespace of its own, joined by a veth pair to a second
    // one that holds the server; nothing outside them and loopback is contacted.
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);
    const std::string ns = "upd15-" + std::to_string(getpid());
    ASSERT_EQ(runCommand({"ip", "netns", "add", ns}).status, 0);
    struct Remove {
        std::string ns;
        ~Remove() { runCommand({"ip", "netns", "del", ns}); }
    } remove{ns};
    const std::string command =
        "ip link set lo up && ip link add upd15c type veth peer name upd15s netns " + ns +
        " && ip addr add 10.215.0.1/24 dev upd15c && ip link set upd15c up && ip -n " + ns +
        " addr add 10.215.0.2/24 dev upd15s && ip -n " + ns + " link set upd15s up && ip -n " + ns +
        " link set lo up";
    CommandResult r = runShell(command);
    ASSERT_EQ(r.status, 0) << command << ": " << r.output;
    HttpServer::Options options;
    options.address = "10.215.0.2";
    options.launcher = {"/usr/sbin/ip", "netns", "exec", ns};
    HttpServer remote(options);
    TinyProxy attached;
    settings.m_nProxyPort = attached.port();
    for (bool bypass : {false, true}) {
        settings.m_bProxyBypassLocal = bypass;
        reinitialize(settings);
        remote.clear();
        remote.script("/x", Response::ok("remote"));
        ASSERT_TRUE(get(*fetcher(remote.url()), "/x")) << bypass;
        EXPECT_EQ(readHostFile(target), "remote");
        EXPECT_EQ(viaProxy(remote, "/x"), !bypass);
    }
    EXPECT_TRUE(log->has("DEBUG: using proxy for 10.215.0.2"));
    EXPECT_TRUE(log->has("DEBUG: bypassing proxy since 10.215.0.2 is local"));
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

TEST_F(FetcherTest, ProxyFileFillsTheProxySettingsAndNeverFails) {
    // Inside <proxyconf>; "server port bypass user"; a log line it must produce, or "".
    const std::array<const char*, 3> cases[] = {
        {"<proxy server='p' port='3128' username='u' password='pw'/>", "p 3128 1 u",
         "DEBUG: configured proxy 'p' port 3128 bypass 1"},
        {"<proxy server='p' port='65534'/>", "p 65534 1 ", ""},
        {"<proxy server='p' port='65535'/>", " 0 1 ", "ERROR: invalid port number '65535'"},
        {"<proxy server='p' port='80x'/>", " 0 1 ", "ERROR: invalid port number '80x'"},
        {"<proxy server='p' port='-1'/>", " 0 1 ", "ERROR: invalid port number '-1'"},
        {"<proxy server='p' port=' +0'/>", "p 0 1 ", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='no'/>", "p 1 1 ", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='off'/>", "p 1 0 ", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='false'/>", "p 1 0 ", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='FALSE'/>", "p 1 1 ", ""},
        {"<proxy port='1'/>", " 0 1 ", "ERROR: no 'server' attribute in 'proxy' element"},
        {"<proxy server='p' port=''/>", " 0 1 ", "ERROR: no 'port' attribute in 'proxy' element"},
        // The second element replaces the first, credentials included.
        {"<proxy server='a' port='1' username='u' password='pw' bypassLocalNetwork='off'/>"
         "<x><proxy server='b' port='2'/></x>",
         "b 2 1 ", "WARNING: multiple proxy servers in configuration file, using last occurence"},
        // A refused second element leaves the first one's values.
        {"<proxy server='a' port='1' username='u'/><proxy server='b' port='99999'/>", "a 1 1 u",
         "ERROR: invalid port number '99999'"},
    };
    std::string path = scratch.file("vtxproxy.conf");
    for (const auto& c : cases) {
        log->clear();
        writeHostFile(path, std::string("<proxyconf>") + c[0] + "</proxyconf>\n");
        NetworkSettings n;
        loadProxyFile(path, n);
        EXPECT_EQ(n.m_sProxyServer + " " + std::to_string(n.m_nProxyPort) + " " +
                      std::to_string(n.m_bProxyBypassLocal) + " " + n.m_sProxyUser,
                  c[1])
            << c[0];
        EXPECT_TRUE(*c[2] == '\0' || log->has(c[2])) << c[0] << "\n" << log->text();
        EXPECT_FALSE(log->contains("pw'") || log->contains("'pw"));
    }
    NetworkSettings network;
    loadProxyFile(scratch.file("missing"), network);
    EXPECT_TRUE(log->has("DEBUG: no proxy configuration file '" + scratch.file("missing") + "'"));
}

TEST_F(FetcherTest, CredentialsFileKeepsOnlyTheEntriesOfTheServer) {
    writeHostFile(
        kCredentials,
        credentialsFile(
            entry("https://h.test/", "a", "x") + entry("https://h.test:8443/", "b", "x") +
            entry("http://h.test/", "c", "x") + entry("http://h.test:8080/dir/", "d", "x", "R") +
            entry("http://H.TEST:8080/", "upper", "x") + entry("//h.test:8080/", "noscheme", "x") +
            entry("http://[bad", "bad", "x") + entry("http://h.test:99999/", "port", "x") +
            "  <creditentials username='nohref'/>\n"
            "  <x><creditentials xlink:href='http://h.test:8080/' "
            "username='deep'/></x>\n"));
    const std::pair<const char*, Names> cases[] = {
        {"https://h.test/", {"a"}}, {"https://h.test:443/", {"a"}}, {"https://h.test:8443/", {"b"}},
        {"http://h.test/", {"c"}},  {"http://h.test:8080/", {"d"}}, {"http://other.test:8080/", {}},
    };
    for (const auto& c : cases) {
        ParsedUri uri;
        ASSERT_TRUE(uri.parse(c.first));
        CredentialStore store(uri.get());
        ASSERT_TRUE(store.loadFile(kCredentials));
        EXPECT_EQ(matches(store, "R", "/dir/x/y"), c.second) << c.first;
    }
    EXPECT_TRUE(log->has("WARNING: ignoring network credential with no URI"));
    EXPECT_TRUE(log->has("WARNING: invalid syntax for URI 'http://[bad' in network credentials"));
    // One line for a port beyond the range, like any other bad URI.
    EXPECT_TRUE(
        log->has("WARNING: invalid syntax for URI 'http://h.test:99999/' in network "
                 "credentials"));
    EXPECT_FALSE(log->contains("invalid port"));

    ParsedUri uri;
    ASSERT_TRUE(uri.parse("http://h.test/"));
    CredentialStore store(uri.get());
    writeHostFile(kCredentials, credentialsFile(entry("http://h.test/", "c", "x"), "creds"));
    EXPECT_FALSE(store.loadFile(kCredentials));
    EXPECT_EQ(store.size(), 0u);
    EXPECT_TRUE(log->has("ERROR: bad top-level element, 'creds' instead of 'credits'"));
}

TEST_F(FetcherTest, EntriesMatchByRealmAndPathBelowTheirOwn) {
    CredentialStore store;
    store.add({"/dir/", "R", "dir-R", ""});
    store.add({"/", "", "root", ""});
    const struct {
        const char* realm;
        const char* path;
        Names users;
    } cases[] = {
        {"R", "/dir/file", {"dir-R", "root"}},
        {"r", "/dir/file", {"root"}},  // realms compare case-sensitively
        {"R", "/dir/", {"root"}},      // not the entry's own path
        {"R", "/dir", {"root"}},
        {"R", "/dirx/file", {"root"}},
        {"", "/other", {"root"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matches(store, c.realm, c.path), c.users) << c.realm << " " << c.path;
    }
}

// Configured entries are tried in order; the device's default credentials
// come last, and only for Digest.
TEST_F(FetcherTest, ServersGetTheConfiguredEntriesAndForDigestTheDefaultOnes) {
    std::string base = server.url("/");
    writeHostFile(kCredentials, credentialsFile(entry(base, "first", "pw-1") +
                                                entry(base + "repo/", "second", "pw-2", "upd") +
                                                entry(base, "third", "pw-3", "elsewhere")));
    URLFetcher::defaultCredentials().add({"/", "", "device-user", "device-pw"});
    const struct {
        const char* scheme;
        const char* user;  // that the server accepts
        bool ok;
        Names users;
    } cases[] = {
        {"Basic", "nobody", false, {"", "first", "second"}},
        {"Basic", "second", true, {"", "first", "second"}},
        {"Digest", "nobody", false, {"", "first", "second", "device-user"}},
        {"Digest", "device-user", true, {"", "first", "second", "device-user"}},
    };
    for (const auto& c : cases) {
        server.clear();
        server.script("/repo/x", Response::ok("x"));
        server.requireAuth("/repo/", c.scheme, "upd",
                           {{c.user, std::string(c.user) == "second" ? "pw-2" : "device-pw"}});
        EXPECT_EQ(get(*fetcher(base), "/repo/x"), c.ok) << c.scheme << " " << c.user;
        EXPECT_EQ(usersSeen("/repo/x"), c.users) << c.scheme << " " << c.user;
        EXPECT_EQ(readHostFile(target), c.ok ? "x" : "");
    }
    EXPECT_EQ(log->count("ERROR: failed fetching 'item' (authentication failed on server)"), 2);

    // What neon cannot hold and an entry without a user are refused, and
    // nothing is sent; a broken file configures nothing at all.
    const std::string longest(255, 'u');
    // Cut far behind the entry, where the reader has already handed it over.
    std::string brokenAfterEntry =
        credentialsFile(entry(base, longest, "p") + "<x/>" + std::string(100000, '\n') + "<y>");
    brokenAfterEntry.erase(brokenAfterEntry.rfind("</credits>"));
    const std::pair<std::string, std::string> refusals[] = {
        {credentialsFile(entry(base, longest, "p")), ""},
        {credentialsFile(entry(base, longest + "u", "p")),
         "ERROR: http username length (256) exceeds maximum supported (256)"},
        {credentialsFile(entry(base, longest, std::string(256, 'p'))),
         "ERROR: http password length (256) exceeds maximum supported (256)"},
        {credentialsFile(entry(base, "", "p")),
         "ERROR: http authentication requested but no credentials set"},
        {brokenAfterEntry, "ERROR: cannot parse XML file '/etc/cardela/vtxpasswd.xml'"},
    };
    for (const auto& [file, refusal] : refusals) {
        writeHostFile(kCredentials, file);
        server.clear();
        server.script("/repo/x", Response::ok("x"));
        server.requireAuth("/repo/", "Basic", "upd", {{longest, "p"}});
        EXPECT_EQ(get(*fetcher(base), "/repo/x"), refusal.empty()) << refusal;
        EXPECT_EQ(usersSeen("/repo/x").size(), refusal.empty() ? 2u : 1u) << refusal;
        EXPECT_TRUE(refusal.empty() || log->contains(refusal)) << refusal;
    }
    EXPECT_FALSE(log->contains("pw-") || log->contains("device-pw"))
        << "a password reached the log";

    // A proxy that asks while no proxy user is set gets nothing either.
    HttpServer proxy;
    proxy.requireProxyAuth("proxy", {{"u", "p"}});
    NetworkSettings settings;
    settings.m_sProxyServer = "127.0.0.1";
    settings.m_nProxyPort = proxy.port();
    settings.m_bProxyBypassLocal = false;
    reinitialize(settings);
    EXPECT_FALSE(get(*fetcher(base), "/repo/x"));
    EXPECT_TRUE(log->has("ERROR: proxy authentication requested but no credentials set"));
    EXPECT_EQ(proxy.requests().size(), 1u);
}

class DeviceTest : public FetcherTest {
protected:
    void SetUp() override {
        FetcherTest::SetUp();
        cpuinfo = scratch.file("cpuinfo");
        writeHostFile(cpuinfo, "");
        ASSERT_EQ(mount(cpuinfo.c_str(), "/proc/cpuinfo", nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(mount("tmpfs", "/sys/bus", "tmpfs", 0, "mode=0755"), 0);
    }
    void TearDown() override {
        if (!cpuinfo.empty()) {
            umount("/proc/cpuinfo");
            umount("/sys/bus");
        }
        FetcherTest::TearDown();
    }

    void eeprom(int index, const std::string& data) {
        std::string path = paths::kEepromDataFiles[index];
        makeDirs(path.substr(0, path.rfind('/')));
        writeHostFile(path, data);
    }
    void removeEeproms() {
        for (const char* path : paths::kEepromDataFiles) {
            unlink(path);
        }
    }

    std::string cpuinfo;
};

TEST_F(DeviceTest, SerialRevisionAndModelFromCpuInfoWithIdentifiersFallback) {
    const std::string serial63 = "SN" + std::string(61, '7');
    const std::string longLines = "#" + std::string(126, '-') +
                                  "VTX_SN=cut-off\nVTX_SN=" + serial63 + std::string(57, '8') +
                                  "\n";
    const std::string longSerial = "Serial : " + serial63 + "xyz\n";
    struct Case {
        const char* cpuinfo;
        const char* identifiers;  // null: no file
        const char* serial;
        const char* revision;
        HwType type;
    } cases[] = {
        {"processor\t: 0\nSerial\t\t: 00000000c0ffee42\nRevision\t: 2.12\nHardware\t: Halvec\n",
         "VTX_SN=\"ignored\"\n", "00000000c0ffee42", "2.12", HwType::HALVEC},
        {"Hardware\t: Miravo\nRevision : 3.1\n",
         "# device data\n\n  VTX_SN = \"blank\"\nVTX_SNX=x\nVTX_SN=\nVTX_SN=\"SN-0042\"  \n"
         "VTX_SN=later\n",
         "SN-0042", "3.1", HwType::MIRAVO},
        {"Hardware : ostrela\n", "VTX_SN='SN-single'\n", "SN-single", "", HwType::OSTRELA},
        {"Hardware : Zebra\nSerial :\n", "VTX_SN=\"open\nVTX_SN=late\n", "", "", HwType::OTHER},
        // Lines are read up to 127 characters, serial numbers kept up to 63.
        {"", longLines.c_str(), serial63.c_str(), "", HwType::UNKNOWN},
        {longSerial.c_str(), nullptr, serial63.c_str(), "", HwType::UNKNOWN},
        {"Revision : 123456789\n", nullptr, "", "12345678", HwType::UNKNOWN},
    };
    for (const Case& c : cases) {
        log->clear();
        writeHostFile(cpuinfo, c.cpuinfo);
        unlink(kIdentifiers);
        if (c.identifiers != nullptr) {
            writeHostFile(kIdentifiers, c.identifiers);
        }
        DeviceIdentity identity;
        device::readHardwareInfo(identity);
        EXPECT_EQ(identity.m_sSerial, c.serial) << c.cpuinfo;
        EXPECT_EQ(identity.m_sHwRevision, c.revision) << c.cpuinfo;
        EXPECT_EQ(identity.m_hwType, c.type) << c.cpuinfo;
    }
    EXPECT_TRUE(
        log->has("WARNING: could not open /etc/vantorix/identifiers: No such file or "
                 "directory"));
    EXPECT_TRUE(log->has("DEBUG: no Hardware in '/proc/cpuinfo'"));
}

// Miravo and Ostrela hash one block of EEPROM data, from the first readable
// candidate file; Halvec hashes two, the core's and the carrier's.
TEST_F(DeviceTest, DefaultPasswordComesFromTheEepromData) {
    const char* core = "HLVCORE:C2.11xyzVTXCB!";  // 22 bytes: 21 are read
    const char* carrier = "HLVCARR:B1.03...VTXCB";
    const char* other = "MRVMAIN:M1.00...12345";
    const struct {
        std::vector<std::pair<int, const char*>> files;  // candidate index, content
        HwType type;
        const char* password;
    } cases[] = {
        {{{0, other}}, HwType::MIRAVO, "iP33KtGOCNQX"},
        {{{1, other}}, HwType::OSTRELA, "iP33KtGOCNQX"},
        {{{0, "short"}, {1, "MRVMAIN:M1.00...12346"}}, HwType::MIRAVO, "fMhmncpQOhDU"},
        {{{4, core}}, HwType::HALVEC, ""},
        {{{0, core}, {2, carrier}}, HwType::HALVEC, "3Aco6EsUv1P7"},
        // The carrier board without its fixed string hashes as if it had it.
        {{{0, core}, {2, "HLVCARR:B1.03...ABCDE"}}, HwType::HALVEC, "3Aco6EsUv1P7"},
        // The known-bad revision pair is corrected to the board's real revision.
        {{{0, "HLVCORE:C2.12xyzVTXCB"}, {2, carrier}}, HwType::HALVEC, "-miRJMmzZoiv"},
        {{{0, "HLVCORE:C2.10xyzVTXCB"}, {2, carrier}}, HwType::HALVEC, "-miRJMmzZoiv"},
        {{{0, other}}, HwType::OTHER, ""},
        {{{0, other}}, static_cast<HwType>(7), ""},
    };
    for (const auto& c : cases) {
        removeEeproms();
        for (const auto& f : c.files) {
            eeprom(f.first, f.second);
        }
        EXPECT_EQ(device::defaultPassword(c.type), c.password) << static_cast<int>(c.type);
        EXPECT_TRUE(*c.password == '\0' || !log->contains(c.password));
    }
    EXPECT_TRUE(log->has("DEBUG: no secret data"));
    EXPECT_TRUE(log->has("ERROR: invalid hardware type 7"));
}

TEST_F(DeviceTest, DefaultCredentialsNeedBothUserNameAndPassword) {
    eeprom(3, "MRVMAIN:M1.00...12345");
    struct Case {
        const char* revision;
        HwType type;
        bool result;
        size_t entries;
        const char* message;
    } cases[] = {
        {"", HwType::UNKNOWN, true, 0, "DEBUG: no default credentials"},
        {"3.1", HwType::OTHER, false, 0,
         "ERROR: cannot recover default password for authentication"},
        {"", HwType::MIRAVO, false, 0,
         "ERROR: cannot recover default user name for authentication"},
        {"3.1", HwType::MIRAVO, true, 1, "TRACE: default user 'player-4k-3.1'"},
    };
    for (const Case& c : cases) {
        DeviceIdentity identity;
        identity.m_sHwRevision = c.revision;
        identity.m_hwType = c.type;
        CredentialStore store;
        store.add({"/", "", "stale", "stale"});
        EXPECT_EQ(device::setupDefaultCredentials(identity, "player-4k", store), c.result);
        EXPECT_EQ(store.size(), c.entries);
        EXPECT_TRUE(log->has(c.message)) << c.message;
    }
}

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
    EXPECT_TRUE(g_sleeps.empty());
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
    Response chunkedLong = Response::ok(std::string(5000, 'l'));
    chunkedLong.chunked = true;
    const struct {
        const char* path;
        std::vector<Response> responses;
        size_t attempts;
        const char* line;  // "": succeeds with the last body; else the one error line
        int64_t limit = Downloader::kNoLimit;
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
        // A body beyond the limit fails at once, announced or not.
        {"long",
         {Response::ok(std::string(5000, 'l'))},
         1,
         "ERROR: failed fetching 'long' (longer than 4999 bytes)",
         4999},
        {"chunkedlong",
         {chunkedLong},
         1,
         "ERROR: failed fetching 'chunkedlong' (longer than 4999 bytes)",
         4999},
        {"exact", {Response::ok(std::string(4999, 'e'))}, 1, "", 4999},
        {"busy", {busy}, 3, "ERROR: failed fetching 'busy' (503 Service Unavailable)"},
    };
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/r/")));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        server.script(std::string("/r/") + c.path, c.responses);
        writeHostFile(dest(), "previous");
        g_sleeps.clear();
        log->clear();
        EXPECT_EQ(downloader.download(c.path, dest(), false, c.limit), *c.line == '\0');
        EXPECT_EQ(readHostFile(dest()), *c.line == '\0' ? c.responses.back().body : "previous");
        EXPECT_FALSE(fileExists(dest() + ".tmp"));
        EXPECT_EQ(server.requestsFor(std::string("/r/") + c.path).size(), c.attempts);
        EXPECT_EQ(g_sleeps.size(), c.attempts - 1);
        EXPECT_EQ(log->countContaining("; retrying"), static_cast<int>(c.attempts) - 1);
        if (*c.line == '\0') {
            EXPECT_EQ(log->has("INFO: fetched '" + std::string(c.path) + "' in retry 2"),
                      c.attempts == 3);
        } else {
            EXPECT_EQ(log->countContaining(c.line), 1) << log->text();
            EXPECT_EQ(log->countContaining("ERROR: "), 1) << log->text();
        }
    }
    EXPECT_EQ(log->count("WARNING: failed fetching 'busy' (503 Service Unavailable); retrying"), 2);
    EXPECT_EQ(log->count("ERROR: failed fetching 'busy' (503 Service Unavailable)"), 1);
}

// Bytes that differ from block to block, so that a piece in the wrong place shows.
std::string patterned(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 7 + i / 4096) % 251);
    }
    return text;
}

// A package file's partial download: what a transfer keeps, asks for next
// (Range and If-Range) and drops. The partial file starts with `held` bytes
// (of the file, or more) and the validator "v1" when it holds any.
TEST_F(DownloaderTest, PartialDownloadsContinueWhereTheyStoppedOrStartAgain) {
    const std::string content = patterned(300000);
    writeHostFile(scratch.file("served"), content);
    Response file = Response::fromFile(scratch.file("served"));
    file.header("ETag", "\"v1\"");
    Response cut = file;
    cut.closeAfter = 100000;
    Response ignoring = file;
    ignoring.ranges = false;
    Response changed = Response::fromFile(scratch.file("served")).header("ETag", "\"v2\"");
    // A 206 of another version, from a server that does not heed If-Range.
    Response otherVersion = Response::ok(content.substr(100000));
    otherVersion.status = 206;
    otherVersion.header("Content-Range", "bytes 100000-299999/300000").header("ETag", "\"v2\"");
    Response unvalidated = Response::ok(content);  // neither ETag nor Last-Modified
    Response unvalidatedCut = unvalidated;
    unvalidatedCut.closeAfter = 100000;
    Response chunked = file;
    chunked.chunked = true;
    const std::string from100k = "bytes=100000-";
    const struct {
        const char* name;
        std::vector<Response> responses;
        size_t held;
        std::vector<std::string> ranges;  // of each request, "" for none
        const char* line;                 // logged
        int64_t expected = 300000;
        int64_t left = 300000;  // what the partial file holds afterwards
    } rows[] = {
        {"cut",
         {cut, cut, file},
         0,
         {"", from100k, "bytes=200000-"},
         "INFO: fetched 'cut' in retry 2"},
        {"ignored",
         {ignoring},
         100000,
         {from100k},
         "INFO: 'ignored' starts again from its first byte"},
        {"changed",
         {changed},
         100000,
         {from100k},
         "INFO: 'changed' starts again from its first byte"},
        {"other",
         {otherVersion, file},
         100000,
         {from100k, ""},
         "INFO: cannot continue 'other' at byte 100000, starting again"},
        {"refused",
         {Response::withStatus(416), file},
         100000,
         {from100k, ""},
         "INFO: cannot continue 'refused' at byte 100000, starting again"},
        {"beyond", {file}, 300001, {""}, "bytes, more than the 300000 of the whole file"},
        {"unvalidated", {unvalidatedCut, unvalidated}, 0, {"", ""}, "; retrying"},
        {"long",
         {file},
         0,
         {""},
         "ERROR: failed fetching 'long' (longer than 299999 bytes)",
         299999,
         0},
        {"chunkedlong", {chunked}, 0, {""}, "(longer than 299999 bytes)", 299999, 299999},
    };
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/r/")));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        server.clear();
        server.script(std::string("/r/") + row.name, row.responses);
        const std::string partialFile = dest(row.name) + PartialDownload::kSuffix;
        writeHostFile(partialFile, (content + "x").substr(0, row.held));
        writeHostFile(dest(row.name) + PartialDownload::kValidatorSuffix,
                      row.held ? "\"v1\"\n" : "");
        PartialDownload partial;
        ASSERT_TRUE(partial.open(dest(row.name), row.expected));
        const bool whole = row.left == 300000;
        EXPECT_EQ(downloader.resume(row.name, partial, false), whole);
        EXPECT_TRUE(log->countContaining(row.line)) << log->text();
        std::vector<std::string> ranges;
        for (const HttpServer::Request& r : server.requests()) {
            ranges.push_back(r.header("Range"));
            EXPECT_EQ(r.header("If-Range"), r.hasHeader("Range") ? "\"v1\"" : "");
        }
        EXPECT_EQ(ranges, row.ranges);
        const std::string held = readHostFile(partialFile);
        EXPECT_EQ(held.size(), static_cast<size_t>(row.left));
        EXPECT_TRUE(held == content.substr(0, held.size()));
        EXPECT_FALSE(fileExists(dest(row.name)));  // never under the file's own name
        if (whole) {
            EXPECT_TRUE(partial.commit());
            EXPECT_TRUE(readHostFile(dest(row.name)) == content);
            EXPECT_FALSE(fileExists(partialFile));
        }
    }
    // Cut twice, the file arrived once: at most the headers on top.
    server.clear();
    server.script("/r/cut", {cut, cut, file});
    PartialDownload partial;
    ASSERT_TRUE(partial.open(dest("again"), 300000));
    ASSERT_TRUE(downloader.resume("cut", partial, false));
    EXPECT_LT(server.bytesSent(), 300000 + 1500);
}

// The plain path against a real server that honours ranges, with its own
// ETag ("mtime-size" in hexadecimal).
TEST_F(DownloaderTest, NginxSendsOnlyTheRest) {
    const std::string content = patterned(1 << 20);
    writeHostFile(scratch.file("www/package.rpm"), content);
    struct stat st;
    ASSERT_EQ(stat(scratch.file("www/package.rpm").c_str(), &st), 0);
    char etag[64];
    snprintf(etag, sizeof(etag), "\"%lx-%lx\"\n", static_cast<long>(st.st_mtime),
             static_cast<long>(st.st_size));
    writeHostFile(dest() + PartialDownload::kSuffix, content.substr(0, 400000));
    writeHostFile(dest() + PartialDownload::kValidatorSuffix, etag);
    Nginx nginx(scratch.file("www"), {""});
    Downloader downloader;
    ASSERT_TRUE(downloader.open("http://127.0.0.1:" + std::to_string(nginx.port(0)) + "/"));
    PartialDownload partial;
    ASSERT_TRUE(partial.open(dest(), 1 << 20));
    ASSERT_TRUE(downloader.resume("package.rpm", partial, false));
    EXPECT_EQ(nginx.log(), std::to_string(nginx.port(0)) +
                               " 206 /package.rpm \"-\" \"bytes=400000-\" 648576\n");
    ASSERT_TRUE(partial.commit());
    EXPECT_TRUE(readHostFile(dest()) == content);
}

// Below the floor (1,000 bytes in 2 s here) a transfer fails as timed out,
// whether the body or the headers trickle; a slow one above it completes.
TEST_F(FetcherTest, TransfersBelowTheSpeedFloorTimeOut) {
    NetworkSettings settings;
    settings.m_nLowSpeedBytes = 1000;
    settings.m_nLowSpeedSeconds = 2;
    reinitialize(settings);
    Response body = Response::ok(std::string(100000, 'b'));
    body.slowChunk = 1;
    body.slowDelay = 0.5;
    Response headers = Response::ok("h");
    headers.slowHeaders = 0.5;
    Response slowEnough = Response::ok(std::string(40000, 's'));
    slowEnough.slowChunk = 4000;
    slowEnough.slowDelay = 0.5;
    const struct {
        const char* path;
        Response response;
        bool ok;
    } rows[] = {
        {"/body", body, false}, {"/headers", headers, false}, {"/enough", slowEnough, true}};
    auto f = fetcher(server.url());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        server.script(row.path, row.response);
        log->clear();
        g_sleeps.clear();
        EXPECT_EQ(get(*f, row.path), row.ok);
        EXPECT_EQ(log->count("WARNING: received fewer than 1000 bytes of 'item' in 2 seconds"),
                  row.ok ? 0 : 3);
        EXPECT_EQ(log->count("ERROR: failed fetching 'item' (connection timed out)"),
                  row.ok ? 0 : 1);
        EXPECT_EQ(server.requestsFor(row.path).size(), row.ok ? 1u : 3u);
        EXPECT_EQ(g_sleeps.size(), row.ok ? 0u : 2u);
    }
    EXPECT_EQ(readHostFile(target), std::string(40000, 's'));
}

// A slow transfer of 5 MB (about 11 s): a progress line every 10 s with the
// bytes held, the whole size and the rate, a last line at the end, and the
// same texts as the service status through the notify socket.
TEST_F(DownloaderTest, SlowTransfersShowTheirProgress) {
    const std::string socketPath = scratch.file("notify");
    UniqueFd notify(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
    ASSERT_EQ(bind(notify.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
    setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    const long long size = 5 << 20;
    Response slow;
    slow.bodySize = size;
    slow.slowChunk = 64 * 1024;
    slow.slowDelay = 0.14;
    server.script("/slow", slow);
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    PartialDownload partial;
    ASSERT_TRUE(partial.open(dest(), size));
    ASSERT_TRUE(downloader.resume("slow", partial, false));
    unsetenv("NOTIFY_SOCKET");

    const std::regex line(
        "INFO: downloading 'slow': ([0-9]+) of 5242880 bytes \\(([0-9]+)%\\), "
        "([0-9.]+) KiB/s");
    std::smatch m;
    const std::string text = log->text();
    ASSERT_TRUE(std::regex_search(text, m, line)) << text;
    const long long held = std::stoll(m[1]);
    EXPECT_GT(held, 0);
    EXPECT_LT(held, size);
    EXPECT_EQ(std::stoll(m[2]), held * 100 / size);
    // The rate is that of the bytes over the 10 s or more they took.
    EXPECT_GT(std::stod(m[3]), 0);
    EXPECT_LE(std::stod(m[3]), held / 1024.0 / 10 + 0.1);
    EXPECT_TRUE(std::regex_search(
        text, std::regex("INFO: downloaded 'slow': 5242880 bytes in [0-9]+ s, [0-9.]+ KiB/s\n")))
        << text;
    char message[512];
    std::vector<std::string> statuses;
    for (ssize_t n; (n = recv(notify.get(), message, sizeof(message), 0)) > 0;) {
        statuses.emplace_back(message, static_cast<size_t>(n));
    }
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front().rfind("STATUS=downloading 'slow': ", 0), 0u) << statuses.front();
    EXPECT_EQ(statuses.back().rfind("STATUS=downloaded 'slow': 5242880 bytes in ", 0), 0u);
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
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(downloader.fetcherCount(), 1u);
}

// The one test that waits for real between two attempts, as the server asks:
// one second plus a spread of up to 5 s.
TEST_F(DownloaderTest, RetryAfterIsWaitedForReal) {
    retry::setSleepForTesting(nullptr);
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
