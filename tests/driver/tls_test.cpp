// HTTPS as a site deploys it, in whole runs of the real binary against nginx
// on loopback: the site's own certificate authority, a device certificate for
// mutual TLS, each refusal with its message and nothing installed, the
// proxy's CONNECT, and redirects. The certificates are made here with the
// openssl program; the sandbox's system trust store stays as the host has it
// unless a row puts the site's authority into it.
#include "appliance.h"
#include "harness/command.h"
#include "net/net_test_util.h"

namespace {

// A site authority, another one, and leaf certificates signed by them.
struct Pki {
    ScratchDir dir{"pki"};
    Pki() {
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        const std::string script =
            "set -e\ncd " + dir.path() + "\nfor ca in site other; do openssl req -x509" + ec +
            " -days 30 -subj /CN=$ca-ca -keyout $ca.key -out $ca.crt; done\n"
            "printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index\\nnew_certs_dir=.\\nserial=serial\\n"
            "default_md=sha256\\npolicy=p\\n[p]\\ncommonName=supplied\\n' > ca.cnf\n"
            "touch index; echo 01 > serial\n"
            "leaf() {\n  openssl req" + ec + " -subj /CN=$1 -keyout $1.key -out $1.csr\n"
            "  printf 'basicConstraints=CA:FALSE\\nsubjectAltName=%s\\n' $3 > $1.ext\n"
            "  openssl ca -batch -config ca.cnf -notext -cert $2.crt -keyfile $2.key -extfile "
            "$1.ext -in $1.csr -out $1.crt $4\n}\n"
            "leaf server site IP:127.0.0.1,DNS:localhost '-days 30'\n"
            "leaf wrongname site DNS:updates.example '-days 30'\n"
            "leaf expired site IP:127.0.0.1 '-startdate 20200101000000Z -enddate 20200201000000Z'\n"
            "leaf stranger other IP:127.0.0.1 '-days 30'\n"
            "leaf device site DNS:device-42 '-days 30'\n"
            "leaf outsider other DNS:device-42 '-days 30'\n"
            "openssl pkey -in device.key -aes256 -passout pass:x -out encrypted.key\n";
        CommandResult r = runShell(script);
        if (r.status != 0) {
            ADD_FAILURE() << r.output;
        }
    }
    std::string pem(const std::string& name) const { return readHostFile(dir.file(name)); }
};

const Pki& pki() {
    static const Pki made;
    return made;
}

// The servers of one run, in the order of the Server names.
enum Server { SITE, MUTUAL, WRONG_NAME, EXPIRED, STRANGER, PLAIN };
std::vector<std::string> servers() {
    auto cert = [](const std::string& name) {
        return "ssl_certificate " + pki().dir.file(name + ".crt") + "; ssl_certificate_key " +
               pki().dir.file(name + ".key") + ";";
    };
    return {cert("server") + " rewrite ^/stay/(.*) https://127.0.0.1:@PORT1@/$1;"
                             " rewrite ^/away/(.*) https://localhost:@PORT1@/$1;"
                             " rewrite ^/down/(.*) http://127.0.0.1:@PORT5@/$1;",
            cert("server") + " ssl_verify_client on; ssl_client_certificate " +
                pki().dir.file("site.crt") + ";",
            cert("wrongname"), cert("expired"), cert("stranger"), ""};
}

std::unique_ptr<Nginx> g_nginx;
std::unique_ptr<TinyProxy> g_proxy;

const std::string kSiteCa = "ca-file=\"/etc/updater/site-ca.pem\"";
const std::string kDevice =
    " client-cert=\"/etc/updater/device.crt\" client-key=\"/etc/updater/device.key\"";
const std::string kOutsider =
    " client-cert=\"/etc/updater/outsider.crt\" client-key=\"/etc/updater/outsider.key\"";

struct Serve {
    Server server;
    std::string tls;  // the tls element's attributes; empty: no element
    std::string path = "/";
    bool proxy = false;
    bool siteCaInSystemStore = false;
};

// Before a run: nginx serving the repository (and tinyproxy), the files of
// /etc/updater and the configuration with the repository on that server.
std::function<void(Appliance&)> serve(const Serve& s) {
    return [s](Appliance& a) {
        g_proxy.reset();
        g_nginx = std::make_unique<Nginx>(a.repo.dir(), servers());
        for (const char* name : {"device.crt", "outsider.crt", "encrypted.key"}) {
            a.sandbox.writeFile(std::string("/etc/updater/") + name, pki().pem(name));
        }
        a.sandbox.writeFile("/etc/updater/site-ca.pem", pki().pem("site.crt"));
        a.sandbox.writeFile("/etc/updater/other-ca.pem", pki().pem("other.crt"));
        a.sandbox.writeFile("/etc/updater/device.key", pki().pem("device.key"), 0600);
        a.sandbox.writeFile("/etc/updater/outsider.key", pki().pem("outsider.key"), 0644);
        a.sandbox.writeFile("/etc/updater/damaged.pem",
                            pki().pem("site.crt") + "-----BEGIN CERTIFICATE-----\nnot\n");
        if (s.siteCaInSystemStore) {
            a.sandbox.writeFile("/etc/ssl/certs/ca-certificates.crt", pki().pem("site.crt"));
        }
        if (s.proxy) {
            g_proxy = std::make_unique<TinyProxy>();
            a.sandbox.writeFile("/etc/network/vtxproxy.conf",
                                "<proxyconf><proxy server=\"127.0.0.1\" port=\"" +
                                    std::to_string(g_proxy->port()) +
                                    "\" bypassLocalNetwork=\"off\"/></proxyconf>\n");
        }
        a.sandbox.writeConfig(
            "<updater><log><logger type=\"stderr\"/></log><repository id=\"base\"><name>Site"
            "</name><location href=\"https://127.0.0.1:" +
            std::to_string(g_nginx->port(s.server)) + s.path + "\"/>" +
            (s.tls.empty() ? "" : "<tls " + s.tls + "/>") + "</repository>" + kProduct +
            "</updater>\n");
    };
}

// What a run that was refused leaves: the installed set as it was, no retry.
Scenario& refused(Scenario& s, Lines texts) {
    return s.exits(1).logs(texts, {"retrying", "WARNING: client key"}).rpmsHave({"app-1.0-1"});
}

// Lines of nginx's log for the server; the requests it got.
size_t requestsTo(Server server) {
    const std::string port = std::to_string(g_nginx->port(server)) + " ";
    size_t n = 0;
    for (const std::string& line : splitLines(g_nginx->log())) {
        n += line.rfind(port, 0) == 0;
    }
    return n;
}

void noRequests(Appliance&, const RunResult& r) {
    EXPECT_EQ(requestsTo(SITE) + requestsTo(MUTUAL), 0u) << g_nginx->log() << r.describe();
}

const char* const kCannotParse = "ERROR: failed parsing configuration file '/etc/updater.conf'";
const std::string kHint = "ERROR: make sure 'ca-file' in the repository's 'tls' element names the "
                          "authority that issued the certificate of server '127.0.0.1'";
const std::string kVerify =
    "ERROR: failed fetching 'repodata/repomd.xml' (Server certificate verification failed: ";
const std::string kMissing =
    "ERROR: failed fetching 'repodata/repomd.xml' (400 Bad Request)\nERROR: server '127.0.0.1' asks "
    "for a client certificate: set 'client-cert' and 'client-key' in the repository's 'tls' element";

std::vector<Scenario> rows() {
    Lines updated = {"app-2.0-1"};
    std::vector<Scenario> rows = {
        Scenario("SiteAuthorityWithoutTouchingTheSystemStore")
            .before(serve({SITE, kSiteCa}))
            .rpmsHave(updated),
        Scenario("WithoutTheSiteAuthorityTheHintNamesCaFile")
            .before(serve({SITE, ""}))
            .with([](Scenario& s) { refused(s, {kVerify + "issuer is not trusted)\n" + kHint}); }),
        Scenario("CaFileReplacesTheSystemStoreUnlessSystemCaAddsIt")
            .run({"--check-only"}, 1)
            .before(serve({SITE, "ca-file=\"/etc/updater/other-ca.pem\"", "/", false, true}))
            .logs({kHint})
            .run({"--check-only"})
            .before(serve({SITE, "ca-file=\"/etc/updater/other-ca.pem\" system-ca=\"true\"", "/",
                           false, true})),
        Scenario("DeviceCertificateForMutualTls")
            .before(serve({MUTUAL, kSiteCa + kDevice}))
            .lacks({"WARNING: client key"})
            .rpmsHave(updated),
        Scenario("MutualTlsWithoutCertificate")
            .before(serve({MUTUAL, kSiteCa}))
            .with([](Scenario& s) { refused(s, {kMissing}); }),
        Scenario("MutualTlsWithAnotherAuthoritysCertificate")
            .before(serve({MUTUAL, kSiteCa + kOutsider}))
            .exits(1)
            .logs({"ERROR: server '127.0.0.1' did not accept client certificate "
                   "'/etc/updater/outsider.crt': make sure it is current and issued by an "
                   "authority the server trusts",
                   "WARNING: client key file '/etc/updater/outsider.key' can be read by users "
                   "other than root; make it owned by root with mode 0600"},
                  {"retrying"})
            .rpmsHave({"app-1.0-1"}),
        Scenario("WrongHostName")
            .before(serve({WRONG_NAME, kSiteCa}))
            .with([](Scenario& s) {
                refused(s, {kVerify + "certificate issued for a different hostname)\nERROR: make "
                                      "sure server '127.0.0.1' is reached by a host name its "
                                      "certificate was issued for"});
            }),
        Scenario("ExpiredCertificate")
            .before(serve({EXPIRED, kSiteCa}))
            .with([](Scenario& s) {
                refused(s, {kVerify + "certificate has expired)\nERROR: make sure the clock of the "
                                      "unit is right and server '127.0.0.1' has a current "
                                      "certificate"});
            }),
        Scenario("AnotherAuthoritysServer")
            .before(serve({STRANGER, kSiteCa}))
            .with([](Scenario& s) { refused(s, {kVerify + "issuer is not trusted)\n" + kHint}); }),
        Scenario("MutualTlsThroughTheProxy")
            .run({}, 1)
            .before(serve({MUTUAL, kSiteCa, "/", true}))
            .logs({kMissing})
            .run()
            .before(serve({MUTUAL, kSiteCa + kDevice, "/", true}))
            .rpmsHave(updated)
            .check([](Appliance&, const RunResult&) {
                EXPECT_NE(g_proxy->log().find("CONNECT 127.0.0.1:" +
                                              std::to_string(g_nginx->port(MUTUAL))),
                          std::string::npos)
                    << g_proxy->log();
            }),
        // A redirect on the same host keeps the settings; another host gets
        // neither the authority nor the device's certificate.
        Scenario("RedirectOnTheSameHostKeepsTheSettings")
            .before(serve({SITE, kSiteCa + kDevice, "/stay/"}))
            .rpmsHave(updated),
        Scenario("RedirectToAnotherHost")
            .run({"--check-only"}, 1)
            .before(serve({SITE, kSiteCa + kDevice, "/away/"}))
            .logs({"ERROR: server 'localhost' is not the repository's own host: only the system's "
                   "certificate authorities are trusted for it"})
            .run({"--check-only"}, 1)
            .before(serve({SITE, kSiteCa + kDevice, "/away/", false, true}))
            .logs({"ERROR: server 'localhost' asks for a client certificate, which only the "
                   "repository's own host gets"})
            .check([](Appliance&, const RunResult&) {
                EXPECT_NE(g_nginx->log().find(" 400 /repodata/repomd.xml \"-\""), std::string::npos)
                    << g_nginx->log();
            }),
        Scenario("RedirectFromHttpsToHttpIsRefused")
            .before(serve({SITE, kSiteCa, "/down/"}))
            .with([](Scenario& s) {
                refused(s, {"ERROR: refusing redirection from https to plain http "
                            "'http://127.0.0.1:"});
            })
            .check([](Appliance&, const RunResult&) { EXPECT_EQ(requestsTo(PLAIN), 0u); }),
    };
    // Unusable files: one error each, before any connection.
    const std::pair<std::string, std::string> files[] = {
        {"ca-file=\"/etc/updater/none.pem\"",
         "ERROR: cannot read CA certificate file '/etc/updater/none.pem' set by 'ca-file' (No "
         "such file or directory)"},
        {"ca-file=\"/etc/updater\"", "set by 'ca-file' (Is a directory)"},
        {"ca-file=\"/etc/updater/device.key\"",
         "ERROR: CA certificate file '/etc/updater/device.key' set by 'ca-file' is not a valid PEM "
         "certificate file"},
        {"ca-file=\"/etc/updater/damaged.pem\"", "'/etc/updater/damaged.pem' set by 'ca-file' is"},
        {kSiteCa + " client-cert=\"/etc/updater/none.crt\" client-key=\"/etc/updater/device.key\"",
         "ERROR: cannot read client certificate file '/etc/updater/none.crt' set by 'client-cert'"},
        {kSiteCa + " client-cert=\"/etc/updater/device.key\" client-key=\"/etc/updater/device."
                   "key\"",
         "ERROR: client certificate file '/etc/updater/device.key' set by 'client-cert' is not "
         "a valid PEM certificate file"},
        {kSiteCa + " client-cert=\"/etc/updater/device.crt\" client-key=\"/etc/updater/none.key\"",
         "ERROR: cannot read client key file '/etc/updater/none.key' set by 'client-key'"},
        {kSiteCa + " client-cert=\"/etc/updater/device.crt\" client-key=\"/etc/updater/"
                   "encrypted.key\"",
         "ERROR: client key file '/etc/updater/encrypted.key' set by 'client-key' is not an "
         "unencrypted PEM private key"},
        {kSiteCa + " client-cert=\"/etc/updater/device.crt\" client-key=\"/etc/updater/device."
                   "crt\"",
         "set by 'client-key' is not an unencrypted PEM private key"},
        {kSiteCa + " client-cert=\"/etc/updater/device.crt\" client-key=\"/etc/updater/outsider."
                   "key\"",
         "ERROR: client key file '/etc/updater/outsider.key' does not match client certificate "
         "file '/etc/updater/device.crt'"},
        {kSiteCa + " client-cert=\"/etc/updater/device.crt\"",
         "ERROR: repository 'base' needs both 'client-cert' and 'client-key', or neither\n" +
             std::string(kCannotParse)},
    };
    Scenario broken("UnusableFilesFailBeforeAnyConnection");
    for (const auto& f : files) {
        broken.run({}, 1).before(serve({MUTUAL, f.first})).check(noRequests).with([&](Scenario& s) {
            refused(s, {f.second});
        });
    }
    rows.push_back(broken);
    return rows;
}

SCENARIOS(Tls, rows());

}  // namespace
