// The device's network identity in whole runs of the real binary: identity
// headers from the processor information, identifiers and os-release files,
// Digest with the default credentials made from EEPROM data, a proxy with
// credentials from the proxy file, and no password in any log output.
#include "appliance.h"
#include "net/net_test_util.h"

namespace {

std::string proxyFile(uint16_t port, const std::string& password, const char* root = "proxyconf") {
    return "<?xml version=\"1.0\"?>\n<" + std::string(root) +
           "><proxy server=\"127.0.0.1\" port=\"" + std::to_string(port) +
           "\" bypassLocalNetwork=\"off\" username=\"proxyuser\" password=\"" + password +
           "\"/></" + root + ">\n";
}

class NetworkIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        a.install({TestPackage("updater", "1.17-1"), TestPackage("player-release", "4.0-1")});
        a.repo.add({TestPackage("player-release", "4.1-1"), TestPackage("updater", "1.17-1")});
        a.publish();
        a.writeHook();
        a.sandbox.writeFile("/etc/os-release", "NAME=Player\nVERSION_ID=4.0.1\n");
        a.sandbox.writeConfig(
            "<updater><log level=\"trace\"><logger type=\"stderr\"/><logger type=\"syslog\">"
            "<facility>daemon</facility></logger></log><repository id=\"base\"><name>U</name>"
            "<location href=\"" +
            a.repoUrl() +
            "\"/></repository><product><name>player-4k</name><packages><release><package><name>"
            "player-release</name></package></release></packages></product><user-agent><base>"
            "PlayerUpdater</base><prodname>player-4k</prodname></user-agent></updater>\n");
    }
    Appliance a;
};

TEST_F(NetworkIdentity, RequestsCarryTheIdentityAndDigestGetsTheDefaultCredentials) {
    // The MD5 digest of the EEPROM's first 21 bytes, its first 12 bytes' low
    // 6 bits each picking one of [a-zA-Z0-9-_].
    const std::string password = "mkfUcXIBInfI", site = "site-secret-1", proxy = "proxy-secret-2";
    TinyProxy tiny("BasicAuth proxyuser " + proxy + "\n");
    a.sandbox.writeFile("/etc/network/vtxproxy.conf", proxyFile(tiny.port(), proxy));
    a.sandbox.writeFile("/etc/cardela/vtxpasswd.xml",
                        "<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\"><creditentials "
                        "xlink:href=\"" +
                            a.repoUrl() + "\" username=\"site-user\" password=\"" + site +
                            "\"/></credits>\n");
    // No Serial line: the identifiers file gives the serial number.
    writeHostFile(a.work.file("cpuinfo"), "processor\t: 0\nHardware\t: Miravo\nRevision\t: 3.1\n");
    a.sandbox.writeFile("/etc/vantorix/identifiers", "VTX_SN =\"not-this\"\nVTX_SN=\"SN-0042\"\n");
    const std::string eeprom = a.work.file("sysbus/i2c/drivers/vtx-eeprom/1-001e");
    makeDirs(eeprom);
    writeHostFile(eeprom + "/data", "MRVMAIN:M3.10...A1B2C3-tail");
    a.server->requireAuth("/", "Digest", "vtx-updates", {{"player-4k-3.1", password}});
    RunOptions options;
    options.binds = {a.work.file("cpuinfo") + "=/proc/cpuinfo",
                     a.work.file("sysbus") + "=/sys/bus"};
    RunResult r = a.update({"--check-only", "--log-to", "/var/log/trace.log"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- 1 UPDATE(S) ---")) << r.describe();

    const std::vector<HttpServer::Request> requests = a.server->requests();
    ASSERT_GE(requests.size(), 3u);
    for (const HttpServer::Request& request : requests) {
        EXPECT_EQ(request.header("X-vantorix-serial"), "SN-0042") << request.target;
        EXPECT_EQ(request.header("X-vantorix-firmware"), "4.0.1") << request.target;
        // Through the proxy, with the proxy credentials (tinyproxy checks them).
        EXPECT_NE(request.header("Via").find("tinyproxy"), std::string::npos) << request.target;
    }
    EXPECT_EQ(requests[1].authUser(), "site-user");  // configured entries come first
    EXPECT_EQ(requests[2].authUser(), "player-4k-3.1");
    EXPECT_EQ(requests.back().authUser(), "player-4k-3.1");

    // No password of any source in any log output.
    std::string syslog;
    for (const SyslogRecord& record : r.syslog) {
        syslog += record.text + "\n";
    }
    const std::string logs = r.out + r.err + a.sandbox.readFile("/var/log/trace.log") +
                             a.sandbox.readFile("/var/log/updater/lastlog") + syslog;
    // Every output got the lines of the credential look-up.
    ASSERT_NE(a.sandbox.readFile("/var/log/trace.log").find("TRACE: evaluating credentials URI"),
              std::string::npos);
    ASSERT_NE(syslog.find("evaluating credentials URI"), std::string::npos);
    for (const std::string& secret : {password, site, proxy}) {
        EXPECT_EQ(logs.find(secret), std::string::npos) << secret << " in:\n" << logs;
    }
}

TEST_F(NetworkIdentity, ARejectedProxyPasswordEndsTheRunAndABrokenProxyFileIsIgnored) {
    HttpServer strict;
    strict.requireProxyAuth("proxy", {{"proxyuser", "right-pw"}});
    a.sandbox.writeFile("/etc/network/vtxproxy.conf", proxyFile(strict.port(), "wrong-pw"));
    RunResult r = a.update({"--check-only"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(r.errHas("ERROR: proxy authentication as user 'proxyuser' failed\n"));
    EXPECT_TRUE(
        r.errHas("(authentication failed on proxy)\nERROR: make sure the proper username "
                 "and password are configured in the proxy settings\n"))
        << r.describe();
    EXPECT_EQ(strict.requests().size(), 2u);  // one challenge, one refused try
    EXPECT_TRUE(a.server->requests().empty());

    // A proxy file with the wrong root configures no proxy; the run goes on.
    a.sandbox.writeFile("/etc/network/vtxproxy.conf", proxyFile(strict.port(), "x", "proxies"));
    RunResult direct = a.update({"--check-only"});
    EXPECT_EQ(direct.exitCode, 0) << direct.describe();
    EXPECT_TRUE(direct.errHas("ERROR: bad top-level element, 'proxies' instead of 'proxyconf'\n"));
    EXPECT_FALSE(direct.errHas("using HTTP proxy"));
    EXPECT_EQ(strict.requests().size(), 2u);
    EXPECT_FALSE(a.server->requests().empty());
}

}  // namespace
