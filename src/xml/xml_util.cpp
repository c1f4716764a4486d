#include "xml/xml_util.h"

#include <fcntl.h>
#include <libxml/parserInternals.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "support/fd.h"
#include "support/logger.h"

namespace {

xmlParserInputPtr refuseExternalEntity(const char* url, const char* /*id*/,
                                       xmlParserCtxtPtr /*context*/) {
    LOGD("refusing to load external XML resource '%s'", url != nullptr ? url : "");
    return nullptr;
}

// Marks a refused document (in its _private field, which the library leaves
// to the application) so that the readers stop after a getter refused a value.
char gRefusedDocument = 0;

const char* documentName(xmlDocPtr doc) {
    return doc != nullptr && doc->URL != nullptr ? reinterpret_cast<const char*>(doc->URL) : "";
}

bool isRefused(xmlDocPtr doc) {
    return doc != nullptr && doc->_private == &gRefusedDocument;
}

void markRefused(xmlDocPtr doc) {
    if (doc != nullptr) {
        doc->_private = &gRefusedDocument;
    }
}

// Logs the refusal once per document.
void refuseEntities(xmlDocPtr doc) {
    if (!isRefused(doc)) {
        logEntitiesRefused(documentName(doc));
        markRefused(doc);
    }
}

void refuseLongValue(xmlDocPtr doc) {
    if (!isRefused(doc)) {
        logValueTooLong(documentName(doc));
        markRefused(doc);
    }
}

bool declaresEntities(xmlDtdPtr dtd) {
    return dtd != nullptr && (dtd->entities != nullptr || dtd->pentities != nullptr);
}

// The document of the reader's last node: at the end of the input the reader
// has no current node, but a value refused in the last element must still
// refuse the document. The document lives as long as its reader; both are
// forgotten when the next reader is opened.
thread_local xmlTextReaderPtr lastReader = nullptr;
thread_local xmlDocPtr lastDoc = nullptr;

// Checks the node the reader stands on after a move.
int guardReaderNode(xmlTextReaderPtr reader, int result) {
    xmlNodePtr node = xmlTextReaderCurrentNode(reader);
    xmlDocPtr doc = node != nullptr ? node->doc : nullptr;
    if (doc == nullptr && reader == lastReader) {
        doc = lastDoc;
    }
    lastReader = reader;
    lastDoc = doc;
    if (isRefused(doc)) {
        return -1;
    }
    if (result == 0) {
        return result;
    }
    // Also when the library gave up first (on an entity loop, say), so that
    // the reason is logged.
    if (doc != nullptr && (declaresEntities(doc->intSubset) || declaresEntities(doc->extSubset))) {
        refuseEntities(doc);
        return -1;
    }
    if (result != 1) {
        return result;
    }
    if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ENTITY_REFERENCE) {
        refuseEntities(doc);
        return -1;
    }
    return 1;
}

// Appends the text of a node list (text and CDATA nodes; elements are
// descended into) to out, refusing entity references and overlong values.
bool appendText(xmlNodePtr first, std::string& out) {
    for (xmlNodePtr node = first; node != nullptr; node = node->next) {
        switch (node->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (node->content != nullptr) {
                    const size_t length = std::strlen(reinterpret_cast<const char*>(node->content));
                    if (length > kMaxXmlValueLength - out.size()) {
                        refuseLongValue(node->doc);
                        return false;
                    }
                    out.append(reinterpret_cast<const char*>(node->content), length);
                }
                break;
            case XML_ENTITY_REF_NODE:
            case XML_ENTITY_NODE:
            case XML_ENTITY_DECL:
                refuseEntities(node->doc);
                return false;
            case XML_ELEMENT_NODE:
                if (!appendText(node->children, out)) {
                    return false;
                }
                break;
            default:
                break;
        }
    }
    return true;
}

const char* nodeName(xmlNodePtr node) {
    return node != nullptr && node->name != nullptr ? reinterpret_cast<const char*>(node->name)
                                                    : "";
}

}  // namespace

int readXmlNode(xmlTextReaderPtr reader) {
    return guardReaderNode(reader, xmlTextReaderRead(reader));
}

int skipXmlSubtree(xmlTextReaderPtr reader) {
    return guardReaderNode(reader, xmlTextReaderNext(reader));
}

bool acceptXmlValueLength(xmlNodePtr node, size_t length) {
    xmlDocPtr doc = node != nullptr ? node->doc : nullptr;
    if (isRefused(doc)) {
        return false;
    }
    if (length > kMaxXmlValueLength) {
        refuseLongValue(doc);
        return false;
    }
    return true;
}

void prepareXmlLibrary() {
    static bool installed = false;
    if (!installed) {
        xmlSetExternalEntityLoader(refuseExternalEntity);
        installed = true;
    }
    routeXmlLibraryErrors();
}

XmlReader openXmlReader(const std::string& path, bool optional) {
    prepareXmlLibrary();
    lastReader = nullptr;
    lastDoc = nullptr;
    XmlReader reader;
    reader.m_sPath = path;
    // The library would open a directory and take the failed read for an
    // empty document.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
    } else {
        reader.m_pReader.reset(xmlReaderForFile(path.c_str(), nullptr, kXmlReaderOptions));
        if (!reader) {
            // The library's reports of the failure went to the log, which
            // may have changed errno: the system is asked once more.
            errno = 0;
            UniqueFd probe(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        }
    }
    if (!reader) {
        if (!optional || errno != ENOENT) {
            LOGE("cannot read XML file '%s' (%s)", path.c_str(),
                 errno != 0 ? errnoString().c_str() : "unknown error");
        }
        return reader;
    }
    reader.m_pErrors = std::make_unique<XmlErrorLog>(path);
    xmlTextReaderSetStructuredErrorHandler(reader.get(), XmlErrorLog::handler,
                                           reader.m_pErrors.get());
    return reader;
}

bool getElementText(xmlNodePtr node, std::string& out) {
    if (node == nullptr || isRefused(node->doc)) {
        return false;
    }
    std::string text;
    if (!appendText(node->children, text)) {
        return false;
    }
    if (text.empty()) {
        LOGD("no string list for node '%s'", nodeName(node));
        return false;
    }
    out = std::move(text);
    return true;
}

bool getAttribute(xmlNodePtr node, const char* name, std::string& out) {
    if (node == nullptr || isRefused(node->doc)) {
        return false;
    }
    for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns != nullptr || xmlStrcmp(attr->name, toXml(name)) != 0) {
            continue;
        }
        std::string value;
        if (!appendText(attr->children, value)) {
            return false;
        }
        out = std::move(value);
        return true;
    }
    LOGD("no attribute '%s' for node '%s'", name, nodeName(node));
    return false;
}

bool isElement(xmlNodePtr node, const char* name) {
    return node != nullptr && node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, toXml(name)) == 0;
}

void logEntitiesRefused(const char* file) {
    LOGE("refusing XML file '%s': entity declarations and references are not allowed", file);
}

void logValueTooLong(const char* file) {
    LOGE("refusing XML file '%s': a value is longer than %zu bytes", file, kMaxXmlValueLength);
}
