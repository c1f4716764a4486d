// HTTPS as a site deploys it, in whole runs of the real binary against nginx
// on loopback: the site's own certificate authority, a device certificate for
// mutual TLS, each refusal with its message and nothing installed, the
// proxy's CONNECT, and redirects. The certificates are made here with the
// openssl program; the sandbox's system trust store stays as the host has it
// unless a row puts the site's authority into it.
#include <algorithm>

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
            "printf "
            "'[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index\\nnew_certs_dir=.\\nserial=serial\\n"
            "default_md=sha256\\npolicy=p\\n[p]\\ncommonName=supplied\\n' > ca.cnf\n"
            "touch index; echo 01 > serial\n"
            "leaf() {\n  openssl req" +
            ec +
            " -subj /CN=$1 -keyout $1.key -out $1.csr\n"
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
    return {cert("server") +
                " rewrite ^/stay/(.*) https://127.0.0.1:@PORT1@/$1;"
                " rewrite ^/away/(.*) https://localhost:@PORT1@/$1;"
                " rewrite ^/down/(.*) http://127.0.0.1:@PORT5@/$1;",
            cert("server") + " ssl_verify_client on; ssl_client_certificate " +
                pki().dir.file("site.crt") + ";",
            cert("wrongname"),
            cert("expired"),
            cert("stranger"),
            ""};
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

// A full update from the server; one refused with the text, leaving the
// installed set as it was, without a retry.
Scenario update(Scenario s, const Serve& on) {
    s.run().before(serve(on)).rpmsHave({"app-2.0-1"});
    return s;
}
Scenario refusal(Scenario s, const Serve& on, const std::string& text) {
    s.run({}, 1).before(serve(on)).logs({text}, {"retrying"}).rpmsHave({"app-1.0-1"});
    return s;
}

// The requests nginx logged for the server.
size_t requestsTo(Server server) {
    const Lines log = splitLines(g_nginx->log());
    const std::string port = std::to_string(g_nginx->port(server)) + " ";
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& line) { return line.rfind(port, 0) == 0; });
}

const std::string kVerify =
    "ERROR: failed fetching 'repodata/repomd.xml' (Server certificate verification failed: ";
const std::string kUntrusted =
    kVerify +
    "issuer is not trusted)\nERROR: make sure 'ca-file' in the repository's 'tls' "
    "element names the authority that issued the certificate of server '127.0.0.1'";
const std::string kMissing =
    "ERROR: failed fetching 'repodata/repomd.xml' (400 Bad Request)\nERROR: server '127.0.0.1' "
    "asks "
    "for a client certificate: set 'client-cert' and 'client-key' in the repository's 'tls' "
    "element";
const std::string kOtherCa = "ca-file=\"/etc/updater/other-ca.pem\"";

std::vector<Scenario> rows() {
    std::vector<Scenario> rows = {
        update(Scenario("SiteAuthorityWithoutTouchingTheSystemStore"), {SITE, kSiteCa}),
        refusal(Scenario("WithoutTheSiteAuthorityTheHintNamesCaFile"), {SITE, ""}, kUntrusted),
        update(refusal(Scenario("CaFileReplacesTheSystemStoreUnlessSystemCaAddsIt"),
                       {SITE, kOtherCa, "/", false, true}, kUntrusted),
               {SITE, kOtherCa + " system-ca=\"true\"", "/", false, true}),
        update(Scenario("DeviceCertificateForMutualTls"), {MUTUAL, kSiteCa + kDevice})
            .lacks({"WARNING: client key"}),
        refusal(Scenario("MutualTlsWithoutCertificate"), {MUTUAL, kSiteCa}, kMissing),
        refusal(Scenario("MutualTlsWithAnotherAuthoritysCertificate"),
                {MUTUAL, kSiteCa + kOutsider},
                "ERROR: server '127.0.0.1' did not accept client certificate '/etc/updater/"
                "outsider.crt': make sure it is current and issued by an authority the server "
                "trusts")
            .logs(
                {"WARNING: client key file '/etc/updater/outsider.key' can be read by users other "
                 "than root; make it owned by root with mode 0600"}),
        refusal(Scenario("WrongHostName"), {WRONG_NAME, kSiteCa},
                kVerify + "certificate issued for a different hostname)\nERROR: make sure server "
                          "'127.0.0.1' is reached by a host name its certificate was issued for"),
        refusal(Scenario("ExpiredCertificate"), {EXPIRED, kSiteCa},
                kVerify + "certificate has expired)\nERROR: make sure the clock of the unit is "
                          "right and server '127.0.0.1' has a current certificate"),
        refusal(Scenario("AnotherAuthoritysServer"), {STRANGER, kSiteCa}, kUntrusted),
        update(
            refusal(Scenario("MutualTlsThroughTheProxy"), {MUTUAL, kSiteCa, "/", true}, kMissing),
            {MUTUAL, kSiteCa + kDevice, "/", true})
            .check([](Appliance&, const RunResult&) {
                const std::string connect =
                    "CONNECT 127.0.0.1:" + std::to_string(g_nginx->port(MUTUAL));
                EXPECT_NE(g_proxy->log().find(connect), std::string::npos) << g_proxy->log();
            }),
        // A redirect on the same host keeps the settings; another host gets
        // neither the authority nor the device's certificate.
        update(Scenario("RedirectOnTheSameHostKeepsTheSettings"),
               {SITE, kSiteCa + kDevice, "/stay/"}),
        refusal(refusal(Scenario("RedirectToAnotherHost"), {SITE, kSiteCa + kDevice, "/away/"},
                        "ERROR: server 'localhost' is not the repository's own host: only the "
                        "system's certificate authorities are trusted for it"),
                {SITE, kSiteCa + kDevice, "/away/", false, true},
                "ERROR: server 'localhost' asks for a client certificate, which only the "
                "repository's own host gets")
            .check([](Appliance&, const RunResult&) {
                EXPECT_NE(g_nginx->log().find(" 400 /repodata/repomd.xml \"-\""), std::string::npos)
                    << g_nginx->log();
            }),
        refusal(Scenario("RedirectFromHttpsToHttpIsRefused"), {SITE, kSiteCa, "/down/"},
                "ERROR: refusing redirection from https to plain http 'http://127.0.0.1:")
            .check([](Appliance&, const RunResult&) { EXPECT_EQ(requestsTo(PLAIN), 0u); }),
    };
    // Unusable files: one error each, before any connection.
    const std::string cert = kSiteCa + " client-cert=\"/etc/updater/";
    const std::string key = ".crt\" client-key=\"/etc/updater/";
    const std::pair<std::string, std::string> files[] = {
        {"ca-file=\"/etc/updater/none.pem\"",
         "ERROR: cannot read CA certificate file '/etc/updater/none.pem' set by 'ca-file' (No "
         "such file or directory)"},
        {"ca-file=\"/etc/updater\"", "set by 'ca-file' (Is a directory)"},
        {"ca-file=\"/etc/updater/damaged.pem\"",
         "ERROR: CA certificate file '/etc/updater/damaged.pem' set by 'ca-file' is not a valid "
         "PEM certificate file"},
        {cert + "none" + key + "device.key\"",
         "ERROR: cannot read client certificate file '/etc/updater/none.crt' set by 'client-cert'"},
        {kSiteCa +
             " client-cert=\"/etc/updater/device.key\" client-key=\"/etc/updater/device.key\"",
         "ERROR: client certificate file '/etc/updater/device.key' set by 'client-cert' is not "
         "a valid PEM certificate file"},
        {cert + "device" + key + "none.key\"",
         "ERROR: cannot read client key file '/etc/updater/none.key' set by 'client-key'"},
        {cert + "device" + key + "encrypted.key\"",
         "ERROR: client key file '/etc/updater/encrypted.key' set by 'client-key' is not an "
         "unencrypted PEM private key"},
        {cert + "device" + key + "outsider.key\"",
         "ERROR: client key file '/etc/updater/outsider.key' does not match client certificate "
         "file '/etc/updater/device.crt'"},
        {cert + "device.crt\"",
         "ERROR: repository 'base' needs both 'client-cert' and 'client-key', or neither\nERROR: "
         "failed parsing configuration file '/etc/updater.conf'"},
    };
    Scenario broken("UnusableFilesFailBeforeAnyConnection");
    for (const auto& f : files) {
        broken = refusal(std::move(broken), {MUTUAL, f.first}, f.second);
        broken.check([](Appliance&, const RunResult&) { EXPECT_EQ(g_nginx->log(), ""); });
    }
    rows.push_back(broken);
    return rows;
}

SCENARIOS(Tls, rows());

}  // namespace
