// Shared helpers for the XML files the program reads: a streaming reader that
// never loads anything from outside the document, and element accessors.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlreader.h>

#include <cstddef>
#include <memory>
#include <string>

// Longest text or attribute value any of the XML readers accepts.
constexpr size_t kMaxXmlValueLength = 64 * 1024;

struct XmlReaderDeleter {
    void operator()(xmlTextReaderPtr reader) const {
        if (reader != nullptr) {
            xmlFreeTextReader(reader);
        }
    }
};
using XmlReader = std::unique_ptr<xmlTextReader, XmlReaderDeleter>;

// No CDATA nodes, no network, no blank nodes, no warnings, default DTD attributes.
constexpr int kXmlReaderOptions = XML_PARSE_NOCDATA | XML_PARSE_NONET | XML_PARSE_NOBLANKS |
                                  XML_PARSE_NOWARNING | XML_PARSE_DTDATTR;

// Opens a streaming reader on a file (gzip-compressed files are read
// transparently). External entities and external DTDs are refused, and the
// library's own error reports go to the log at debug level.
XmlReader openXmlReader(const std::string& path);

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

// Installs the entity loader that refuses every external resource; idempotent.
void installSafeXmlEntityLoader();

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

// The library's own error reports, at debug level (a structured error handler).
void logXmlError(void* arg, xmlErrorPtr error);
// The refusals of the guard, one Error line naming the file.
void logEntitiesRefused(const char* file);
void logValueTooLong(const char* file);
