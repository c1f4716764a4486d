#include "xml/xml_stream.h"

#include "support/logger.h"

bool visitXmlElements(const XmlReader& reader, XmlElementVisitor& visitor) {
    xmlTextReaderPtr r = reader.get();
    int result = readXmlNode(r);
    while (result == 1) {
        if (xmlTextReaderNodeType(r) != XML_READER_TYPE_ELEMENT) {
            result = readXmlNode(r);
            continue;
        }
        xmlNodePtr start = xmlTextReaderCurrentNode(r);
        const int depth = xmlTextReaderDepth(r);
        if (depth == 0) {
            if (!visitor.root(start)) {
                return false;
            }
        } else if (visitor.takes(start, depth)) {
            if (!visitor.read(xmlTextReaderExpand(r))) {
                return false;
            }
            result = skipXmlSubtree(r);
            continue;
        }
        result = readXmlNode(r);
    }
    return result == 0;
}

bool isXmlRoot(xmlNodePtr start, const char* name) {
    if (!isElement(start, name)) {
        LOGE("bad top-level element, '%s' instead of '%s'", xmlString(start->name).c_str(), name);
        return false;
    }
    return true;
}
