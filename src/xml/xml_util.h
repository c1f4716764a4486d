// Shared helpers for the XML files the program reads: a streaming reader that
// never loads anything from outside the document, and element accessors.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlreader.h>

#include <cstddef>
#include <memory>
#include <string>

#include "xml/xml_errors.h"

// Longest text or attribute value any of the XML readers accepts.
constexpr size_t kMaxXmlValueLength = 64 * 1024;

struct XmlReaderDeleter {
    void operator()(xmlTextReaderPtr reader) const {
        if (reader != nullptr) {
            xmlFreeTextReader(reader);
        }
    }
};

// No CDATA nodes, no network, no blank nodes, no warnings, default DTD attributes.
constexpr int kXmlReaderOptions = XML_PARSE_NOCDATA | XML_PARSE_NONET | XML_PARSE_NOBLANKS |
                                  XML_PARSE_NOWARNING | XML_PARSE_DTDATTR;

// A streaming reader on one file, with the log of the library's reports
// about it (see XmlErrorLog).
class XmlReader {
public:
    xmlTextReaderPtr get() const { return m_pReader.get(); }
    explicit operator bool() const { return m_pReader != nullptr; }
    const std::string& path() const { return m_sPath; }

private:
    friend XmlReader openXmlReader(const std::string& path, bool optional);

    std::string m_sPath;
    // The reader's error handler points at it: it lives apart, and longer.
    std::unique_ptr<XmlErrorLog> m_pErrors;
    std::unique_ptr<xmlTextReader, XmlReaderDeleter> m_pReader;
};

// Opens a streaming reader on a file (gzip-compressed files are read
// transparently). External entities and external DTDs are refused, and the
// library's own reports go to the log (XmlErrorLog). A file that cannot be
// opened gives an empty reader and one Error line with the system's reason,
// except an optional file that does not exist, which is no error.
XmlReader openXmlReader(const std::string& path, bool optional = false);

// xmlTextReaderRead and xmlTextReaderNext with the guard every reader needs:
// a document that declares an entity or references one other than the five
// predefined ones is refused (-1 and one Error line naming the file), and so
// is a document in which a getter below refused a value. Character
// references and a DOCTYPE without declarations are accepted.
int readXmlNode(xmlTextReaderPtr reader);
int skipXmlSubtree(xmlTextReaderPtr reader);

// Accepts a value of that length read in place from the node's document;
// refuses the document (false, one Error line) when it is longer than
// kMaxXmlValueLength.
bool acceptXmlValueLength(xmlNodePtr node, size_t length);

// Installs the entity loader that refuses every external resource and routes
// the library's reports that belong to no parser into the log; idempotent.
void prepareXmlLibrary();

// Text content of an element (its text and CDATA children); false (and a
// debug line) when it has none. An entity reference or a value longer than
// kMaxXmlValueLength refuses the document (false, one Error line).
bool getElementText(xmlNodePtr node, std::string& out);

// Attribute value looked up without namespace; false (and a debug line) when
// absent. Refuses the document as getElementText does.
bool getAttribute(xmlNodePtr node, const char* name, std::string& out);

// The text of a libxml2 string, empty for null.
inline std::string xmlString(const xmlChar* text) {
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

inline const xmlChar* toXml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

// True when the node is an element with that local name.
bool isElement(xmlNodePtr node, const char* name);

// The refusals of the guard, one Error line naming the file.
void logEntitiesRefused(const char* file);
void logValueTooLong(const char* file);
