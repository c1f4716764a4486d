// Network identity against real servers: the proxy file, the credentials
// file and neon's Basic and Digest exchanges, the device identity from
// /proc/cpuinfo and EEPROM data files, and the proxy bypass for a host in a
// directly attached network of a namespace the test makes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>

#include "harness/command.h"
#include "harness/http_server.h"
#include "net/device_identity.h"
#include "net/net_test_util.h"
#include "support/fd.h"
#include "support/paths.h"

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

class IdentityTest : public ServedTest {
protected:
    void TearDown() override {
        if (!IsSkipped()) {
            unlink(kCredentials);
            unlink(kIdentifiers);
        }
        ServedTest::TearDown();
    }

    // The user names the server saw for the path, in order ("" without one).
    Names usersSeen(const std::string& path) {
        Names users;
        for (const HttpServer::Request& r : server.requestsFor(path)) {
            users.push_back(r.authUser());
        }
        return users;
    }
};

TEST_F(IdentityTest, ProxyFileFillsTheProxySettingsAndNeverFails) {
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

TEST_F(IdentityTest, CredentialsFileKeepsOnlyTheEntriesOfTheServer) {
    writeHostFile(
        kCredentials,
        credentialsFile(
            entry("https://h.test/", "a", "x") + entry("https://h.test:8443/", "b", "x") +
            entry("http://h.test/", "c", "x") + entry("http://h.test:8080/dir/", "d", "x", "R") +
            entry("http://H.TEST:8080/", "upper", "x") + entry("//h.test:8080/", "noscheme", "x") +
            entry("http://[bad", "bad", "x") +
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

    ParsedUri uri;
    ASSERT_TRUE(uri.parse("http://h.test/"));
    CredentialStore store(uri.get());
    writeHostFile(kCredentials, credentialsFile(entry("http://h.test/", "c", "x"), "creds"));
    EXPECT_FALSE(store.loadFile(kCredentials));
    EXPECT_EQ(store.size(), 0u);
    EXPECT_TRUE(log->has("ERROR: bad top-level element, 'creds' instead of 'credits'"));
}

TEST_F(IdentityTest, EntriesMatchByRealmAndPathBelowTheirOwn) {
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
TEST_F(IdentityTest, ServersGetTheConfiguredEntriesAndForDigestTheDefaultOnes) {
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

    // A user name neon cannot hold is refused and nothing is sent.
    for (size_t length : {256, 255}) {
        writeHostFile(kCredentials, credentialsFile(entry(base, std::string(length, 'u'), "p")));
        server.clear();
        server.script("/repo/x", Response::ok("x"));
        server.requireAuth("/repo/", "Basic", "upd", {{std::string(255, 'u'), "p"}});
        EXPECT_EQ(get(*fetcher(base), "/repo/x"), length == 255) << length;
        EXPECT_EQ(usersSeen("/repo/x").size(), length == 255 ? 2u : 1u) << length;
    }
    EXPECT_TRUE(log->has("ERROR: http username length (256) exceeds maximum supported (256)"));
    EXPECT_FALSE(log->contains("pw-") || log->contains("device-pw"))
        << "a password reached the log";
}

class DeviceTest : public IdentityTest {
protected:
    void SetUp() override {
        IdentityTest::SetUp();
        if (IsSkipped()) {
            return;
        }
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
        IdentityTest::TearDown();
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

TEST_F(DeviceTest, DefaultPasswordComesFromTheEepromData) {
    const std::string core = "HLVCORE:C2.11xyzVTXCB!";  // 22 bytes: 21 are read
    const std::string carrier = "HLVCARR:B1.03...VTXCB";
    const std::string other = "MRVMAIN:M1.00...12345";

    // Type 2: one block, from the first readable candidate.
    eeprom(0, other);
    std::string first = device::defaultPassword(HwType::MIRAVO);
    EXPECT_EQ(first.size(), device::kPasswordLength);
    removeEeproms();
    eeprom(1, other);
    EXPECT_EQ(device::defaultPassword(HwType::OSTRELA), first);
    eeprom(0, "short");
    eeprom(1, "MRVMAIN:M1.00...12346");
    EXPECT_NE(device::defaultPassword(HwType::MIRAVO), first);

    // Type 1: two blocks; one readable file gives none.
    removeEeproms();
    eeprom(4, core);
    EXPECT_EQ(device::defaultPassword(HwType::HALVEC), "");
    eeprom(0, core);
    eeprom(2, carrier);
    std::string halvec = device::defaultPassword(HwType::HALVEC);
    EXPECT_EQ(halvec.size(), device::kPasswordLength);
    EXPECT_EQ(halvec.find_first_not_of(device::passwordAlphabet()), std::string::npos);

    // The carrier board without its fixed string hashes as if it had it.
    eeprom(2, "HLVCARR:B1.03...ABCDE");
    EXPECT_EQ(device::defaultPassword(HwType::HALVEC), halvec);
    // The known-bad revision pair is corrected to the board's real revision.
    eeprom(2, carrier);
    eeprom(0, "HLVCORE:C2.12xyzVTXCB");
    std::string rev212 = device::defaultPassword(HwType::HALVEC);
    EXPECT_NE(rev212, halvec);
    eeprom(0, "HLVCORE:C2.10xyzVTXCB");
    EXPECT_EQ(device::defaultPassword(HwType::HALVEC), rev212);

    EXPECT_EQ(device::defaultPassword(HwType::OTHER), "");
    EXPECT_TRUE(log->has("DEBUG: no secret data"));
    EXPECT_EQ(device::defaultPassword(static_cast<HwType>(7)), "");
    EXPECT_TRUE(log->has("ERROR: invalid hardware type 7"));
    EXPECT_FALSE(log->contains(halvec) || log->contains(first) || log->contains(rev212));
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

// Proxy bypass for a host in a directly attached network. This process moves
// into a network namespace of its own, joined by a veth pair to a second one
// that holds the server; nothing outside them and loopback is contacted.

class NetnsGuard {
public:
    explicit NetnsGuard(const std::string& name) : m_sName(name) {}
    ~NetnsGuard() { runCommand({"ip", "netns", "del", m_sName}); }

private:
    std::string m_sName;
};

TEST_F(IdentityTest, ProxyIsBypassedForAHostInAnAttachedNetwork) {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);
    const std::string ns = "upd15-" + std::to_string(getpid());
    ASSERT_EQ(runCommand({"ip", "netns", "add", ns}).status, 0);
    NetnsGuard guard(ns);
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
    remote.script("/x", Response::ok("remote"));
    TinyProxy proxy;

    NetworkSettings settings;
    settings.m_sProxyServer = "127.0.0.1";
    settings.m_nProxyPort = proxy.port();
    for (bool bypass : {false, true}) {
        settings.m_bProxyBypassLocal = bypass;
        reinitialize(settings);
        remote.clear();
        remote.script("/x", Response::ok("remote"));
        ASSERT_TRUE(get(*fetcher(remote.url()), "/x")) << bypass;
        EXPECT_EQ(readHostFile(target), "remote");
        std::vector<HttpServer::Request> requests = remote.requestsFor("/x");
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].header("Via").find("tinyproxy") != std::string::npos, !bypass);
    }
    EXPECT_TRUE(log->has("DEBUG: using proxy for 10.215.0.2"));
    EXPECT_TRUE(log->has("DEBUG: bypassing proxy since 10.215.0.2 is local"));
}

}  // namespace
