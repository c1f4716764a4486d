#include "config/config.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>

#include "config/config_format.h"
#include "support/paths.h"
#include "xml/xml_util.h"

namespace {

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

// repository: name and location.

bool readRepositoryName(const ConfigSource&, Repository& repo, xmlNodePtr element) {
    return getElementText(element, repo.m_sName);
}

bool readLocation(const ConfigSource&, Repository& repo, xmlNodePtr element) {
    if (!getAttribute(element, "href", repo.m_sLocation)) {
        LOGE("no 'href' attribute in 'location' element");
        return false;
    }
    return true;
}

// The last tls element counts, whole.
bool readTls(const ConfigSource& source, Repository& repo, xmlNodePtr element) {
    TlsSettings& tls = repo.m_tls;
    tls = TlsSettings();
    getAttribute(element, "ca-file", tls.m_sCaFile);
    getAttribute(element, "client-cert", tls.m_sClientCert);
    getAttribute(element, "client-key", tls.m_sClientKey);
    std::string systemCa;
    if (getAttribute(element, "system-ca", systemCa)) {
        tls.m_bSystemCa = systemCa == "true";
        if (!tls.m_bSystemCa && systemCa != "false") {
            source.unknownValue(element, "system-ca", systemCa, "taken as 'false'");
        }
    }
    source.unknownChildren(element);
    if (tls.m_sClientCert.empty() != tls.m_sClientKey.empty()) {
        LOGE("repository '%s' needs both 'client-cert' and 'client-key', or neither",
             repo.m_sId.c_str());
        return false;
    }
    return true;
}

const ElementTable<Repository> kRepositoryElements[] = {
    {"name", {readRepositoryName, {}}},
    {"location", {readLocation, {"href"}}},
    {"tls", {readTls, {"ca-file", "system-ca", "client-cert", "client-key"}}},
};

bool readRepository(const ConfigSource& source, Config& config, xmlNodePtr node) {
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
    if (!repo.m_bEnabled && enabled != "false") {
        source.unknownValue(node, "enabled", enabled, "taken as 'false'");
    }
    if (!readChildren(source, node, kRepositoryElements, repo)) {
        return false;
    }
    if (repo.m_sLocation.empty()) {
        LOGE("no URI for repository '%s'", repo.m_sId.c_str());
        return false;
    }
    repo.m_bFromDefaults = source.defaultsMode;
    for (auto it = config.m_lRepositories.begin(); it != config.m_lRepositories.end(); ++it) {
        if (it->m_sId != repo.m_sId) {
            continue;
        }
        if (!it->m_bFromDefaults) {
            LOGE("more than one repository with same ID");
            return false;
        }
        LOGD("replacing default definition of repo '%s'", repo.m_sId.c_str());
        config.m_lRepositories.erase(it);
        break;
    }
    config.m_lRepositories.push_back(repo);
    return true;
}

// log: loggers and their facility.

struct LoggerElement {
    bool takesFacility;
    std::string facility;  // the last one
};

bool readFacility(const ConfigSource&, LoggerElement& logger, xmlNodePtr element) {
    return !logger.takesFacility || getElementText(element, logger.facility);
}

const ElementTable<LoggerElement> kLoggerElements[] = {
    {"facility", {readFacility, {}}},
};

bool readLogger(const ConfigSource& source, Config& config, xmlNodePtr node) {
    std::string type;
    if (!getAttribute(node, "type", type)) {
        return false;
    }
    LoggerElement logger{type == "syslog", {}};
    if (!readChildren(source, node, kLoggerElements, logger, true)) {
        return false;
    }
    if (type == "stderr") {
        config.m_bLogStderr = true;
    } else if (type == "syslog") {
        if (logger.facility.empty()) {
            return false;
        }
        config.m_nSyslogFacility = parseSyslogFacility(logger.facility);
        config.m_bLogSyslog = true;
    } else {
        source.unknownValue(node, "type", type, "logger ignored");
        LOGD("ignoring unknown '%s' logger type", type.c_str());
    }
    return true;
}

const ElementTable<Config> kLogElements[] = {
    {"logger", {readLogger, {"type"}}},
};

bool readLog(const ConfigSource& source, Config& config, xmlNodePtr node) {
    std::string level;
    if (getAttribute(node, "level", level) && !level.empty()) {
        config.m_nLogLevel = parseLogLevel(level);
    }
    return readChildren(source, node, kLogElements, config);
}

// Package lists: package and group elements, each with one or more names.

struct NameList {
    std::vector<std::string>* names;  // null: a group where groups are not taken
    long line;                        // of the group element
};

bool readListName(const ConfigSource&, NameList& list, xmlNodePtr element) {
    std::string name;
    if (!getElementText(element, name)) {
        return false;
    }
    if (list.names != nullptr) {
        list.names->push_back(name);
    } else {
        LOGD("ignoring package group named '%s' in config file line %hu", name.c_str(),
             static_cast<unsigned short>(list.line));
    }
    return true;
}

const ElementTable<NameList> kNameElements[] = {
    {"name", {readListName, {}}},
};

struct ListElement {
    std::vector<std::string>* packages;
    std::vector<std::string>* groups;  // null: groups are not taken
};

bool readPackageEntry(const ConfigSource& source, ListElement& list, xmlNodePtr element) {
    NameList names{list.packages, 0};
    return readChildren(source, element, kNameElements, names, true);
}

bool readGroupEntry(const ConfigSource& source, ListElement& list, xmlNodePtr element) {
    NameList names{list.groups, xmlGetLineNo(element)};
    return readChildren(source, element, kNameElements, names, true);
}

const ElementTable<ListElement> kPackageListElements[] = {
    {"package", {readPackageEntry, {}}},
    {"group", {readGroupEntry, {}}},
};

bool readPackageList(const ConfigSource& source, xmlNodePtr element,
                     std::vector<std::string>& packages, std::vector<std::string>* groups) {
    ListElement list{&packages, groups};
    return readChildren(source, element, kPackageListElements, list, true);
}

// A list that must name exactly one package.
bool readSinglePackage(const ConfigSource& source, xmlNodePtr element, std::string& out) {
    std::vector<std::string> names;
    if (!readPackageList(source, element, names, nullptr) || names.size() != 1) {
        return false;
    }
    out = names.front();
    return true;
}

const ElementTable<Config> kPackagesElements[] = {
    {"release",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readSinglePackage(s, e, c.m_sReleasePkg);
      },
      {}}},
    {"fw-upgrade-pkg",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readSinglePackage(s, e, c.m_sFwUpgradePkg);
      },
      {}}},
    {"addons",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readPackageList(s, e, c.m_vAddons, &c.m_vAddonGroups);
      },
      {}}},
    {"preliminary",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readPackageList(s, e, c.m_vPreliminary, nullptr);
      },
      {}}},
    {"repo-required",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readPackageList(s, e, c.m_vRepoRequired, nullptr);
      },
      {}}},
};

// product and user-agent.

const ElementTable<Config> kProductElements[] = {
    {"name",
     {[](const ConfigSource&, Config& c, xmlNodePtr e) { return getElementText(e, c.m_sProduct); },
      {}}},
    {"packages",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readChildren(s, e, kPackagesElements, c);
      },
      {}}},
};

const ElementTable<Config> kUserAgentElements[] = {
    {"base",
     {[](const ConfigSource&, Config& c, xmlNodePtr e) {
          return getElementText(e, c.m_network.m_sUserAgentBase);
      },
      {}}},
    {"prodname",
     {[](const ConfigSource&, Config& c, xmlNodePtr e) {
          return getElementText(e, c.m_network.m_sUserAgentProdname);
      },
      {}}},
};

// A whole decimal number from 0 (or from 1) to max; false for anything else.
bool parseBounded(const std::string& text, int64_t min, int64_t max, int64_t& out) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int64_t value = std::stoll(text);
    if (value < min || value > max) {
        return false;
    }
    out = value;
    return true;
}

// index-signature: the maximum age of the index's signature.

bool readIndexSignature(const ConfigSource&, Config& config, xmlNodePtr element) {
    std::string days;
    if (!getAttribute(element, "max-age-days", days)) {
        return true;
    }
    int64_t value = 0;
    if (!parseBounded(days, 0, 100000, value)) {
        LOGE("invalid 'max-age-days' value '%s' in 'index-signature' element: a number of days "
             "expected",
             days.c_str());
        return false;
    }
    config.m_nMaxIndexAgeDays = static_cast<int32_t>(value);
    return true;
}

// low-speed: the floor on the speed of transfers.

bool readLowSpeed(const ConfigSource& source, Config& config, xmlNodePtr node) {
    constexpr int64_t kMaxSeconds = 24 * 60 * 60;
    std::string text;
    int64_t value = 0;
    if (getAttribute(node, "bytes", text)) {
        if (parseBounded(text, 0, INT64_MAX, value)) {
            config.m_network.m_nLowSpeedBytes = value;
        } else {
            source.unknownValue(node, "bytes", text, "ignored");
        }
    }
    if (getAttribute(node, "seconds", text)) {
        if (parseBounded(text, 1, kMaxSeconds, value)) {
            config.m_network.m_nLowSpeedSeconds = static_cast<int32_t>(value);
        } else {
            source.unknownValue(node, "seconds", text, "ignored");
        }
    }
    source.unknownChildren(node);
    return true;
}

// The elements below the root, wherever they stand.
const ElementTable<Config> kConfigElements[] = {
    {"repository", {readRepository, {"id", "enabled"}}},
    {"log", {readLog, {"level"}}},
    {"product",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readChildren(s, e, kProductElements, c);
      },
      {}}},
    {"user-agent",
     {[](const ConfigSource& s, Config& c, xmlNodePtr e) {
          return readChildren(s, e, kUserAgentElements, c);
      },
      {}}},
    {"index-signature", {readIndexSignature, {"max-age-days"}}},
    {"low-speed", {readLowSpeed, {"bytes", "seconds"}}},
};

}  // namespace

bool Config::load(const std::string& path, bool defaultsMode) {
    // The defaults file is optional: its absence is no error.
    XmlReader reader = openXmlReader(path, defaultsMode);
    if (!reader) {
        LOG_AT(defaultsMode ? LogLevel::Debug : LogLevel::Error,
               "could not open configuration file '%s'", path.c_str());
        return false;
    }
    const ConfigSource source{path, defaultsMode};
    ConfigTableVisitor visitor(source, "updater", kConfigElements, *this);
    if (!visitXmlElements(reader, visitor)) {
        return false;
    }
    if (!defaultsMode) {
        loadProxyFile(paths::kProxyFile, m_network);
    }
    return true;
}
