#include "config/xml_util.h"

#include <libxml/parserInternals.h>

#include <cstring>

#include "support/logger.h"

namespace {

xmlParserInputPtr refuseExternalEntity(const char* url, const char* /*id*/,
                                       xmlParserCtxtPtr /*context*/) {
    LOGD("refusing to load external XML resource '%s'", url != nullptr ? url : "");
    return nullptr;
}

void readerErrorToLog(void* /*arg*/, xmlErrorPtr error) {
    if (error == nullptr || !theLogger().isEnabled(LogLevel::Debug)) {
        return;
    }
    std::string message = error->message != nullptr ? error->message : "";
    while (!message.empty() && message.back() == '\n') {
        message.pop_back();
    }
    LOGD("xml: %s line %d: %s", error->file != nullptr ? error->file : "", error->line,
         message.c_str());
}

}  // namespace

void installSafeXmlEntityLoader() {
    static bool installed = false;
    if (!installed) {
        xmlSetExternalEntityLoader(refuseExternalEntity);
        installed = true;
    }
}

XmlReader openXmlReader(const std::string& path) {
    installSafeXmlEntityLoader();
    XmlReader reader(xmlReaderForFile(path.c_str(), nullptr, kXmlReaderOptions));
    if (reader) {
        xmlTextReaderSetStructuredErrorHandler(reader.get(), readerErrorToLog, nullptr);
    }
    return reader;
}

bool getElementText(xmlNodePtr node, std::string& out) {
    xmlChar* text = xmlNodeGetContent(node);
    if (text == nullptr || text[0] == '\0') {
        if (text != nullptr) {
            xmlFree(text);
        }
        LOGD("no string list for node '%s'",
             node != nullptr ? reinterpret_cast<const char*>(node->name) : "");
        return false;
    }
    out.assign(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return true;
}

bool getAttribute(xmlNodePtr node, const char* name, std::string& out) {
    xmlChar* value = xmlGetNoNsProp(node, toXml(name));
    if (value == nullptr) {
        LOGD("no attribute '%s' for node '%s'", name,
             node != nullptr ? reinterpret_cast<const char*>(node->name) : "");
        return false;
    }
    out.assign(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return true;
}

bool isElement(xmlNodePtr node, const char* name) {
    return node != nullptr && node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, toXml(name)) == 0;
}
