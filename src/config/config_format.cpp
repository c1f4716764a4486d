#include "config/config_format.h"

#include <cstring>

#include "support/logger.h"

namespace {

const xmlChar* namespaceOf(xmlNodePtr node) {
    return node->ns != nullptr ? node->ns->href : nullptr;
}

const char* nameOf(xmlNodePtr node) {
    return node->name != nullptr ? reinterpret_cast<const char*>(node->name) : "";
}

bool isListed(const xmlChar* name, const char* const* list) {
    for (; *list != nullptr; ++list) {
        if (xmlStrEqual(name, toXml(*list)) != 0) {
            return true;
        }
    }
    return false;
}

// Warnings about one file, before the rest go unreported.
constexpr unsigned kMaxWarnings = 50;

}  // namespace

bool sameNamespace(xmlNodePtr a, xmlNodePtr b) {
    return xmlStrEqual(namespaceOf(a), namespaceOf(b)) != 0;
}

bool ConfigSource::mayWarn() const {
    if (warnings == kMaxWarnings) {
        LOGW("more unknown elements, attributes or values in '%s', not reported", path.c_str());
    }
    return warnings++ < kMaxWarnings;
}

void ConfigSource::unknownElement(xmlNodePtr element) const {
    if (!mayWarn()) {
        return;
    }
    LOGW("unknown element '%s' in '%s' line %ld, ignored", nameOf(element), path.c_str(),
         xmlGetLineNo(element));
}

void ConfigSource::checkAttributes(xmlNodePtr element, const char* const* known) const {
    for (xmlAttrPtr attr = element->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns == nullptr && !isListed(attr->name, known) && mayWarn()) {
            LOGW("unknown attribute '%s' of element '%s' in '%s' line %ld, ignored",
                 reinterpret_cast<const char*>(attr->name), nameOf(element), path.c_str(),
                 xmlGetLineNo(element));
        }
    }
}

void ConfigSource::unknownValue(xmlNodePtr element, const char* attribute, const std::string& value,
                                const char* effect) const {
    if (!mayWarn()) {
        return;
    }
    LOGW("unknown value '%s' of attribute '%s' of element '%s' in '%s' line %ld, %s", value.c_str(),
         attribute, nameOf(element), path.c_str(), xmlGetLineNo(element), effect);
}

void ConfigSource::unknownChildren(xmlNodePtr parent) const {
    for (xmlNodePtr child = parent->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && sameNamespace(parent, child)) {
            unknownElement(child);
        }
    }
}

bool ConfigFileVisitor::root(xmlNodePtr start) {
    if (!isXmlRoot(start, m_sRootName)) {
        return false;
    }
    const xmlChar* ns = namespaceOf(start);
    m_bNamespace = ns != nullptr;
    m_sNamespace = xmlString(ns);
    const char* const none[] = {nullptr};
    m_source.checkAttributes(start, none);
    return true;
}

void ConfigFileVisitor::seen(xmlNodePtr start, int depth, bool taken) {
    if (depth <= m_nQuietDepth) {
        m_nQuietDepth = 0;
    }
    if (taken || m_nQuietDepth > 0) {
        return;
    }
    const xmlChar* ns = namespaceOf(start);
    if (m_bNamespace ? ns != nullptr && m_sNamespace == reinterpret_cast<const char*>(ns)
                     : ns == nullptr) {
        m_source.unknownElement(start);
    }
    m_nQuietDepth = depth;
}
