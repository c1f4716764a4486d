// The tree-based package list reader, kept as the equivalence test's reference.
#include "reference_package_list.h"

#include <libxml/xmlreader.h>
#include <rpm/rpmlib.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "repo/checksum.h"
#include "support/logger.h"
#include "support/system.h"
#include "xml/xml_util.h"

namespace reference {

namespace {

bool sameText(const xmlChar* a, const char* b) {
    return a != nullptr && std::strcmp(reinterpret_cast<const char*>(a), b) == 0;
}

bool inNamespace(xmlNodePtr node, const xmlChar* href) {
    return node->ns != nullptr && href != nullptr && xmlStrEqual(node->ns->href, href);
}

// Element nodes only; text, comments and the like are passed over.
bool isElementNode(xmlNodePtr node) {
    return node->type == XML_ELEMENT_NODE;
}

// The value of an attribute without namespace, or false when there is none.
// Plain values are read in place; values with entity references (and
// defaults from a DTD) go through the library into scratch.
bool findAttribute(xmlNodePtr node, const char* name, std::string& scratch,
                   std::string_view& value) {
    bool present = false;
    for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns != nullptr || !sameText(attr->name, name)) {
            continue;
        }
        xmlNodePtr child = attr->children;
        if (child == nullptr) {
            value = std::string_view();
            return true;
        }
        if (child->type == XML_TEXT_NODE && child->next == nullptr && child->content != nullptr) {
            value = reinterpret_cast<const char*>(child->content);
            return true;
        }
        present = true;
        break;
    }
    const bool hasDtd = node->doc != nullptr &&
                        (node->doc->intSubset != nullptr || node->doc->extSubset != nullptr);
    if (!present && !hasDtd) {
        return false;
    }
    xmlChar* text = xmlGetNoNsProp(node, toXml(name));
    if (text == nullptr) {
        return false;
    }
    scratch.assign(reinterpret_cast<const char*>(text));
    xmlFree(text);
    value = scratch;
    return true;
}

// An attribute that must be there: its absence is logged as the shared XML
// helpers log it.
bool requireAttribute(xmlNodePtr node, const char* name, std::string& scratch,
                      std::string_view& value) {
    if (findAttribute(node, name, scratch, value)) {
        return true;
    }
    std::string unused;
    return getAttribute(node, name, unused);
}

// The text content of an element; false when it has none. A single text
// child is read in place; anything else goes through the shared helper.
bool elementText(xmlNodePtr node, std::string& scratch, std::string_view& value) {
    xmlNodePtr child = node->children;
    if (child != nullptr && child->type == XML_TEXT_NODE && child->next == nullptr &&
        child->content != nullptr && child->content[0] != '\0') {
        value = reinterpret_cast<const char*>(child->content);
        return true;
    }
    if (!getElementText(node, scratch)) {
        return false;
    }
    value = scratch;
    return true;
}

// A decimal number that makes up the whole text and lies within [min, max],
// converted by strtoul or strtol from a terminated copy of the text. errno is
// left as it was.
template <typename Number>
bool parseWholeNumber(std::string_view text, Number (*convert)(const char*, char**, int),
                      Number min, Number max, Number& out) {
    if (text.empty()) {
        return false;
    }
    std::string copy(text);
    const int savedErrno = errno;
    errno = 0;
    char* end = nullptr;
    Number value = convert(copy.c_str(), &end, 10);
    const bool ok =
        errno == 0 && end != copy.c_str() && *end == '\0' && value >= min && value <= max;
    errno = savedErrno;
    if (ok) {
        out = value;
    }
    return ok;
}

bool parseEpoch(std::string_view text, uint32_t& epoch) {
    unsigned long value = 0;
    if (!parseWholeNumber<unsigned long>(text, strtoul, 0, UINT32_MAX, value)) {
        return false;
    }
    epoch = static_cast<uint32_t>(value);
    return true;
}

bool parseSigned(std::string_view text, long min, long max, long& out) {
    return parseWholeNumber<long>(text, strtol, min, max, out);
}

bool parseFlags(std::string_view text, uint32_t& flags) {
    static const struct {
        const char* m_pText;
        uint32_t m_nFlags;
    } kFlags[] = {
        {"EQ", RPMSENSE_EQUAL},
        {"LE", RPMSENSE_LESS | RPMSENSE_EQUAL},
        {"GE", RPMSENSE_GREATER | RPMSENSE_EQUAL},
        {"LT", RPMSENSE_LESS},
        {"GT", RPMSENSE_GREATER},
    };
    for (const auto& f : kFlags) {
        if (text == f.m_pText) {
            flags = f.m_nFlags;
            return true;
        }
    }
    return false;
}

// A location whose last component cannot name a file in the package cache
// ("", "." or "..") would make the cache path the directory itself or its
// parent.
bool isUsableLocation(const std::string& location) {
    std::string base = baseName(location);
    return !base.empty() && base != "." && base != "..";
}

// The children of `package` that may occur only once.
enum SingleChild {
    CHILD_NAME,
    CHILD_ARCH,
    CHILD_VERSION,
    CHILD_LOCATION,
    CHILD_CHECKSUM,
    CHILD_SIZE
};

}  // namespace

bool parseVersion(xmlNodePtr element, Evr& evr) {
    std::string epochScratch;
    std::string verScratch;
    std::string_view epochText;
    std::string_view verText;
    if (!findAttribute(element, "epoch", epochScratch, epochText) ||
        !findAttribute(element, "ver", verScratch, verText)) {
        LOGD("failed parsing 'version' element");
        return false;
    }
    uint32_t epoch = 0;
    if (!parseEpoch(epochText, epoch)) {
        return false;
    }
    std::string relScratch;
    std::string_view relText;
    evr.m_nEpoch = epoch;
    evr.m_sVersion = verText;
    if (findAttribute(element, "rel", relScratch, relText)) {
        evr.m_sRelease = relText;
    } else {
        evr.m_sRelease.clear();
    }
    return true;
}

bool parseEntries(xmlNodePtr first, xmlNsPtr ns, DependencySet& set) {
    const xmlChar* href = ns != nullptr ? ns->href : nullptr;
    std::string scratch;
    for (xmlNodePtr node = first; node != nullptr; node = node->next) {
        if (!isElementNode(node) || !inNamespace(node, href) || !sameText(node->name, "entry")) {
            continue;
        }
        std::string_view name;
        if (!findAttribute(node, "name", scratch, name)) {
            LOGD("failed getting 'name' from 'entry'");
            return false;
        }
        if (name.compare(0, 7, "rpmlib(") == 0) {
            continue;
        }
        Dependency dep;
        dep.m_sName = name;
        std::string valueScratch;
        std::string_view value;
        if (findAttribute(node, "missingok", valueScratch, value)) {
            long missingOk = 0;
            if (!parseSigned(value, INT32_MIN, INT32_MAX, missingOk)) {
                LOGD("failed parsing '%s' property '%s'", "missingok", std::string(value).c_str());
                return false;
            }
            if (missingOk != 0) {
                LOGT("skipping missingok dep '%s'", dep.m_sName.c_str());
                continue;
            }
        }
        if (findAttribute(node, "ver", valueScratch, value)) {
            if (!parseVersion(node, dep.m_evr)) {
                LOGD("failed parsing EVR in entry");
                return false;
            }
            if (!findAttribute(node, "flags", valueScratch, value)) {
                LOGD("failed parsing 'flags' in 'entry'");
                return false;
            }
            if (!parseFlags(value, dep.m_nFlags)) {
                LOGD("invalid flags '%s' in 'entry'", std::string(value).c_str());
                return false;
            }
        }
        LOGT("%s", depToString(dep).c_str());
        set.insert(dep);
    }
    return true;
}

bool parseFormat(xmlNodePtr format, const char* namespaceUri, const char* label, Package& package) {
    xmlNsPtr ns = xmlSearchNsByHref(format->doc, format, toXml(namespaceUri));
    if (ns == nullptr) {
        LOGD("no %s specific data in XML doc", label);
        return true;
    }
    std::string scratch;
    for (xmlNodePtr node = format->children; node != nullptr; node = node->next) {
        if (!isElementNode(node) || !inNamespace(node, ns->href)) {
            continue;
        }
        DependencySet* set = nullptr;
        if (sameText(node->name, "group")) {
            std::string_view text;
            if (!package.m_sGroup.empty() || !elementText(node, scratch, text)) {
                return false;
            }
            package.m_sGroup = text;
            continue;
        } else if (sameText(node->name, "provides")) {
            LOGT("parsing %s provides for '%s'", label, package.m_sName.c_str());
            set = &package.m_setProvides;
        } else if (sameText(node->name, "requires")) {
            LOGT("parsing %s requires for '%s'", label, package.m_sName.c_str());
            set = &package.m_setRequires;
        } else if (sameText(node->name, "recommends")) {
            LOGT("parsing %s recommends for '%s'", label, package.m_sName.c_str());
            set = &package.m_setRecommends;
        } else if (sameText(node->name, "obsoletes")) {
            LOGT("parsing %s obsoletes for '%s'", label, package.m_sName.c_str());
            set = &package.m_setObsoletes;
        } else {
            continue;
        }
        if (!parseEntries(node->children, node->ns, *set)) {
            return false;
        }
    }
    return true;
}

PackageParseResult parsePackage(xmlNodePtr element, Package& package, const std::string& cacheDir) {
    std::string typeScratch;
    std::string_view typeText;
    if (!findAttribute(element, "type", typeScratch, typeText)) {
        typeText = std::string_view();
    }
    const char* formatNamespace = nullptr;
    if (typeText == "rpm") {
        package.m_nType = PKG_RPM;
        formatNamespace = kRpmNamespace;
    } else if (typeText == "vtxpkg") {
        package.m_nType = PKG_VTXPKG;
        formatNamespace = kVtxdataNamespace;
    } else if (typeText == "flashedfw") {
        package.m_nType = PKG_FLASHEDFW;
        formatNamespace = kVtxdataNamespace;
    } else {
        LOGW("ignoring package of unknown type '%s'", std::string(typeText).c_str());
        return PKG_PARSE_DROPPED;
    }
    // The label of log lines is the type text itself.
    const std::string type(typeText);

    bool anyChild = false;
    for (xmlNodePtr node = element->children; node != nullptr && !anyChild; node = node->next) {
        anyChild = isElementNode(node);
    }
    if (!anyChild) {
        return PKG_PARSE_ERROR;
    }

    bool seen[CHILD_SIZE + 1] = {};
    auto once = [&seen](SingleChild child) {
        if (seen[child]) {
            return false;
        }
        seen[child] = true;
        return true;
    };
    const xmlChar* href = element->ns != nullptr ? element->ns->href : nullptr;
    std::string arch;
    std::string scratch;
    std::string_view value;
    for (xmlNodePtr node = element->children; node != nullptr; node = node->next) {
        if (!isElementNode(node) || !inNamespace(node, href)) {
            continue;
        }
        const xmlChar* name = node->name;
        if (sameText(name, "name")) {
            if (!once(CHILD_NAME) || !elementText(node, scratch, value)) {
                return PKG_PARSE_ERROR;
            }
            package.m_sName = value;
        } else if (sameText(name, "arch")) {
            if (!once(CHILD_ARCH)) {
                return PKG_PARSE_ERROR;
            }
            // An empty arch element scores 0 below, like a missing one.
            if (node->children != nullptr && elementText(node, scratch, value)) {
                arch.assign(value);
            }
        } else if (sameText(name, "version")) {
            if (!once(CHILD_VERSION) || !parseVersion(node, package.m_evr)) {
                return PKG_PARSE_ERROR;
            }
        } else if (sameText(name, "location")) {
            if (!once(CHILD_LOCATION) || !requireAttribute(node, "href", scratch, value)) {
                return PKG_PARSE_ERROR;
            }
            package.m_sLocation = value;
        } else if (sameText(name, "checksum")) {
            if (!once(CHILD_CHECKSUM) || !parseChecksum(node, package.m_checksum)) {
                return PKG_PARSE_ERROR;
            }
        } else if (sameText(name, "size")) {
            if (!once(CHILD_SIZE) || !findAttribute(node, "installed", scratch, value)) {
                return PKG_PARSE_ERROR;
            }
            long size = 0;
            if (!parseSigned(value, LONG_MIN, LONG_MAX, size)) {
                LOGD("failed parsing '%s' property '%s'", "installed", std::string(value).c_str());
                return PKG_PARSE_ERROR;
            }
            package.m_nInstalledSize = size;
        } else if (sameText(name, "format")) {
            if (!parseFormat(node, formatNamespace, type.c_str(), package)) {
                return PKG_PARSE_ERROR;
            }
        }
    }

    if (!seen[CHILD_NAME] || !seen[CHILD_VERSION]) {
        return PKG_PARSE_ERROR;
    }
    if (package.m_nType != PKG_FLASHEDFW && (!seen[CHILD_LOCATION] || !seen[CHILD_CHECKSUM])) {
        return PKG_PARSE_ERROR;
    }
    std::string location;
    if (seen[CHILD_LOCATION]) {
        location = package.m_sLocation.str();
        if (!isUsableLocation(location)) {
            LOGD("invalid location '%s' of package '%s'", location.c_str(),
                 package.m_sName.c_str());
            return PKG_PARSE_ERROR;
        }
        if (!cacheDir.empty()) {
            package.m_sCacheFile = cacheDir + baseName(location);
        }
    }

    if (rpmMachineScore(RPM_MACHTABLE_INSTARCH, arch.c_str()) == 0) {
        LOGW("skipping %s package '%s' of non-compatible arch '%s'", type.c_str(),
             seen[CHILD_LOCATION] ? baseName(location).c_str() : packageToString(package).c_str(),
             arch.c_str());
        return PKG_PARSE_DROPPED;
    }
    return PKG_PARSE_ACCEPTED;
}

bool parsePackageListWithTree(const std::string& path, MetadataType type, PackageList& target,
                              const std::string& cacheDir) {
    const char* typeName = metadataTypeName(type);
    if (typeName == nullptr) {
        return false;
    }
    const char* topName = type == MD_PRIMARY ? "metadata" : "vtxdata";
    const char* topNamespace = type == MD_PRIMARY ? kCommonNamespace : kVtxdataNamespace;

    XmlReader reader = openXmlReader(path);
    if (!reader) {
        LOGE("could not open %s file '%s' for parsing", typeName, path.c_str());
        return false;
    }
    xmlTextReaderPtr r = reader.get();
    int result = xmlTextReaderRead(r);
    while (result == 1) {
        if (xmlTextReaderNodeType(r) != XML_READER_TYPE_ELEMENT) {
            result = xmlTextReaderRead(r);
            continue;
        }
        const xmlChar* localName = xmlTextReaderConstLocalName(r);
        const xmlChar* uri = xmlTextReaderConstNamespaceUri(r);
        if (xmlTextReaderDepth(r) == 0) {
            if (!sameText(localName, topName) || !sameText(uri, topNamespace)) {
                LOGE("bad top-level element, '%s' instead of '%s'",
                     localName != nullptr ? reinterpret_cast<const char*>(localName) : "", topName);
                return false;
            }
        } else if (sameText(localName, "package") && sameText(uri, kCommonNamespace)) {
            xmlNodePtr node = xmlTextReaderExpand(r);
            if (node == nullptr) {
                return false;
            }
            Package package;
            PackageParseResult parsed = parsePackage(node, package, cacheDir);
            if (parsed == PKG_PARSE_ERROR) {
                return false;
            }
            if (parsed == PKG_PARSE_ACCEPTED) {
                package.m_setRequires.shrinkToFit();
                package.m_setRecommends.shrinkToFit();
                package.m_setProvides.shrinkToFit();
                package.m_setObsoletes.shrinkToFit();
                target.insert(std::move(package));
            }
            result = xmlTextReaderNext(r);
            continue;
        }
        result = xmlTextReaderRead(r);
    }
    return result == 0;
}

}  // namespace reference
