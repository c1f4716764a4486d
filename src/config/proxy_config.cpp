// The proxy file: server, port, local-network bypass and proxy credentials.
// Nothing in it can fail the configuration load; a problem is logged and the
// rest of the file is left unread.
#include <cerrno>
#include <cstdlib>

#include "config/config.h"
#include "config/config_format.h"
#include "support/logger.h"
#include "xml/xml_util.h"

namespace {

constexpr unsigned long kMaxProxyPort = 65534;

// Base-10 port, as strtol reads it (leading blanks and a sign accepted);
// nothing may follow the number.
bool parsePort(const std::string& text, uint32_t& port) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    long value = strtol(start, &end, 10);
    if (end == start || *end != '\0' || errno == ERANGE ||
        static_cast<unsigned long>(value) > kMaxProxyPort) {
        return false;
    }
    port = static_cast<uint32_t>(value);
    return true;
}

// One proxy element; false stops the reading of the file.
bool readProxy(const ConfigSource& source, NetworkSettings& network, xmlNodePtr node) {
    if (!network.m_sProxyServer.empty()) {
        LOGW("multiple proxy servers in configuration file, using last occurence");
    }
    std::string server;
    if (!getAttribute(node, "server", server) || server.empty()) {
        LOGE("no 'server' attribute in 'proxy' element");
        return false;
    }
    std::string portText;
    if (!getAttribute(node, "port", portText) || portText.empty()) {
        LOGE("no 'port' attribute in 'proxy' element");
        return false;
    }
    uint32_t port = 0;
    if (!parsePort(portText, port)) {
        LOGE("invalid port number '%s'", portText.c_str());
        return false;
    }
    std::string bypass;
    bool bypassLocal = true;
    if (getAttribute(node, "bypassLocalNetwork", bypass)) {
        bypassLocal = bypass != "off" && bypass != "false";
        if (bypassLocal && bypass != "on" && bypass != "true") {
            source.unknownValue(node, "bypassLocalNetwork", bypass, "taken as 'on'");
        }
    }
    network.m_sProxyServer = server;
    network.m_nProxyPort = port;
    network.m_bProxyBypassLocal = bypassLocal;
    LOGD("configured proxy '%s' port %u bypass %i", server.c_str(), port, bypassLocal ? 1 : 0);

    network.m_sProxyUser.clear();
    network.m_sProxyPassword.clear();
    getAttribute(node, "username", network.m_sProxyUser);
    getAttribute(node, "password", network.m_sProxyPassword);
    // The password itself never goes to the log.
    LOGD("proxy user '%s', password %s", network.m_sProxyUser.c_str(),
         network.m_sProxyPassword.empty() ? "not set" : "set");
    // The content of a proxy element is not looked at.
    source.unknownChildren(node);
    return true;
}

const ElementTable<NetworkSettings> kProxyElements[] = {
    {"proxy", {readProxy, {"server", "port", "bypassLocalNetwork", "username", "password"}}},
};

}  // namespace

void loadProxyFile(const std::string& path, NetworkSettings& network) {
    XmlReader reader = openXmlReader(path, true);
    if (!reader) {
        LOGD("no proxy configuration file '%s'", path.c_str());
        return;
    }
    const ConfigSource source{path};
    ConfigTableVisitor visitor(source, "proxyconf", kProxyElements, network);
    visitXmlElements(reader, visitor);
}
