#include "net/credential_store.h"

#include <ne_uri.h>

#include <cstring>

#include "net/url_fetcher.h"
#include "support/logger.h"
#include "xml/xml_stream.h"
#include "xml/xml_util.h"

namespace {

constexpr const char* kXLinkNamespace = "http://www.w3.org/1999/xlink";

// An attribute in the XLink namespace; false when absent.
bool getXLinkAttribute(xmlNodePtr node, const char* name, std::string& out) {
    xmlChar* value = xmlGetNsProp(node, toXml(name), toXml(kXLinkNamespace));
    if (value == nullptr) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return acceptXmlValueLength(node, out.size());
}

// An attribute without namespace, quietly; false when absent.
bool getPlainAttribute(xmlNodePtr node, const char* name, std::string& out) {
    xmlChar* value = xmlGetNoNsProp(node, toXml(name));
    if (value == nullptr) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return acceptXmlValueLength(node, out.size());
}

// One creditentials element: added to the store when it is for the store's server.
void evaluateCredential(CredentialStore& store, xmlNodePtr node) {
    std::string href;
    if (!getXLinkAttribute(node, "href", href)) {
        LOGW("ignoring network credential with no URI");
        return;
    }
    std::string realm, user, password;
    bool hasRealm = getPlainAttribute(node, "realm", realm);
    bool hasUser = getPlainAttribute(node, "username", user);
    bool hasPassword = getPlainAttribute(node, "password", password);
    // Trace output reaches every log: the password is only said to be there.
    LOGT("evaluating credentials URI = '%s', Realm = '%s', User = '%s', Password = %s",
         href.c_str(), hasRealm ? realm.c_str() : "<null>", hasUser ? user.c_str() : "<null>",
         hasPassword ? "<set>" : "<null>");

    // The port is looked at first: the parser would log a line of its own.
    ParsedUri uri;
    if (!hasValidPort(href) || !uri.parse(href)) {
        LOGW("invalid syntax for URI '%s' in network credentials", href.c_str());
        return;
    }
    const ne_uri& u = uri.get();
    unsigned int port = u.port;
    if (port == 0 && u.scheme != nullptr) {
        port = ne_uri_defaultport(u.scheme);
    }
    bool matches = u.scheme != nullptr && u.host != nullptr && store.scheme() == u.scheme &&
                   store.host() == u.host && port == store.port();
    if (!matches) {
        LOGT("server does not match, discarded");
        return;
    }
    LOGT("server matches, loaded");
    Credential entry;
    entry.m_sPath = u.path != nullptr && u.path[0] != '\0' ? u.path : "/";
    entry.m_sRealm = realm;
    entry.m_sUser = user;
    entry.m_sPassword = password;
    store.add(entry);
}

using CredentialHandler = void (*)(CredentialStore& store, xmlNodePtr element);

// The elements of the file, directly below the root.
const XmlElementEntry<CredentialHandler> kCredentialElements[] = {
    {"creditentials", evaluateCredential},
};

class CredentialsVisitor final : public XmlElementVisitor {
public:
    explicit CredentialsVisitor(CredentialStore& store) : m_store(store) {}

    bool root(xmlNodePtr start) override { return isXmlRoot(start, "credits"); }
    bool takes(xmlNodePtr start, int depth) override {
        m_pEntry = depth == 1 ? findXmlElement(kCredentialElements, start) : nullptr;
        return m_pEntry != nullptr;
    }
    bool read(xmlNodePtr element) override {
        if (element == nullptr) {
            LOGE("failed to expand node in network credentials file");
            return false;
        }
        m_pEntry->handler(m_store, element);
        return true;
    }

private:
    CredentialStore& m_store;
    const XmlElementEntry<CredentialHandler>* m_pEntry = nullptr;
};

}  // namespace

CredentialStore::CredentialStore(const ne_uri& uri)
    : m_sScheme(uri.scheme != nullptr ? uri.scheme : ""),
      m_sHost(uri.host != nullptr ? uri.host : ""),
      m_nPort(uri.port != 0 || uri.scheme == nullptr ? uri.port : ne_uri_defaultport(uri.scheme)) {}

void CredentialStore::add(const Credential& credential) {
    m_lEntries.push_back(credential);
}

void CredentialStore::clear() {
    m_lEntries.clear();
    m_nCursor = 0;
}

void CredentialStore::rewind() {
    m_nCursor = 0;
}

const Credential* CredentialStore::nextMatch(const std::string& realm,
                                             const std::string& requestPath) {
    LOGT("%p searching credentials for '%s' @ '%s'", static_cast<const void*>(this), realm.c_str(),
         requestPath.c_str());
    while (m_nCursor < m_lEntries.size()) {
        const Credential& entry = m_lEntries[m_nCursor++];
        if ((entry.m_sRealm.empty() || entry.m_sRealm == realm) &&
            ne_path_childof(entry.m_sPath.c_str(), requestPath.c_str()) != 0) {
            return &entry;
        }
    }
    return nullptr;
}

bool CredentialStore::loadFile(const std::string& path) {
    XmlReader reader = openXmlReader(path);
    if (!reader) {
        LOGE("could not open network credentials file");
        return false;
    }
    LOGT("loading network credentials for scheme '%s', host '%s', port '%u'", m_sScheme.c_str(),
         m_sHost.c_str(), m_nPort);
    // A broken file configures nothing, not the entries before the damage.
    const size_t before = m_lEntries.size();
    CredentialsVisitor visitor(*this);
    if (!visitXmlElements(reader, visitor)) {
        m_lEntries.resize(before);
        return false;
    }
    return true;
}

int fillCredentials(const std::string& user, const std::string& password, const char* label,
                    char* userBuffer, char* passwordBuffer) {
    if (user.empty()) {
        LOGE("%s authentication requested but no credentials set", label);
        return -1;
    }
    if (user.size() >= kAuthBufferSize) {
        LOGE("%s username length (%zu) exceeds maximum supported (%i)", label, user.size(),
             static_cast<int>(kAuthBufferSize));
        return -1;
    }
    if (password.size() >= kAuthBufferSize) {
        LOGE("%s password length (%zu) exceeds maximum supported (%i)", label, password.size(),
             static_cast<int>(kAuthBufferSize));
        return -1;
    }
    LOGT("attempting %s authentication as user '%s'", label, user.c_str());
    memcpy(userBuffer, user.c_str(), user.size() + 1);
    memcpy(passwordBuffer, password.c_str(), password.size() + 1);
    return 0;
}

int offerCredentials(CredentialStore& store, CredentialStore& defaults, const char* label,
                     const char* realm, int attempt, const char* requestPath, char* userBuffer,
                     char* passwordBuffer) {
    if (attempt == 0) {
        store.rewind();
        defaults.rewind();
    }
    const Credential* entry =
        store.nextMatch(realm != nullptr ? realm : "", requestPath != nullptr ? requestPath : "/");
    if (entry == nullptr) {
        return -1;
    }
    LOGD("trying %s authentication for '%s' in attempt %i", label, entry->m_sUser.c_str(), attempt);
    return fillCredentials(entry->m_sUser, entry->m_sPassword, "http", userBuffer, passwordBuffer);
}
