#include "xml/xml_errors.h"

#include <libxml/parser.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "support/logger.h"

namespace {

// One line: the library ends its texts with a line feed and puts a few on
// two lines.
std::string withoutLineFeeds(const char* text) {
    std::string result = text != nullptr ? text : "";
    while (!result.empty() && result.back() == '\n') {
        result.pop_back();
    }
    for (char& c : result) {
        c = c == '\n' ? ' ' : c;
    }
    return result;
}

// The library's text, in the log's lower-case style. The streaming reader
// says "Extra content at the end of the document" whenever the input ends
// before the document does, and "Document is empty" for a file of plain
// text; the parser's state tells what actually happened.
std::string reasonOf(const xmlError* error) {
    std::string text = withoutLineFeeds(error->message);
    if (error->domain == XML_FROM_PARSER && error->code == XML_ERR_DOCUMENT_EMPTY) {
        text = "no root element";
    } else if (error->domain == XML_FROM_PARSER && error->code == XML_ERR_DOCUMENT_END &&
               error->ctxt != nullptr) {
        const auto* ctxt = static_cast<const xmlParserCtxt*>(error->ctxt);
        if (ctxt->nameNr > 0 && ctxt->name != nullptr) {
            text = "premature end of document inside element '" +
                   std::string(reinterpret_cast<const char*>(ctxt->name)) + "'";
        } else if (ctxt->instate != XML_PARSER_EPILOG) {
            text = "no root element";
        }
    }
    // "Opening and ending tag mismatch" starts lower-case, "AttValue" stays.
    size_t word = 1;
    while (word < text.size() && std::islower(static_cast<unsigned char>(text[word]))) {
        ++word;
    }
    const bool capitalized =
        word > 1 && (word == text.size() || !std::isalpha(static_cast<unsigned char>(text[word])));
    if (capitalized && std::isupper(static_cast<unsigned char>(text[0]))) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

void logAtDebug(const xmlError* error) {
    if (theLogger().isEnabled(LogLevel::Debug)) {
        LOGD("xml: %s line %d: %s", error->file != nullptr ? error->file : "", error->line,
             withoutLineFeeds(error->message).c_str());
    }
}

void logUnownedError(void* /*arg*/, xmlErrorPtr error) {
    if (error != nullptr) {
        logAtDebug(error);
    }
}

void logGenericMessage(void* /*arg*/, const char* format, ...) {
    if (!theLogger().isEnabled(LogLevel::Debug)) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    const std::string message = withoutLineFeeds(text);
    if (!message.empty()) {
        LOGD("xml: %s", message.c_str());
    }
}

}  // namespace

void XmlErrorLog::report(const xmlError* error) {
    if (error == nullptr) {
        return;
    }
    if (error->level == XML_ERR_FATAL && !m_bReasonGiven) {
        m_bReasonGiven = true;
        LOGE("cannot parse XML file '%s' line %d: %s", m_sPath.c_str(), error->line,
             reasonOf(error).c_str());
    } else if (error->level == XML_ERR_ERROR) {
        LOGW("problem in XML file '%s' line %d: %s", m_sPath.c_str(), error->line,
             reasonOf(error).c_str());
    } else {
        logAtDebug(error);
    }
}

void XmlErrorLog::handler(void* log, xmlErrorPtr error) {
    static_cast<XmlErrorLog*>(log)->report(error);
}

void routeXmlLibraryErrors() {
    xmlSetStructuredErrorFunc(nullptr, logUnownedError);
    xmlSetGenericErrorFunc(nullptr, logGenericMessage);
}
