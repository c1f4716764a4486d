// The device's network identity in whole runs of the real binary: identity
// headers from the processor information, identifiers and os-release files,
// Digest with the default credentials made from EEPROM data, a proxy with
// credentials from the proxy file, and no password in any log output.
#include <openssl/evp.h>

#include "appliance.h"
#include "net/device_identity.h"
#include "net/net_test_util.h"

namespace {

const char* kProduct =
    "  <product><name>player-4k</name><packages>\n"
    "    <release><package><name>player-release</name></package></release>\n"
    "  </packages></product>\n";

// EEPROM data of a Miravo board: the first 21 bytes are its secret data.
const std::string kEeprom = "MRVMAIN:M3.10...A1B2C3-tail";

// The password the device must make from kEeprom: the low 6 bits of the
// first 12 bytes of the data's MD5 digest, each picking a character.
std::string expectedPassword() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(kEeprom.data(), 21, digest, &length, EVP_md5(), nullptr);
    std::string password;
    for (int i = 0; i < 12; ++i) {
        password += device::passwordAlphabet()[digest[i] & 0x3f];
    }
    return password;
}

std::string proxyFile(uint16_t port, const std::string& password,
                      const std::string& root = "proxyconf") {
    return "<?xml version=\"1.0\"?>\n<" + root + ">\n  <proxy server=\"127.0.0.1\" port=\"" +
           std::to_string(port) +
           "\" bypassLocalNetwork=\"off\"\n"
           "         username=\"proxyuser\" password=\"" +
           password + "\"/>\n</" + root + ">\n";
}

class NetworkIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        a.install({TestPackage("updater", "1.17-1"), TestPackage("player-release", "4.0-1")});
        a.repo.add({TestPackage("player-release", "4.1-1"), TestPackage("updater", "1.17-1")});
        a.publish();
        a.writeHook();
        a.writeDeviceInstaller();
        a.sandbox.writeFile("/etc/os-release", "NAME=Player\nVERSION_ID=4.0.1\n");
    }

    void configure(const std::string& level) {
        a.sandbox.writeConfig("<?xml version=\"1.0\"?>\n<updater>\n  <log level=\"" + level +
                              "\"><logger type=\"stderr\"/><logger type=\"syslog\">"
                              "<facility>daemon</facility></logger></log>\n"
                              "  <repository id=\"base\"><name>Updates</name><location href=\"" +
                              a.repoUrl() + "\"/></repository>\n" + kProduct +
                              "  <user-agent><base>PlayerUpdater</base><prodname>player-4k"
                              "</prodname></user-agent>\n</updater>\n");
    }

    Appliance a;
};

TEST_F(NetworkIdentity, RequestsCarryTheIdentityAndDigestGetsTheDefaultCredentials) {
    const std::string password = expectedPassword();
    const std::string sitePassword = "site-secret-1";
    const std::string proxyPassword = "proxy-secret-2";
    TinyProxy proxy("BasicAuth proxyuser " + proxyPassword + "\n");
    configure("trace");
    a.sandbox.writeFile("/etc/network/vtxproxy.conf", proxyFile(proxy.port(), proxyPassword));
    a.sandbox.writeFile("/etc/cardela/vtxpasswd.xml",
                        "<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n"
                        "  <creditentials xlink:href=\"" +
                            a.repoUrl() + "\" username=\"site-user\" password=\"" + sitePassword +
                            "\"/>\n</credits>\n");
    // No Serial line: the identifiers file gives the serial number.
    writeHostFile(a.work.file("cpuinfo"), "processor\t: 0\nHardware\t: Miravo\nRevision\t: 3.1\n");
    a.sandbox.writeFile("/etc/vantorix/identifiers", "VTX_SN =\"not-this\"\nVTX_SN=\"SN-0042\"\n");
    const std::string eeprom = a.work.file("sysbus/i2c/drivers/vtx-eeprom/1-001e");
    makeDirs(eeprom);
    writeHostFile(eeprom + "/data", kEeprom);
    a.server->requireAuth("/", "Digest", "vtx-updates", {{"player-4k-3.1", password}});

    RunOptions options;
    options.binds = {a.work.file("cpuinfo") + "=/proc/cpuinfo",
                     a.work.file("sysbus") + "=/sys/bus"};
    RunResult r = a.update({"--check-only", "--log-to", "/var/log/trace.log"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- 1 UPDATE(S) ---")) << r.describe();

    std::vector<HttpServer::Request> requests = a.server->requests();
    ASSERT_GE(requests.size(), 3u);
    int accepted = 0;
    for (const HttpServer::Request& request : requests) {
        EXPECT_EQ(request.header("X-vantorix-serial"), "SN-0042") << request.target;
        EXPECT_EQ(request.header("X-vantorix-firmware"), "4.0.1") << request.target;
        // Through the proxy, with the proxy credentials (tinyproxy checks them).
        EXPECT_NE(request.header("Via").find("tinyproxy"), std::string::npos) << request.target;
        accepted += request.authUser() == "player-4k-3.1" ? 1 : 0;
    }
    EXPECT_GE(accepted, 2);
    EXPECT_EQ(requests[1].authUser(), "site-user");  // configured entries come first
    EXPECT_EQ(requests[2].authUser(), "player-4k-3.1");

    // No password of any source in any log output.
    std::vector<std::string> outputs = {r.out, r.err, a.sandbox.readFile("/var/log/trace.log"),
                                        a.sandbox.readFile("/var/log/updater/lastlog")};
    std::string syslog;
    for (const SyslogRecord& record : r.syslog) {
        syslog += record.text + "\n";
    }
    outputs.push_back(syslog);
    ASSERT_NE(outputs[2].find("TRACE: evaluating credentials URI"), std::string::npos);
    ASSERT_NE(syslog.find("evaluating credentials URI"), std::string::npos);
    for (const std::string& output : outputs) {
        for (const std::string& secret : {password, sitePassword, proxyPassword}) {
            EXPECT_EQ(output.find(secret), std::string::npos) << secret << " in:\n" << output;
        }
    }
}

TEST_F(NetworkIdentity, ARejectedProxyPasswordEndsTheRunAndABrokenProxyFileIsIgnored) {
    configure("debug");
    HttpServer strictProxy;
    strictProxy.requireProxyAuth("proxy", {{"proxyuser", "right-pw"}});
    a.sandbox.writeFile("/etc/network/vtxproxy.conf", proxyFile(strictProxy.port(), "wrong-pw"));
    RunResult r = a.update({"--check-only"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(r.errHas("ERROR: proxy authentication as user 'proxyuser' failed\n"));
    EXPECT_TRUE(
        r.errHas("(authentication failed on proxy)\nERROR: make sure the proper username "
                 "and password are configured in the proxy settings\n"))
        << r.describe();
    EXPECT_EQ(strictProxy.requests().size(), 2u);  // one challenge, one refused try
    EXPECT_TRUE(a.server->requests().empty());

    // A proxy file with the wrong root configures no proxy; the run goes on.
    a.sandbox.writeFile("/etc/network/vtxproxy.conf",
                        proxyFile(strictProxy.port(), "wrong-pw", "proxies"));
    RunResult direct = a.update({"--check-only"});
    EXPECT_EQ(direct.exitCode, 0) << direct.describe();
    EXPECT_TRUE(direct.errHas("ERROR: bad top-level element, 'proxies' instead of 'proxyconf'\n"));
    EXPECT_FALSE(direct.errHas("using HTTP proxy"));
    EXPECT_EQ(strictProxy.requests().size(), 2u);
    EXPECT_FALSE(a.server->requests().empty());
}

}  // namespace
