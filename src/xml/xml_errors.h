// libxml2's own reports, routed into the program's log: nothing the library
// says reaches standard error by itself.
#pragma once

#include <libxml/xmlerror.h>

#include <string>

// The reports about one file. The first fatal error is the reason the file is
// refused: one Error line with the file, the line and the library's text.
// Errors the parser gets over are warnings; later fatal errors and the
// library's warnings go to debug level.
class XmlErrorLog {
public:
    explicit XmlErrorLog(std::string path) : m_sPath(std::move(path)) {}

    void report(const xmlError* error);
    // A structured error handler whose argument is an XmlErrorLog.
    static void handler(void* log, xmlErrorPtr error);

private:
    std::string m_sPath;
    bool m_bReasonGiven = false;
};

// Sends the reports that belong to no parser (the I/O errors of opening a
// file, say) and the library's generic messages to debug level, for the
// calling thread. Cheap; called before every parse.
void routeXmlLibraryErrors();
