// The stream-and-expand reading shared by the program's XML readers: the
// streaming reader steps through the document; an element a reader takes is
// expanded into a subtree, handed over and passed over as a whole, and the
// reader goes on inside any other element.
#pragma once

#include <libxml/tree.h>

#include <cstddef>

#include "xml/xml_util.h"

// What one reader makes of the elements of its file.
class XmlElementVisitor {
public:
    // The root element's start tag (name, namespace, attributes and line; its
    // children are not read yet). False refuses the document.
    virtual bool root(xmlNodePtr start) = 0;
    // The start tag of an element below the root: true to have it expanded
    // and handed to read(), false to go on inside it.
    virtual bool takes(xmlNodePtr start, int depth) = 0;
    // The element taken, expanded into its subtree; null when it could not
    // be expanded. False ends the reading and fails it.
    virtual bool read(xmlNodePtr element) = 0;

protected:
    ~XmlElementVisitor() = default;
};

// Reads the document to its end. True when the end was reached; false on a
// read or parse error, a refused root or a failed read().
bool visitXmlElements(const XmlReader& reader, XmlElementVisitor& visitor);

// True when the root element has that local name; otherwise false after
// "bad top-level element, '%s' instead of '%s'" at Error.
bool isXmlRoot(xmlNodePtr start, const char* name);

// One element name and its handler, as readers keep them in tables.
template <typename Handler>
struct XmlElementEntry {
    const char* name;
    Handler handler;
};

// The entry for the element's local name, or null.
template <typename Handler, size_t N>
const XmlElementEntry<Handler>* findXmlElement(const XmlElementEntry<Handler> (&table)[N],
                                               xmlNodePtr element) {
    for (const XmlElementEntry<Handler>& entry : table) {
        if (isElement(element, entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}
