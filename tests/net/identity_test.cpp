// Network identity against real servers: the proxy file, the credentials
// file and neon's Basic and Digest exchanges, the device identity from a
// processor information file and EEPROM data files, and the proxy bypass for
// a host in a directly attached network of a namespace the test makes. The
// whole binary runs in one sandbox: it writes /etc and mounts over
// /proc/cpuinfo and /sys/bus there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

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
                  const char* realm = nullptr) {
    std::string xml = "  <creditentials xlink:href=\"" + href + "\" username=\"" + user +
                      "\" password=\"" + password + "\"";
    if (realm != nullptr) {
        xml += " realm=\"" + std::string(realm) + "\"";
    }
    return xml + "/>\n";
}

class IdentityTest : public ServedTest {
protected:
    void SetUp() override {
        ServedTest::SetUp();
        makeDirs("/etc/cardela");
        makeDirs("/etc/vantorix");
    }
    void TearDown() override {
        unlink(kCredentials);
        unlink(kIdentifiers);
        ServedTest::TearDown();
    }

    // The user names the server saw for the path, in order ("" without one).
    std::vector<std::string> usersSeen(const std::string& path) {
        std::vector<std::string> users;
        for (const HttpServer::Request& r : server.requestsFor(path)) {
            users.push_back(r.authUser());
        }
        return users;
    }
};

// ---------------------------------------------------------------------------
// Proxy file

TEST_F(IdentityTest, ProxyFileFillsTheProxySettingsAndNeverFails) {
    struct Case {
        const char* body;  // inside <proxyconf>
        const char* server;
        uint32_t port;
        bool bypass;
        const char* user;
        const char* message;  // a log line the case must produce, or ""
    } cases[] = {
        {"<proxy server='p' port='3128' username='u' password='pw'/>", "p", 3128, true, "u",
         "DEBUG: configured proxy 'p' port 3128 bypass 1"},
        {"<proxy server='p' port='65534'/>", "p", 65534, true, "", ""},
        {"<proxy server='p' port='65535'/>", "", 0, true, "", "ERROR: invalid port number '65535'"},
        {"<proxy server='p' port='80x'/>", "", 0, true, "", "ERROR: invalid port number '80x'"},
        {"<proxy server='p' port='-1'/>", "", 0, true, "", "ERROR: invalid port number '-1'"},
        {"<proxy server='p' port=' +0'/>", "p", 0, true, "", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='no'/>", "p", 1, true, "", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='off'/>", "p", 1, false, "", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='false'/>", "p", 1, false, "", ""},
        {"<proxy server='p' port='1' bypassLocalNetwork='FALSE'/>", "p", 1, true, "", ""},
        {"<proxy port='1'/>", "", 0, true, "", "ERROR: no 'server' attribute in 'proxy' element"},
        {"<proxy server='p' port=''/>", "", 0, true, "",
         "ERROR: no 'port' attribute in 'proxy' element"},
        // The second element replaces the first, credentials included.
        {"<proxy server='a' port='1' username='u' password='pw' bypassLocalNetwork='off'/>"
         "<x><proxy server='b' port='2'/></x>",
         "b", 2, true, "",
         "WARNING: multiple proxy servers in configuration file, using last occurence"},
        // A refused second element leaves the first one's values.
        {"<proxy server='a' port='1' username='u'/><proxy server='b' port='99999'/>", "a", 1, true,
         "u", "ERROR: invalid port number '99999'"},
    };
    std::string path = scratch.file("vtxproxy.conf");
    for (const Case& c : cases) {
        log->clear();
        writeHostFile(path, std::string("<proxyconf>") + c.body + "</proxyconf>\n");
        NetworkSettings network;
        loadProxyFile(path, network);
        EXPECT_EQ(network.m_sProxyServer, c.server) << c.body;
        EXPECT_EQ(network.m_nProxyPort, c.port) << c.body;
        EXPECT_EQ(network.m_bProxyBypassLocal, c.bypass) << c.body;
        EXPECT_EQ(network.m_sProxyUser, c.user) << c.body;
        if (*c.message != '\0') {
            EXPECT_TRUE(log->has(c.message)) << c.body << "\n";
        }
        EXPECT_FALSE(log->contains("pw'") || log->contains("'pw"));
    }

    NetworkSettings network;
    loadProxyFile(scratch.file("missing"), network);
    EXPECT_TRUE(log->has("DEBUG: no proxy configuration file '" + scratch.file("missing") + "'"));
}

// ---------------------------------------------------------------------------
// Credentials file and matching rules

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
    struct Case {
        const char* server;
        std::vector<std::string> users;
    } cases[] = {
        {"https://h.test/", {"a"}}, {"https://h.test:443/", {"a"}}, {"https://h.test:8443/", {"b"}},
        {"http://h.test/", {"c"}},  {"http://h.test:8080/", {"d"}}, {"http://other.test:8080/", {}},
    };
    for (const Case& c : cases) {
        ParsedUri uri;
        ASSERT_TRUE(uri.parse(c.server));
        CredentialStore store(uri.get());
        ASSERT_TRUE(store.loadFile(kCredentials));
        std::vector<std::string> users;
        while (const Credential* found = store.nextMatch("R", "/dir/x/y")) {
            users.push_back(found->m_sUser);
        }
        EXPECT_EQ(users, c.users) << c.server;
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
    struct Case {
        const char* realm;
        const char* path;
        std::vector<std::string> users;
    } cases[] = {
        {"R", "/dir/file", {"dir-R", "root"}},
        {"r", "/dir/file", {"root"}},  // realms compare case-sensitively
        {"R", "/dir/", {"root"}},      // not the entry's own path
        {"R", "/dir", {"root"}},
        {"R", "/dirx/file", {"root"}},
        {"", "/other", {"root"}},
    };
    for (const Case& c : cases) {
        store.rewind();
        std::vector<std::string> users;
        while (const Credential* found = store.nextMatch(c.realm, c.path)) {
            users.push_back(found->m_sUser);
        }
        EXPECT_EQ(users, c.users) << c.realm << " " << c.path;
    }
}

// ---------------------------------------------------------------------------
// Server authentication over the wire

TEST_F(IdentityTest, BasicGetsConfiguredEntriesInOrderButNeverTheDefault) {
    std::string base = server.url("/");
    writeHostFile(kCredentials, credentialsFile(entry(base, "first", "pw-1") +
                                                entry(base + "repo/", "second", "pw-2", "upd") +
                                                entry(base, "third", "pw-3", "elsewhere")));
    URLFetcher::defaultCredentials().add({"/", "", "device-user", "device-pw"});
    server.script("/repo/x", Response::ok("x"));

    server.requireAuth("/repo/", "Basic", "upd", {{"nobody", "none"}});
    ASSERT_FALSE(get(*fetcher(base), "/repo/x"));
    EXPECT_EQ(usersSeen("/repo/x"), (std::vector<std::string>{"", "first", "second"}));
    EXPECT_TRUE(log->has("ERROR: failed fetching 'item' (authentication failed on server)"));
    EXPECT_TRUE(log->has("DEBUG: trying user authentication for 'second' in attempt 1"));

    server.clear();
    server.script("/repo/x", Response::ok("x"));
    server.requireAuth("/repo/", "Basic", "upd", {{"second", "pw-2"}});
    ASSERT_TRUE(get(*fetcher(base), "/repo/x"));
    EXPECT_EQ(readHostFile(target), "x");
    EXPECT_EQ(usersSeen("/repo/x"), (std::vector<std::string>{"", "first", "second"}));

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
    EXPECT_FALSE(log->contains("pw-")) << "a password reached the log";
}

TEST_F(IdentityTest, DigestTriesTheDefaultCredentialsLastAndThenGivesUp) {
    std::string base = server.url("/");
    writeHostFile(kCredentials, credentialsFile(entry(base, "site", "site-pw")));
    URLFetcher::defaultCredentials().add({"/", "", "player-3.1", "device-pw"});
    server.script("/x", Response::ok("x"));
    server.requireAuth("/", "Digest", "vtx", {{"other", "other"}});
    ASSERT_FALSE(get(*fetcher(base), "/x"));
    EXPECT_EQ(usersSeen("/x"), (std::vector<std::string>{"", "site", "player-3.1"}));
    EXPECT_TRUE(
        log->has("DEBUG: trying default user authentication for 'player-3.1' in attempt 1"));
    EXPECT_TRUE(log->has("ERROR: failed fetching 'item' (authentication failed on server)"));
    EXPECT_FALSE(log->contains("device-pw") || log->contains("site-pw"));
}

// ---------------------------------------------------------------------------
// Device identity

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
    EXPECT_TRUE(
        log->contains("DEBUG: failed opening secret data file "
                      "'/sys/bus/i2c/drivers/Halvec-EEPROM/0-0050/data': No such file"));
    eeprom(0, "short");
    eeprom(1, "MRVMAIN:M1.00...12346");
    EXPECT_NE(device::defaultPassword(HwType::MIRAVO), first);
    EXPECT_TRUE(
        log->has("DEBUG: failed reading data from "
                 "'/sys/bus/i2c/drivers/Halvec-EEPROM/0-0050/data'"));

    // Type 1: two blocks; one readable file gives none.
    removeEeproms();
    eeprom(4, core);
    log->clear();
    EXPECT_EQ(device::defaultPassword(HwType::HALVEC), "");
    EXPECT_TRUE(log->has("DEBUG: failed reading secret data"));
    eeprom(0, core);
    eeprom(2, carrier);
    std::string halvec = device::defaultPassword(HwType::HALVEC);
    EXPECT_EQ(halvec.size(), device::kPasswordLength);
    EXPECT_EQ(halvec.find_first_not_of(device::passwordAlphabet()), std::string::npos);
    EXPECT_FALSE(log->contains("workaround"));

    // The carrier board without its fixed string hashes as if it had it.
    eeprom(2, "HLVCARR:B1.03...ABCDE");
    EXPECT_EQ(device::defaultPassword(HwType::HALVEC), halvec);
    EXPECT_TRUE(
        log->has("TRACE: bad carrier EEPROM data, using workaround for missing fixed string"));
    // The known-bad revision pair is corrected to the board's real revision.
    eeprom(2, carrier);
    std::string fixedCore = "HLVCORE:C2.12xyzVTXCB";
    eeprom(0, fixedCore);
    std::string rev212 = device::defaultPassword(HwType::HALVEC);
    eeprom(0, "HLVCORE:C2.10xyzVTXCB");
    EXPECT_EQ(device::defaultPassword(HwType::HALVEC), rev212);
    EXPECT_TRUE(log->has("TRACE: bad core EEPROM data, using workaround for HW rev 2.12"));

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

// ---------------------------------------------------------------------------
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
    for (const std::string& command : std::vector<std::string>{
             "ip link set lo up", "ip link add upd15c type veth peer name upd15s netns " + ns,
             "ip addr add 10.215.0.1/24 dev upd15c", std::string("ip link set upd15c up"),
             "ip -n " + ns + " addr add 10.215.0.2/24 dev upd15s",
             "ip -n " + ns + " link set upd15s up", "ip -n " + ns + " link set lo up"}) {
        CommandResult r = runShell(command);
        ASSERT_EQ(r.status, 0) << command << ": " << r.output;
    }
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
        bool viaProxy = requests[0].header("Via").find("tinyproxy") != std::string::npos;
        EXPECT_EQ(viaProxy, !bypass);
    }
    EXPECT_TRUE(log->has("DEBUG: using proxy for 10.215.0.2"));
    EXPECT_TRUE(log->has("DEBUG: bypassing proxy since 10.215.0.2 is local"));
}

}  // namespace
