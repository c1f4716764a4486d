// What the configuration and proxy files know: tables of elements with the
// attributes each one takes and how it is read, and one warning (with the
// file and the line) about every element or attribute they do not know.
// Private to the configuration readers.
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <string>

#include "xml/xml_stream.h"

// The file being read.
struct ConfigSource {
    std::string path;
    bool defaultsMode = false;  // repositories it defines may be replaced
    // Warnings given so far: a file full of unknown elements does not flood
    // the log.
    mutable unsigned warnings = 0;

    void unknownElement(xmlNodePtr element) const;
    // Warns about every attribute without namespace that is not in the
    // null-terminated list.
    void checkAttributes(xmlNodePtr element, const char* const* known) const;
    // A known attribute with a value the program does not understand, and
    // what it does instead.
    void unknownValue(xmlNodePtr element, const char* attribute, const std::string& value,
                      const char* effect) const;
    // Warns about every child element in the parent's namespace: the parent
    // has no children of its own.
    void unknownChildren(xmlNodePtr parent) const;

private:
    // False once enough was said about the file.
    bool mayWarn() const;
};

bool sameNamespace(xmlNodePtr a, xmlNodePtr b);

// One element of a format: how it is read into a target (false fails the
// file), and the attributes it knows.
template <typename Target>
struct ElementRule {
    bool (*read)(const ConfigSource& source, Target& target, xmlNodePtr element);
    const char* attributes[6];  // null-terminated
};

template <typename Target>
using ElementTable = XmlElementEntry<ElementRule<Target>>;

template <typename Target>
bool readElement(const ConfigSource& source, const ElementRule<Target>& rule, Target& target,
                 xmlNodePtr element) {
    source.checkAttributes(element, rule.attributes);
    return rule.read(source, target, element);
}

// Reads the child elements of parent in document order, each with the rule
// of its name; a child is known by name in the parent's namespace, or in any
// namespace with byNameAlone. An unknown child in the parent's namespace is
// warned about; children of other namespaces are left alone.
template <typename Target, size_t N>
bool readChildren(const ConfigSource& source, xmlNodePtr parent,
                  const ElementTable<Target> (&table)[N], Target& target,
                  bool byNameAlone = false) {
    for (xmlNodePtr child = parent->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        const bool own = sameNamespace(parent, child);
        const ElementTable<Target>* entry =
            own || byNameAlone ? findXmlElement(table, child) : nullptr;
        if (entry != nullptr) {
            if (!readElement(source, entry->handler, target, child)) {
                return false;
            }
        } else if (own) {
            source.unknownElement(child);
        }
    }
    return true;
}

// The root element check and the warnings of a streamed file: the root must
// have the given name; an element no rule takes is warned about once (not
// its content), when it is in the root's namespace.
class ConfigFileVisitor : public XmlElementVisitor {
public:
    bool root(xmlNodePtr start) override;

protected:
    ConfigFileVisitor(const ConfigSource& source, const char* rootName)
        : m_source(source), m_sRootName(rootName) {}
    ~ConfigFileVisitor() = default;
    // Every element start below the root, taken or not.
    void seen(xmlNodePtr start, int depth, bool taken);

    const ConfigSource& m_source;

private:
    const char* m_sRootName;
    std::string m_sNamespace;  // of the root
    bool m_bNamespace = false;
    int m_nQuietDepth = 0;  // inside an unknown element of that depth
};

// Reads the elements of the table by local name, wherever they stand below
// the root.
template <typename Target, size_t N>
class ConfigTableVisitor final : public ConfigFileVisitor {
public:
    ConfigTableVisitor(const ConfigSource& source, const char* rootName,
                       const ElementTable<Target> (&table)[N], Target& target)
        : ConfigFileVisitor(source, rootName), m_table(table), m_target(target) {}

    bool takes(xmlNodePtr start, int depth) override {
        m_pEntry = findXmlElement(m_table, start);
        seen(start, depth, m_pEntry != nullptr);
        return m_pEntry != nullptr;
    }
    bool read(xmlNodePtr element) override {
        return element != nullptr && readElement(m_source, m_pEntry->handler, m_target, element);
    }

private:
    const ElementTable<Target> (&m_table)[N];
    Target& m_target;
    const ElementTable<Target>* m_pEntry = nullptr;
};
