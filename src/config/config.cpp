#include "config/config.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>

#include "support/paths.h"
#include "xml/xml_util.h"

namespace {

bool sameNamespace(xmlNodePtr a, xmlNodePtr b) {
    const xmlChar* nsA = a->ns != nullptr ? a->ns->href : nullptr;
    const xmlChar* nsB = b->ns != nullptr ? b->ns->href : nullptr;
    if (nsA == nullptr || nsB == nullptr) {
        return nsA == nsB;
    }
    return xmlStrcmp(nsA, nsB) == 0;
}

// A child element of parent with that name, in the parent's namespace.
bool isChild(xmlNodePtr parent, xmlNodePtr child, const char* name) {
    return isElement(child, name) && sameNamespace(parent, child);
}

std::string usbLocation() {
    struct stat st;
    if (stat(paths::kUsbUpdatesDir, &st) == 0 || errno != ENOENT) {
        return paths::kUsbUpdatesDir;
    }
    if (stat(paths::kLegacyUsbUpdatesDir, &st) == 0) {
        LOGW("falling back to legacy USB update source '%s'", paths::kLegacyUsbUpdatesDir);
        return paths::kLegacyUsbUpdatesDir;
    }
    return paths::kUsbUpdatesDir;
}

// Reads a list that must name exactly one package.
bool readSinglePackage(xmlNodePtr node, std::string& out) {
    std::vector<std::string> names;
    if (!readPackageList(node, names, nullptr) || names.size() != 1) {
        return false;
    }
    out = names.front();
    return true;
}

}  // namespace

Config::Config() : m_sCacheDir(paths::kDefaultCacheDir), m_nSyslogFacility(LOG_DAEMON) {
    Repository usb;
    usb.m_sId = "local-usb";
    usb.m_sName = "Updates from local USB storage";
    usb.m_sLocation = usbLocation();
    usb.m_bEnabled = false;
    usb.m_bFromDefaults = true;
    m_lRepositories.push_back(usb);
}

Repository* Config::findRepository(const std::string& id) {
    for (Repository& repo : m_lRepositories) {
        if (repo.m_sId == id) {
            return &repo;
        }
    }
    return nullptr;
}

const Repository* Config::findRepository(const std::string& id) const {
    return const_cast<Config*>(this)->findRepository(id);
}

bool Config::load(const std::string& path, bool defaultsMode) {
    XmlReader reader = openXmlReader(path);
    if (!reader) {
        // The defaults file is optional: its absence is no error.
        LOG_AT(defaultsMode ? LogLevel::Debug : LogLevel::Error,
               "could not open configuration file '%s'", path.c_str());
        return false;
    }
    int ret = readXmlNode(reader.get());
    while (ret == 1) {
        if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) {
            ret = readXmlNode(reader.get());
            continue;
        }
        std::string name = xmlString(xmlTextReaderConstLocalName(reader.get()));
        if (xmlTextReaderDepth(reader.get()) == 0) {
            if (name != "updater") {
                LOGE("bad top-level element, '%s' instead of 'updater'", name.c_str());
                return false;
            }
            ret = readXmlNode(reader.get());
            continue;
        }
        if (name != "repository" && name != "log" && name != "product" && name != "user-agent") {
            ret = readXmlNode(reader.get());
            continue;
        }
        xmlNodePtr node = xmlTextReaderExpand(reader.get());
        if (node == nullptr) {
            return false;
        }
        bool ok = true;
        if (name == "repository") {
            ok = readRepository(node, defaultsMode);
        } else if (name == "log") {
            ok = readLog(node);
        } else if (name == "product") {
            ok = readProduct(node);
        } else {
            ok = readUserAgent(node);
        }
        if (!ok) {
            return false;
        }
        ret = skipXmlSubtree(reader.get());
    }
    if (ret != 0) {
        return false;
    }
    if (!defaultsMode) {
        loadProxyFile(paths::kProxyFile, m_network);
    }
    return true;
}

namespace {

// The ID names the repository's folder in the cache: a plain file name.
bool isPlainRepositoryId(const std::string& id) {
    if (id.empty() || id == "." || id == ".." || id.size() > 255) {
        return false;
    }
    for (char c : id) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Config::readRepository(xmlNodePtr node, bool defaultsMode) {
    Repository repo;
    if (!getAttribute(node, "id", repo.m_sId)) {
        LOGE("no 'id' attribute in 'repository' element");
        return false;
    }
    if (!isPlainRepositoryId(repo.m_sId)) {
        LOGE("invalid repository id '%s': it must be a plain name", repo.m_sId.c_str());
        return false;
    }
    if (repo.m_sId == "tlq100") {
        LOGD("replacing repo ID '%s' by 'base' for backwards compatibility", repo.m_sId.c_str());
        repo.m_sId = "base";
    }
    std::string enabled;
    repo.m_bEnabled = getAttribute(node, "enabled", enabled) ? enabled == "true" : true;
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (isChild(node, child, "name")) {
            if (!getElementText(child, repo.m_sName)) {
                return false;
            }
        } else if (isChild(node, child, "location")) {
            if (!getAttribute(child, "href", repo.m_sLocation)) {
                LOGE("no 'href' attribute in 'location' element");
                return false;
            }
        }
    }
    if (repo.m_sLocation.empty()) {
        LOGE("no URI for repository '%s'", repo.m_sId.c_str());
        return false;
    }
    repo.m_bFromDefaults = defaultsMode;
    for (auto it = m_lRepositories.begin(); it != m_lRepositories.end(); ++it) {
        if (it->m_sId != repo.m_sId) {
            continue;
        }
        if (!it->m_bFromDefaults) {
            LOGE("more than one repository with same ID");
            return false;
        }
        LOGD("replacing default definition of repo '%s'", repo.m_sId.c_str());
        m_lRepositories.erase(it);
        break;
    }
    m_lRepositories.push_back(repo);
    return true;
}

bool Config::readLog(xmlNodePtr node) {
    std::string level;
    if (getAttribute(node, "level", level) && !level.empty()) {
        m_nLogLevel = parseLogLevel(level);
    }
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (!isChild(node, child, "logger")) {
            continue;
        }
        std::string type;
        if (!getAttribute(child, "type", type)) {
            return false;
        }
        if (type == "stderr") {
            m_bLogStderr = true;
        } else if (type == "syslog") {
            std::string facility;
            for (xmlNodePtr f = child->children; f != nullptr; f = f->next) {
                if (isElement(f, "facility") && !getElementText(f, facility)) {
                    return false;
                }
            }
            if (facility.empty()) {
                return false;
            }
            m_nSyslogFacility = parseSyslogFacility(facility);
            m_bLogSyslog = true;
        } else {
            LOGD("ignoring unknown '%s' logger type", type.c_str());
        }
    }
    return true;
}

bool Config::readProduct(xmlNodePtr node) {
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (isChild(node, child, "name")) {
            if (!getElementText(child, m_sProduct)) {
                return false;
            }
        } else if (isChild(node, child, "packages")) {
            if (!readPackages(child)) {
                return false;
            }
        }
    }
    return true;
}

bool Config::readPackages(xmlNodePtr node) {
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        bool ok = true;
        if (isChild(node, child, "release")) {
            ok = readSinglePackage(child, m_sReleasePkg);
        } else if (isChild(node, child, "fw-upgrade-pkg")) {
            ok = readSinglePackage(child, m_sFwUpgradePkg);
        } else if (isChild(node, child, "addons")) {
            ok = readPackageList(child, m_vAddons, &m_vAddonGroups);
        } else if (isChild(node, child, "preliminary")) {
            ok = readPackageList(child, m_vPreliminary, nullptr);
        } else if (isChild(node, child, "repo-required")) {
            ok = readPackageList(child, m_vRepoRequired, nullptr);
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool Config::readUserAgent(xmlNodePtr node) {
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (isChild(node, child, "base")) {
            if (!getElementText(child, m_network.m_sUserAgentBase)) {
                return false;
            }
        } else if (isChild(node, child, "prodname")) {
            if (!getElementText(child, m_network.m_sUserAgentProdname)) {
                return false;
            }
        }
    }
    return true;
}

bool readPackageList(xmlNodePtr listNode, std::vector<std::string>& packages,
                     std::vector<std::string>* groups) {
    for (xmlNodePtr entry = listNode->children; entry != nullptr; entry = entry->next) {
        bool isPackage = isElement(entry, "package");
        if (!isPackage && !isElement(entry, "group")) {
            continue;
        }
        for (xmlNodePtr nameNode = entry->children; nameNode != nullptr;
             nameNode = nameNode->next) {
            if (!isElement(nameNode, "name")) {
                continue;
            }
            std::string name;
            if (!getElementText(nameNode, name)) {
                return false;
            }
            if (isPackage) {
                packages.push_back(name);
            } else if (groups != nullptr) {
                groups->push_back(name);
            } else {
                LOGD("ignoring package group named '%s' in config file line %hu", name.c_str(),
                     static_cast<unsigned short>(xmlGetLineNo(entry)));
            }
        }
    }
    return true;
}
