#include "repo/package_list.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <rpm/rpmlib.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "repo/decompress_stream.h"
#include "support/logger.h"
#include "support/system.h"
#include "xml/xml_util.h"

// The lists are read with libxml2's SAX2 interface, one `package` element of
// the common namespace at a time. While it is open, the parts of it that the
// rules below look at (the package and its children, the children of
// `format`, the entries of the dependency lists) are recorded into flat,
// reused arrays; at the package's end tag they are turned into a Package.
//
// The elements whose text is read (`name`, `arch`, `checksum`, `group`) are
// built as small trees with libxml2's own SAX2 tree handlers and freed at
// their end tag, keeping only their text. libxml2 decides from the tree it
// builds which runs of blanks are ignorable whitespace (xml:space, blanks
// beside text or alone in an element), so those texts are exactly what a
// tree of the whole element would hold.
//
// Nothing is ever loaded from outside the file: the handlers refuse every
// entity declaration and every entity reference other than the five
// predefined ones, no DTD is read but the internal subset, and every text or
// attribute value is bounded by kMaxXmlValueLength.

namespace {

// CDATA sections reach the characters handler (no cdataBlock handler), as
// text of their element.
constexpr int kListParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_COMPACT;

struct ParserCtxtFree {
    void operator()(xmlParserCtxtPtr ctxt) const { xmlFreeParserCtxt(ctxt); }
};
using ParserCtxt = std::unique_ptr<xmlParserCtxt, ParserCtxtFree>;

struct DocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

// A decimal number that makes up the whole text and lies within [min, max],
// converted by strtoul or strtol from a terminated copy of the text. errno is
// left as it was.
template <typename Number>
bool parseWholeNumber(std::string_view text, Number (*convert)(const char*, char**, int),
                      Number min, Number max, Number& out) {
    if (text.empty()) {
        return false;
    }
    // Numbers are short: the copy is on the stack unless the text is long.
    char small[32];
    std::string large;
    const char* copy = small;
    if (text.size() < sizeof(small)) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
    } else {
        large.assign(text);
        copy = large.c_str();
    }
    const int savedErrno = errno;
    errno = 0;
    char* end = nullptr;
    Number value = convert(copy, &end, 10);
    const bool ok = errno == 0 && end != copy && *end == '\0' && value >= min && value <= max;
    errno = savedErrno;
    if (ok) {
        out = value;
    }
    return ok;
}

bool parseEpoch(std::string_view text, uint32_t& epoch) {
    unsigned long value = 0;
    if (!parseWholeNumber<unsigned long>(text, strtoul, 0, UINT32_MAX, value)) {
        return false;
    }
    epoch = static_cast<uint32_t>(value);
    return true;
}

bool parseSigned(std::string_view text, long min, long max, long& out) {
    return parseWholeNumber<long>(text, strtol, min, max, out);
}

bool parseFlags(std::string_view text, uint32_t& flags) {
    static const struct {
        const char* m_pText;
        uint32_t m_nFlags;
    } kFlags[] = {
        {"EQ", RPMSENSE_EQUAL},
        {"LE", RPMSENSE_LESS | RPMSENSE_EQUAL},
        {"GE", RPMSENSE_GREATER | RPMSENSE_EQUAL},
        {"LT", RPMSENSE_LESS},
        {"GT", RPMSENSE_GREATER},
    };
    for (const auto& f : kFlags) {
        if (text == f.m_pText) {
            flags = f.m_nFlags;
            return true;
        }
    }
    return false;
}

// A location whose last component cannot name a file in the package cache
// ("", "." or "..") would make the cache path the directory itself or its
// parent.
bool isUsableLocation(const std::string& location) {
    std::string base = baseName(location);
    return !base.empty() && base != "." && base != "..";
}

// The children of `package` that may occur only once.
// The names the rules look for, as the parser's dictionary holds them: the
// parser hands over element and attribute names from that dictionary, so a
// pointer comparison tells them apart.
struct Names {
    const xmlChar* m_pPackage;
    const xmlChar* m_pName;
    const xmlChar* m_pArch;
    const xmlChar* m_pVersion;
    const xmlChar* m_pLocation;
    const xmlChar* m_pChecksum;
    const xmlChar* m_pSize;
    const xmlChar* m_pFormat;
    const xmlChar* m_pGroup;
    const xmlChar* m_pProvides;
    const xmlChar* m_pRequires;
    const xmlChar* m_pRecommends;
    const xmlChar* m_pObsoletes;
    const xmlChar* m_pEntry;
    const xmlChar* m_pType;
    const xmlChar* m_pEpoch;
    const xmlChar* m_pVer;
    const xmlChar* m_pRel;
    const xmlChar* m_pHref;
    const xmlChar* m_pInstalled;
    const xmlChar* m_pMissingOk;
    const xmlChar* m_pFlags;
    const xmlChar* m_pBase;     // xml:base, recorded under m_pXmlBase
    const xmlChar* m_pXmlBase;  // no local name has a colon
    const xmlChar* m_pCommonUri;
    const xmlChar* m_pRpmUri;
    const xmlChar* m_pVtxdataUri;

    explicit Names(xmlDictPtr dict) {
        auto name = [dict](const char* text) { return xmlDictLookup(dict, toXml(text), -1); };
        m_pPackage = name("package");
        m_pName = name("name");
        m_pArch = name("arch");
        m_pVersion = name("version");
        m_pLocation = name("location");
        m_pChecksum = name("checksum");
        m_pSize = name("size");
        m_pFormat = name("format");
        m_pGroup = name("group");
        m_pProvides = name("provides");
        m_pRequires = name("requires");
        m_pRecommends = name("recommends");
        m_pObsoletes = name("obsoletes");
        m_pEntry = name("entry");
        m_pType = name("type");
        m_pEpoch = name("epoch");
        m_pVer = name("ver");
        m_pRel = name("rel");
        m_pHref = name("href");
        m_pInstalled = name("installed");
        m_pMissingOk = name("missingok");
        m_pFlags = name("flags");
        m_pBase = name("base");
        m_pXmlBase = name("xml:base");
        m_pCommonUri = name(kCommonNamespace);
        m_pRpmUri = name(kRpmNamespace);
        m_pVtxdataUri = name(kVtxdataNamespace);
    }
};

// Namespace URIs: dictionary strings too, compared by text when the pointers
// differ.
bool sameUri(const xmlChar* a, const xmlChar* b) {
    return a == b || (a != nullptr && b != nullptr && xmlStrEqual(a, b));
}

// One recorded element of the open package element.
struct ListNode {
    const xmlChar* m_pName = nullptr;
    const xmlChar* m_pUri = nullptr;
    int32_t m_nFirstChild = -1;
    int32_t m_nLastChild = -1;
    int32_t m_nNext = -1;
    uint32_t m_nFirstAttr = 0;
    uint32_t m_nAttrCount = 0;
    // Elements whose text is read: their text in the arena, and whether they
    // had any content at all (text, elements, comments).
    uint32_t m_nTextOffset = 0;
    uint32_t m_nTextLength = 0;
    bool m_bHasContent = false;
    bool m_bRpmInScope = false;  // `format`: the rpm namespace is declared in scope
    bool m_bVtxInScope = false;  // `format`: the maker's namespace is declared in scope
    int32_t m_nLine = 0;         // where the start tag ends
};

struct ListAttr {
    const xmlChar* m_pName;
    uint32_t m_nOffset;
    uint32_t m_nLength;
};

// The kinds of package: the `type` text, and where their specific data lies.
struct PackageKind {
    const char* m_pText;
    PackageType m_nType;
    const char* m_pNamespace;
};

constexpr PackageKind kPackageKinds[] = {
    {"rpm", PackageType::RPM, kRpmNamespace},
    {"vtxpkg", PackageType::VTXPKG, kVtxdataNamespace},
    {"flashedfw", PackageType::FLASHEDFW, kVtxdataNamespace},
};

// The children of `package` that the rules read.
enum class PackageChild { NAME, ARCH, VERSION, LOCATION, CHECKSUM, SIZE, FORMAT, COUNT };

// What the rules made of one package element so far.
struct PackageDraft {
    Package& m_package;
    const PackageKind& m_kind;
    std::string m_sArch;
    bool m_aSeen[static_cast<size_t>(PackageChild::COUNT)] = {};

    bool seen(PackageChild child) const { return m_aSeen[static_cast<size_t>(child)]; }
};

// The first child a package lacks of those it needs (a firmware image may
// have no file); nullptr when it has them all.
const char* missingChild(const PackageDraft& draft) {
    if (!draft.seen(PackageChild::NAME)) {
        return "no 'name'";
    }
    if (!draft.seen(PackageChild::VERSION)) {
        return "no 'version'";
    }
    if (draft.m_package.m_nType == PackageType::FLASHEDFW) {
        return nullptr;
    }
    if (!draft.seen(PackageChild::LOCATION)) {
        return "no 'location'";
    }
    return draft.seen(PackageChild::CHECKSUM) ? nullptr : "no 'checksum'";
}

// The dependency lists inside `format`.
struct DependencyList {
    const xmlChar* Names::*m_pName;
    const char* m_pWord;
    DependencySet Package::*m_pSet;
};

constexpr DependencyList kDependencyLists[] = {
    {&Names::m_pProvides, "provides", &Package::m_setProvides},
    {&Names::m_pRequires, "requires", &Package::m_setRequires},
    {&Names::m_pRecommends, "recommends", &Package::m_setRecommends},
    {&Names::m_pObsoletes, "obsoletes", &Package::m_setObsoletes},
};

class ListReader {
public:
    ListReader(const std::string& path, MetadataType type, PackageList& target,
               const std::string& cacheDir)
        : m_sPath(path),
          m_target(target),
          m_sCacheDir(cacheDir),
          m_errors(path),
          m_cacheDir(cacheDir) {
        m_pTopName = type == MetadataType::PRIMARY ? "metadata" : "vtxdata";
        m_pTopUri = type == MetadataType::PRIMARY ? kCommonNamespace : kVtxdataNamespace;
    }

    bool read(DecompressStream& stream);
    void tellArchs(ArchVerdicts& archs) const {
        archs.m_bComplete = m_bAllArchsScored;
        archs.m_vArchs.clear();
        for (const auto& scored : m_vArchScores) {
            archs.m_vArchs.emplace_back(scored.first, scored.second != 0);
        }
    }

private:
    // How one child of `package` is read; false makes the package an error.
    struct ChildRule {
        const xmlChar* Names::*m_pName;
        PackageChild m_nChild;
        bool m_bOnce;  // a second one is an error
        bool (ListReader::*m_read)(const ListNode& node, PackageDraft& draft);
    };
    static const ChildRule kChildRules[];

    // SAX2 handlers; the context is the ListReader.
    static void onStartDocument(void* context);
    static void onStartElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                               const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                               int attributeCount, int defaultedCount, const xmlChar** attributes);
    static void onEndElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                             const xmlChar* uri);
    static void onCharacters(void* context, const xmlChar* text, int length);
    static void onIgnorableWhitespace(void* context, const xmlChar* text, int length);
    static void onComment(void* context, const xmlChar* text);
    static void onProcessingInstruction(void* context, const xmlChar* target, const xmlChar* data);
    static void onEntityDecl(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                             const xmlChar* systemId, xmlChar* content);
    static void onUnparsedEntityDecl(void* context, const xmlChar* name, const xmlChar* publicId,
                                     const xmlChar* systemId, const xmlChar* notation);
    static xmlEntityPtr onGetEntity(void* context, const xmlChar* name);
    static void onReference(void* context, const xmlChar* name);
    static void onError(void* context, xmlErrorPtr error);
    static int readStream(void* context, char* buffer, int length);
    static int closeStream(void* context);

    // The document's structure.
    void startElement(const xmlChar* localName, const xmlChar* uri, int namespaceCount,
                      const xmlChar** namespaces, int attributeCount, const xmlChar** attributes);
    void endElement(const xmlChar* localName);
    void text(const xmlChar* text, int length, bool ignorable);
    void comment(const xmlChar* text);
    void processingInstruction(const xmlChar* target, const xmlChar* data);
    void startDocument();
    void refuseEntities();
    void stop();

    bool acceptAttributeLengths(int attributeCount, const xmlChar** attributes);
    void checkTopElement(const xmlChar* localName, const xmlChar* uri);
    void startPackage(int depth);
    void startPackagePart(int relative, const xmlChar* localName, const xmlChar* uri,
                          int attributeCount, const xmlChar** attributes);
    bool isRecorded(int relative, const xmlChar* localName, bool& readText) const;
    bool namespaceInScope(const xmlChar* uri) const;
    int32_t addNode(int32_t parent, const xmlChar* localName, const xmlChar* uri,
                    int attributeCount, const xmlChar** attributes);
    void startText(int32_t index);
    void finishText(int32_t index);
    void appendTreeText(xmlNodePtr first);
    void finishPackage();

    // The rules applied to the recorded package element.
    bool findAttribute(const ListNode& node, const xmlChar* name, std::string_view& value) const;
    bool elementText(const ListNode& node, std::string_view& value) const;
    bool parseVersion(const ListNode& node, Evr& evr, std::string& problem) const;
    bool parseEntries(int32_t first, const xmlChar* uri, const char* listWord,
                      DependencySet& set) const;
    bool readEntry(const ListNode& node, const char* listWord, Dependency& dep,
                   bool& keep) const;
    bool refuse(const ListNode& node, std::string problem) const;
    std::string packageLabel() const;
    PackageParseResult parsePackage(Package& package);
    const PackageKind* packageKind(const ListNode& element) const;
    const ChildRule* childRule(const xmlChar* name) const;
    bool readName(const ListNode& node, PackageDraft& draft);
    bool readArch(const ListNode& node, PackageDraft& draft);
    bool readVersion(const ListNode& node, PackageDraft& draft);
    bool readLocation(const ListNode& node, PackageDraft& draft);
    bool readChecksum(const ListNode& node, PackageDraft& draft);
    bool readSize(const ListNode& node, PackageDraft& draft);
    bool readFormat(const ListNode& node, PackageDraft& draft);
    bool readGroup(const ListNode& node, Package& package) const;
    bool readDependencies(const ListNode& node, const DependencyList& list,
                          PackageDraft& draft) const;
    bool placeInCache(Package& package, std::string& location);
    bool compatibleArch(const PackageDraft& draft, const std::string& location);
    int archScore(const std::string& arch);

    const std::string& m_sPath;
    PackageList& m_target;
    const std::string& m_sCacheDir;
    const char* m_pTopName;
    const char* m_pTopUri;
    XmlErrorLog m_errors;

    xmlParserCtxtPtr m_pCtxt = nullptr;
    std::unique_ptr<Names> m_pNames;
    bool m_bStopped = false;   // a failure was found and reported
    int m_nDepth = 0;          // depth of the next element to start; 0 is the top element
    size_t m_nTextLength = 0;  // of the text read since the last tag

    // Namespace declarations in scope (prefix, URI), and how many each open
    // element added.
    std::vector<std::pair<const xmlChar*, const xmlChar*>> m_vNamespaces;
    std::vector<uint32_t> m_vNamespaceCounts;

    // The open package element: its depth (or -1), the recorded elements
    // (node 0 is the package), their attributes and texts, and the open
    // elements below it (-1 for those not recorded).
    int m_nPackageDepth = -1;
    std::vector<ListNode> m_vNodes;
    std::vector<ListAttr> m_vAttrs;
    std::string m_sArena;
    std::vector<int32_t> m_vOpen;
    // The element whose text is read, as libxml2 builds it: one node of the
    // document for all of them in turn, its children freed after each.
    xmlNodePtr m_pTextRoot = nullptr;
    bool m_bInText = false;

    // Architectures already scored by the RPM library, and whether that is
    // all of them (beyond kMaxScoredArchs they are asked again each time).
    std::vector<std::pair<std::string, int>> m_vArchScores;
    bool m_bAllArchsScored = true;

    PooledString m_cacheDir;  // m_sCacheDir, interned
    Package m_package;        // the package being read
    // Why the package being read is malformed, and the line of the element
    // at fault.
    mutable std::string m_sProblem;
    mutable int32_t m_nProblemLine = 0;
};

const ListReader::ChildRule ListReader::kChildRules[] = {
    {&Names::m_pName, PackageChild::NAME, true, &ListReader::readName},
    {&Names::m_pArch, PackageChild::ARCH, true, &ListReader::readArch},
    {&Names::m_pVersion, PackageChild::VERSION, true, &ListReader::readVersion},
    {&Names::m_pLocation, PackageChild::LOCATION, true, &ListReader::readLocation},
    {&Names::m_pChecksum, PackageChild::CHECKSUM, true, &ListReader::readChecksum},
    {&Names::m_pSize, PackageChild::SIZE, true, &ListReader::readSize},
    {&Names::m_pFormat, PackageChild::FORMAT, false, &ListReader::readFormat},
};

void ListReader::onStartDocument(void* context) {
    static_cast<ListReader*>(context)->startDocument();
}

void ListReader::onStartElement(void* context, const xmlChar* localName, const xmlChar* /*prefix*/,
                                const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                                int attributeCount, int /*defaultedCount*/,
                                const xmlChar** attributes) {
    static_cast<ListReader*>(context)->startElement(localName, uri, namespaceCount, namespaces,
                                                    attributeCount, attributes);
}

void ListReader::onEndElement(void* context, const xmlChar* localName, const xmlChar* /*prefix*/,
                              const xmlChar* /*uri*/) {
    static_cast<ListReader*>(context)->endElement(localName);
}

void ListReader::onCharacters(void* context, const xmlChar* text, int length) {
    static_cast<ListReader*>(context)->text(text, length, false);
}

void ListReader::onIgnorableWhitespace(void* context, const xmlChar* text, int length) {
    static_cast<ListReader*>(context)->text(text, length, true);
}

void ListReader::onComment(void* context, const xmlChar* text) {
    static_cast<ListReader*>(context)->comment(text);
}

void ListReader::onProcessingInstruction(void* context, const xmlChar* target,
                                         const xmlChar* data) {
    static_cast<ListReader*>(context)->processingInstruction(target, data);
}

void ListReader::onEntityDecl(void* context, const xmlChar* /*name*/, int /*type*/,
                              const xmlChar* /*publicId*/, const xmlChar* /*systemId*/,
                              xmlChar* /*content*/) {
    static_cast<ListReader*>(context)->refuseEntities();
}

void ListReader::onUnparsedEntityDecl(void* context, const xmlChar* /*name*/,
                                      const xmlChar* /*publicId*/, const xmlChar* /*systemId*/,
                                      const xmlChar* /*notation*/) {
    static_cast<ListReader*>(context)->refuseEntities();
}

xmlEntityPtr ListReader::onGetEntity(void* context, const xmlChar* /*name*/) {
    // The parser resolves the predefined entities itself; anything asked
    // here is another one.
    static_cast<ListReader*>(context)->refuseEntities();
    return nullptr;
}

void ListReader::onReference(void* context, const xmlChar* /*name*/) {
    static_cast<ListReader*>(context)->refuseEntities();
}

void ListReader::onError(void* context, xmlErrorPtr error) {
    // The parser hands over the reader; libxml2's tree handlers report
    // running out of memory with the parser context instead, whose
    // application data is the reader.
    ListReader* reader = static_cast<ListReader*>(context);
    if (error != nullptr && error->ctxt != nullptr &&
        (context == nullptr || context == error->ctxt)) {
        reader = static_cast<ListReader*>(static_cast<xmlParserCtxtPtr>(error->ctxt)->_private);
    }
    if (reader == nullptr) {
        return;
    }
    reader->m_errors.report(error);
    if (error != nullptr && error->code == XML_ERR_NO_MEMORY) {
        // The parser gives up without making the document ill-formed.
        reader->m_bStopped = true;
    }
}

int ListReader::readStream(void* context, char* buffer, int length) {
    return static_cast<DecompressStream*>(context)->read(buffer, static_cast<size_t>(length));
}

int ListReader::closeStream(void* /*context*/) {
    // parsePackageList owns the stream.
    return 0;
}

// The document the texts are built in, and the element node they are built
// below (the document's element; its name is never looked at).
void ListReader::startDocument() {
    xmlSAX2StartDocument(m_pCtxt);
    xmlDocPtr doc = m_pCtxt->myDoc;
    if (doc != nullptr) {
        m_pTextRoot = xmlNewDocNode(doc, nullptr, toXml("text"), nullptr);
        xmlAddChild(reinterpret_cast<xmlNodePtr>(doc), m_pTextRoot);
    }
}

void ListReader::stop() {
    m_bStopped = true;
    xmlStopParser(m_pCtxt);
}

void ListReader::refuseEntities() {
    if (m_bStopped) {
        return;
    }
    logEntitiesRefused(m_sPath.c_str());
    stop();
}

bool ListReader::acceptAttributeLengths(int attributeCount, const xmlChar** attributes) {
    for (int i = 0; i < attributeCount; ++i) {
        const xmlChar* const* a = attributes + 5 * i;
        if (static_cast<size_t>(a[4] - a[3]) > kMaxXmlValueLength) {
            logValueTooLong(m_sPath.c_str());
            stop();
            return false;
        }
    }
    return true;
}

bool ListReader::namespaceInScope(const xmlChar* uri) const {
    // The innermost declaration of each prefix is the one in scope.
    const xmlChar* seen[16];
    size_t seenCount = 0;
    for (size_t i = m_vNamespaces.size(); i-- > 0;) {
        const xmlChar* prefix = m_vNamespaces[i].first;
        bool shadowed = false;
        for (size_t j = 0; j < seenCount && !shadowed; ++j) {
            shadowed = seen[j] == prefix ||
                       (seen[j] != nullptr && prefix != nullptr && xmlStrEqual(seen[j], prefix));
        }
        if (shadowed) {
            continue;
        }
        if (sameUri(m_vNamespaces[i].second, uri)) {
            return true;
        }
        if (seenCount < sizeof(seen) / sizeof(seen[0])) {
            seen[seenCount++] = prefix;
        }
    }
    return false;
}

void ListReader::startElement(const xmlChar* localName, const xmlChar* uri, int namespaceCount,
                              const xmlChar** namespaces, int attributeCount,
                              const xmlChar** attributes) {
    if (m_bStopped) {
        return;
    }
    m_nTextLength = 0;
    if (!acceptAttributeLengths(attributeCount, attributes)) {
        return;
    }
    for (int i = 0; i < namespaceCount; ++i) {
        m_vNamespaces.emplace_back(namespaces[2 * i], namespaces[2 * i + 1]);
    }
    m_vNamespaceCounts.push_back(static_cast<uint32_t>(namespaceCount));
    const int depth = m_nDepth++;
    if (depth == 0) {
        checkTopElement(localName, uri);
    } else if (m_nPackageDepth >= 0) {
        startPackagePart(depth - m_nPackageDepth, localName, uri, attributeCount, attributes);
    } else if (localName == m_pNames->m_pPackage && sameUri(uri, m_pNames->m_pCommonUri)) {
        startPackage(depth);
        m_vOpen.push_back(addNode(-1, localName, uri, attributeCount, attributes));
    }
}

// An element below the package, `relative` levels deep (1: a child).
void ListReader::startPackagePart(int relative, const xmlChar* localName, const xmlChar* uri,
                                  int attributeCount, const xmlChar** attributes) {
    if (m_bInText) {
        // Inside an element whose text is read: part of its tree.
        xmlSAX2StartElementNs(m_pCtxt, localName, nullptr, nullptr, 0, nullptr, 0, 0, nullptr);
        m_vOpen.push_back(-1);
        return;
    }
    bool readText = false;
    if (!isRecorded(relative, localName, readText)) {
        m_vOpen.push_back(-1);
        return;
    }
    const int32_t index = addNode(m_vOpen.back(), localName, uri, attributeCount, attributes);
    m_vOpen.push_back(index);
    const Names& n = *m_pNames;
    if (relative == 1 && localName == n.m_pFormat) {
        ListNode& node = m_vNodes[static_cast<size_t>(index)];
        node.m_bRpmInScope = namespaceInScope(n.m_pRpmUri);
        node.m_bVtxInScope = namespaceInScope(n.m_pVtxdataUri);
    }
    if (readText) {
        startText(index);
    }
}

// The package's children, the children of `format` and the entries of the
// dependency lists are recorded; of them, the elements whose text the rules
// read are built as trees.
bool ListReader::isRecorded(int relative, const xmlChar* localName, bool& readText) const {
    const int32_t parent = m_vOpen.back();
    if (parent < 0) {
        return false;
    }
    const Names& n = *m_pNames;
    const xmlChar* parentName = m_vNodes[static_cast<size_t>(parent)].m_pName;
    switch (relative) {
        case 1:
            readText =
                localName == n.m_pName || localName == n.m_pArch || localName == n.m_pChecksum;
            return true;
        case 2:
            readText = parentName == n.m_pFormat && localName == n.m_pGroup;
            return parentName == n.m_pFormat;
        case 3:
            for (const DependencyList& list : kDependencyLists) {
                if (parentName == n.*list.m_pName) {
                    return true;
                }
            }
            return false;
        default:
            return false;
    }
}

void ListReader::checkTopElement(const xmlChar* localName, const xmlChar* uri) {
    if (!xmlStrEqual(localName, toXml(m_pTopName)) || uri == nullptr ||
        !xmlStrEqual(uri, toXml(m_pTopUri))) {
        LOGE("bad top-level element, '%s' instead of '%s'",
             reinterpret_cast<const char*>(localName), m_pTopName);
        stop();
    }
}

void ListReader::startPackage(int depth) {
    m_nPackageDepth = depth;
    m_vNodes.clear();
    m_vAttrs.clear();
    m_sArena.clear();
    m_vOpen.clear();
}

// Records an element below `parent` (-1: the package itself) with its
// attributes; of those with a prefix only xml:base, which is refused.
int32_t ListReader::addNode(int32_t parent, const xmlChar* localName, const xmlChar* uri,
                            int attributeCount, const xmlChar** attributes) {
    const int32_t index = static_cast<int32_t>(m_vNodes.size());
    m_vNodes.emplace_back();
    if (parent >= 0) {
        ListNode& p = m_vNodes[static_cast<size_t>(parent)];
        if (p.m_nLastChild >= 0) {
            m_vNodes[static_cast<size_t>(p.m_nLastChild)].m_nNext = index;
        } else {
            p.m_nFirstChild = index;
        }
        p.m_nLastChild = index;
    }
    ListNode& node = m_vNodes.back();
    node.m_pName = localName;
    node.m_pUri = uri;
    node.m_nLine = xmlSAX2GetLineNumber(m_pCtxt);
    node.m_nFirstAttr = static_cast<uint32_t>(m_vAttrs.size());
    for (int i = 0; i < attributeCount; ++i) {
        const xmlChar* const* a = attributes + 5 * i;
        const xmlChar* name = a[0];
        if (a[1] != nullptr) {
            if (name != m_pNames->m_pBase || !sameUri(a[2], XML_XML_NAMESPACE)) {
                continue;
            }
            name = m_pNames->m_pXmlBase;
        }
        const size_t length = static_cast<size_t>(a[4] - a[3]);
        m_vAttrs.push_back(
            {name, static_cast<uint32_t>(m_sArena.size()), static_cast<uint32_t>(length)});
        m_sArena.append(reinterpret_cast<const char*>(a[3]), length);
    }
    node.m_nAttrCount = static_cast<uint32_t>(m_vAttrs.size()) - node.m_nFirstAttr;
    return index;
}

// The parser's current node becomes the text root, so that what the element
// holds is built below it (elements without namespaces or attributes: only
// the text is read).
void ListReader::startText(int32_t index) {
    if (m_pTextRoot == nullptr || nodePush(m_pCtxt, m_pTextRoot) < 0) {
        // Out of memory, reported by libxml2.
        stop();
        return;
    }
    m_bInText = true;
    m_vNodes[static_cast<size_t>(index)].m_nTextOffset = static_cast<uint32_t>(m_sArena.size());
}

// Called once the text root is no longer the current node.
void ListReader::finishText(int32_t index) {
    ListNode& node = m_vNodes[static_cast<size_t>(index)];
    node.m_bHasContent = m_pTextRoot->children != nullptr;
    appendTreeText(m_pTextRoot->children);
    node.m_nTextLength = static_cast<uint32_t>(m_sArena.size() - node.m_nTextOffset);
    while (xmlNodePtr child = m_pTextRoot->children) {
        xmlUnlinkNode(child);
        xmlFreeNode(child);
    }
    m_bInText = false;
}

// The text of the nodes and their descendants; comments and processing
// instructions add nothing.
void ListReader::appendTreeText(xmlNodePtr first) {
    for (xmlNodePtr node = first; node != nullptr; node = node->next) {
        if (node->type == XML_TEXT_NODE && node->content != nullptr) {
            m_sArena.append(reinterpret_cast<const char*>(node->content));
        } else if (node->type == XML_ELEMENT_NODE) {
            appendTreeText(node->children);
        }
    }
}

void ListReader::endElement(const xmlChar* localName) {
    if (m_bStopped) {
        return;
    }
    m_nTextLength = 0;
    const int depth = --m_nDepth;
    m_vNamespaces.resize(m_vNamespaces.size() - m_vNamespaceCounts.back());
    m_vNamespaceCounts.pop_back();
    if (m_nPackageDepth < 0) {
        return;
    }
    const int32_t index = m_vOpen.back();
    m_vOpen.pop_back();
    if (m_bInText) {
        xmlSAX2EndElementNs(m_pCtxt, localName, nullptr, nullptr);
        if (index >= 0) {
            finishText(index);
        }
    }
    if (depth == m_nPackageDepth) {
        m_nPackageDepth = -1;
        finishPackage();
    }
}

void ListReader::text(const xmlChar* text, int length, bool ignorable) {
    if (m_bStopped) {
        return;
    }
    m_nTextLength += static_cast<size_t>(length);
    if (m_nTextLength > kMaxXmlValueLength) {
        logValueTooLong(m_sPath.c_str());
        stop();
        return;
    }
    if (m_bInText && !ignorable) {
        xmlSAX2Characters(m_pCtxt, text, length);
    }
}

void ListReader::comment(const xmlChar* text) {
    if (m_bStopped) {
        return;
    }
    m_nTextLength = 0;
    if (m_bInText) {
        xmlSAX2Comment(m_pCtxt, text);
    }
}

void ListReader::processingInstruction(const xmlChar* target, const xmlChar* data) {
    if (m_bStopped) {
        return;
    }
    m_nTextLength = 0;
    if (m_bInText) {
        xmlSAX2ProcessingInstruction(m_pCtxt, target, data);
    }
}

bool ListReader::findAttribute(const ListNode& node, const xmlChar* name,
                               std::string_view& value) const {
    for (uint32_t i = node.m_nFirstAttr; i < node.m_nFirstAttr + node.m_nAttrCount; ++i) {
        const ListAttr& a = m_vAttrs[i];
        if (a.m_pName == name) {
            value = std::string_view(m_sArena.data() + a.m_nOffset, a.m_nLength);
            return true;
        }
    }
    return false;
}

// The text of an element and all its descendants; false when there is none.
bool ListReader::elementText(const ListNode& node, std::string_view& value) const {
    if (node.m_nTextLength == 0) {
        return false;
    }
    value = std::string_view(m_sArena.data() + node.m_nTextOffset, node.m_nTextLength);
    return true;
}

// Records why the package is malformed; false, for the rule to return.
bool ListReader::refuse(const ListNode& node, std::string problem) const {
    m_sProblem = std::move(problem);
    m_nProblemLine = node.m_nLine;
    return false;
}

// The package being read as messages name it: by its `name` child when it
// has one.
std::string ListReader::packageLabel() const {
    const ListNode& element = m_vNodes[0];
    std::string_view name;
    for (int32_t index = element.m_nFirstChild; index >= 0;) {
        const ListNode& node = m_vNodes[static_cast<size_t>(index)];
        index = node.m_nNext;
        if (node.m_pName == m_pNames->m_pName && sameUri(node.m_pUri, element.m_pUri) &&
            elementText(node, name)) {
            return "package '" + std::string(name) + "'";
        }
    }
    return "package";
}

// The epoch, version and release attributes of a `version` element or an
// entry; the problem names what is wrong.
bool ListReader::parseVersion(const ListNode& node, Evr& evr, std::string& problem) const {
    const Names& n = *m_pNames;
    std::string_view epochText;
    std::string_view verText;
    if (!findAttribute(node, n.m_pEpoch, epochText) || !findAttribute(node, n.m_pVer, verText)) {
        problem = "no 'epoch' or no 'ver'";
        return false;
    }
    uint32_t epoch = 0;
    if (!parseEpoch(epochText, epoch)) {
        problem = "invalid epoch '" + std::string(epochText) + "'";
        return false;
    }
    std::string_view relText;
    evr.m_nEpoch = epoch;
    evr.m_sVersion = verText;
    if (findAttribute(node, n.m_pRel, relText)) {
        evr.m_sRelease = relText;
    } else {
        evr.m_sRelease.clear();
    }
    return true;
}

bool ListReader::parseEntries(int32_t first, const xmlChar* uri, const char* listWord,
                              DependencySet& set) const {
    const Names& n = *m_pNames;
    for (int32_t index = first; index >= 0;) {
        const ListNode& node = m_vNodes[static_cast<size_t>(index)];
        index = node.m_nNext;
        if (node.m_pName != n.m_pEntry || !sameUri(node.m_pUri, uri)) {
            continue;
        }
        Dependency dep;
        bool keep = false;
        if (!readEntry(node, listWord, dep, keep)) {
            return false;
        }
        if (keep) {
            LOGT("%s", depToString(dep).c_str());
            set.insert(dep);
        }
    }
    return true;
}

// One entry of a dependency list; `keep` is false for the entries the model
// never holds (the package manager's own features, optional ones).
bool ListReader::readEntry(const ListNode& node, const char* listWord, Dependency& dep,
                           bool& keep) const {
    const Names& n = *m_pNames;
    std::string_view name;
    if (!findAttribute(node, n.m_pName, name)) {
        return refuse(node, std::string(listWord) + " entry without 'name'");
    }
    if (name.compare(0, 7, "rpmlib(") == 0) {
        return true;
    }
    auto problem = [&](const std::string& what) {
        return refuse(node, std::string(listWord) + " entry '" + std::string(name) + "': " + what);
    };
    std::string_view value;
    if (findAttribute(node, n.m_pMissingOk, value)) {
        long missingOk = 0;
        if (!parseSigned(value, INT32_MIN, INT32_MAX, missingOk)) {
            return problem("invalid 'missingok' '" + std::string(value) + "'");
        }
        if (missingOk != 0) {
            LOGT("skipping missingok dep '%s'", std::string(name).c_str());
            return true;
        }
    }
    dep.m_sName = name;
    // Without a version the entry has no range, whatever its flags say.
    if (findAttribute(node, n.m_pVer, value)) {
        std::string why;
        if (!parseVersion(node, dep.m_evr, why)) {
            return problem(why);
        }
        if (!findAttribute(node, n.m_pFlags, value)) {
            return problem("no 'flags'");
        }
        if (!parseFlags(value, dep.m_nFlags)) {
            return problem("invalid flags '" + std::string(value) + "'");
        }
    }
    keep = true;
    return true;
}

bool ListReader::readName(const ListNode& node, PackageDraft& draft) {
    std::string_view value;
    if (!elementText(node, value)) {
        return refuse(node, "empty 'name'");
    }
    draft.m_package.m_sName = value;
    return true;
}

bool ListReader::readArch(const ListNode& node, PackageDraft& draft) {
    // An empty arch element scores 0, like a missing one.
    std::string_view value;
    if (node.m_bHasContent && elementText(node, value)) {
        draft.m_sArch.assign(value);
    }
    return true;
}

bool ListReader::readVersion(const ListNode& node, PackageDraft& draft) {
    std::string why;
    return parseVersion(node, draft.m_package.m_evr, why) || refuse(node, "'version': " + why);
}

// A location relative to another base than the repository's (xml:base, as
// `createrepo_c --baseurl` writes it) is refused: its server would need
// trust, proxy and credential rules of its own.
bool ListReader::readLocation(const ListNode& node, PackageDraft& draft) {
    std::string_view value;
    if (findAttribute(node, m_pNames->m_pXmlBase, value)) {
        return refuse(node, "location with xml:base '" + std::string(value) +
                                "', which is not supported");
    }
    if (!findAttribute(node, m_pNames->m_pHref, value)) {
        return refuse(node, "'location' without 'href'");
    }
    draft.m_package.m_sLocation = value;
    return true;
}

bool ListReader::readChecksum(const ListNode& node, PackageDraft& draft) {
    std::string_view type;
    std::string_view value;
    if (!findAttribute(node, m_pNames->m_pType, type)) {
        return refuse(node, "'checksum' without 'type'");
    }
    if (!elementText(node, value)) {
        return refuse(node, "empty 'checksum'");
    }
    draft.m_package.m_checksum.m_sType = type;
    draft.m_package.m_checksum.m_sValue = value;
    return true;
}

bool ListReader::readSize(const ListNode& node, PackageDraft& draft) {
    std::string_view value;
    if (!findAttribute(node, m_pNames->m_pInstalled, value)) {
        return refuse(node, "'size' without 'installed'");
    }
    long size = 0;
    if (!parseSigned(value, LONG_MIN, LONG_MAX, size)) {
        return refuse(node, "invalid installed size '" + std::string(value) + "'");
    }
    draft.m_package.m_nInstalledSize = size;
    // The file's size bounds its download; without a usable one the
    // download has no bound but the checksum.
    if (findAttribute(node, m_pNames->m_pPackage, value)) {
        if (parseSigned(value, 0, LONG_MAX, size)) {
            draft.m_package.m_nPackageSize = size;
        } else {
            LOGD("ignoring '%s' property '%s'", "package", std::string(value).c_str());
        }
    }
    return true;
}

// The kind-specific data, in the kind's namespace; without a declaration of
// that namespace the package simply has none.
bool ListReader::readFormat(const ListNode& node, PackageDraft& draft) {
    const Names& n = *m_pNames;
    const bool rpm = draft.m_kind.m_pNamespace == kRpmNamespace;
    if (!(rpm ? node.m_bRpmInScope : node.m_bVtxInScope)) {
        LOGD("no %s specific data in XML doc", draft.m_kind.m_pText);
        return true;
    }
    const xmlChar* uri = rpm ? n.m_pRpmUri : n.m_pVtxdataUri;
    for (int32_t index = node.m_nFirstChild; index >= 0;) {
        const ListNode& child = m_vNodes[static_cast<size_t>(index)];
        index = child.m_nNext;
        if (!sameUri(child.m_pUri, uri)) {
            continue;
        }
        if (child.m_pName == n.m_pGroup) {
            if (!readGroup(child, draft.m_package)) {
                return false;
            }
            continue;
        }
        for (const DependencyList& list : kDependencyLists) {
            if (child.m_pName == n.*list.m_pName && !readDependencies(child, list, draft)) {
                return false;
            }
        }
    }
    return true;
}

bool ListReader::readGroup(const ListNode& node, Package& package) const {
    std::string_view text;
    if (!package.m_sGroup.empty()) {
        return refuse(node, "more than one 'group'");
    }
    if (!elementText(node, text)) {
        return refuse(node, "empty 'group'");
    }
    package.m_sGroup = text;
    return true;
}

bool ListReader::readDependencies(const ListNode& node, const DependencyList& list,
                                  PackageDraft& draft) const {
    Package& package = draft.m_package;
    LOGT("parsing %s %s for '%s'", draft.m_kind.m_pText, list.m_pWord, package.m_sName.c_str());
    return parseEntries(node.m_nFirstChild, node.m_pUri, list.m_pWord, package.*list.m_pSet);
}

const PackageKind* ListReader::packageKind(const ListNode& element) const {
    std::string_view text;
    if (!findAttribute(element, m_pNames->m_pType, text)) {
        text = std::string_view();
    }
    for (const PackageKind& kind : kPackageKinds) {
        if (text == kind.m_pText) {
            return &kind;
        }
    }
    LOGW("ignoring %s of unknown type '%s'", packageLabel().c_str(), std::string(text).c_str());
    return nullptr;
}

const ListReader::ChildRule* ListReader::childRule(const xmlChar* name) const {
    for (const ChildRule& rule : kChildRules) {
        if (name == (*m_pNames).*rule.m_pName) {
            return &rule;
        }
    }
    return nullptr;
}

// The file name part of the location names the cache file (unless the
// location ends in "/"), so it must be able to name a file.
bool ListReader::placeInCache(Package& package, std::string& location) {
    location = package.m_sLocation.str();
    const PooledString& base = package.m_sLocation.base();
    if (base.empty() ? !isUsableLocation(location) : base == "." || base == "..") {
        return false;
    }
    if (!m_sCacheDir.empty()) {
        if (!base.empty() && m_sCacheDir.back() == '/') {
            package.m_sCacheFile = PooledPath(m_cacheDir, base);
        } else {
            package.m_sCacheFile = m_sCacheDir + baseName(location);
        }
    }
    return true;
}

int ListReader::archScore(const std::string& arch) {
    for (const auto& known : m_vArchScores) {
        if (known.first == arch) {
            return known.second;
        }
    }
    int score = rpmMachineScore(RPM_MACHTABLE_INSTARCH, arch.c_str());
    if (m_vArchScores.size() < kMaxScoredArchs) {
        m_vArchScores.emplace_back(arch, score);
    } else {
        m_bAllArchsScored = false;
    }
    return score;
}

bool ListReader::compatibleArch(const PackageDraft& draft, const std::string& location) {
    if (archScore(draft.m_sArch) != 0) {
        return true;
    }
    LOGW("skipping %s package '%s' of non-compatible arch '%s'", draft.m_kind.m_pText,
         draft.seen(PackageChild::LOCATION) ? baseName(location).c_str()
                                            : packageToString(draft.m_package).c_str(),
         draft.m_sArch.c_str());
    return false;
}

PackageParseResult ListReader::parsePackage(Package& package) {
    const ListNode& element = m_vNodes[0];
    const PackageKind* kind = packageKind(element);
    if (kind == nullptr) {
        return PackageParseResult::DROPPED;
    }
    package.m_nType = kind->m_nType;
    // Every child element is recorded: none at all is an error.
    if (element.m_nFirstChild < 0) {
        refuse(element, "no child elements");
        return PackageParseResult::ERROR;
    }
    PackageDraft draft{package, *kind, std::string(), {}};
    for (int32_t index = element.m_nFirstChild; index >= 0;) {
        const ListNode& node = m_vNodes[static_cast<size_t>(index)];
        index = node.m_nNext;
        const ChildRule* rule =
            sameUri(node.m_pUri, element.m_pUri) ? childRule(node.m_pName) : nullptr;
        if (rule == nullptr) {
            continue;
        }
        bool& seen = draft.m_aSeen[static_cast<size_t>(rule->m_nChild)];
        if (rule->m_bOnce && seen) {
            refuse(node, "more than one '" + xmlString(node.m_pName) + "'");
            return PackageParseResult::ERROR;
        }
        if (!(this->*rule->m_read)(node, draft)) {
            return PackageParseResult::ERROR;
        }
        seen = true;
    }
    if (const char* missing = missingChild(draft)) {
        refuse(element, missing);
        return PackageParseResult::ERROR;
    }
    std::string location;
    if (draft.seen(PackageChild::LOCATION) && !placeInCache(package, location)) {
        refuse(element, "invalid location '" + location + "'");
        return PackageParseResult::ERROR;
    }
    if (!compatibleArch(draft, location)) {
        return PackageParseResult::DROPPED;
    }
    package.m_sArch = draft.m_sArch;
    return PackageParseResult::ACCEPTED;
}


void ListReader::finishPackage() {
    // One record for every package of the list: its dependency arrays keep
    // their storage, and the list copies them into its own.
    Package& package = m_package;
    DependencySet sets[] = {std::move(package.m_setRequires), std::move(package.m_setRecommends),
                            std::move(package.m_setProvides), std::move(package.m_setObsoletes)};
    package = Package();
    package.m_setRequires = std::move(sets[0]);
    package.m_setRecommends = std::move(sets[1]);
    package.m_setProvides = std::move(sets[2]);
    package.m_setObsoletes = std::move(sets[3]);
    package.m_setRequires.reset();
    package.m_setRecommends.reset();
    package.m_setProvides.reset();
    package.m_setObsoletes.reset();
    PackageParseResult parsed = parsePackage(package);
    if (parsed == PackageParseResult::ERROR) {
        LOGE("invalid %s in '%s' line %d: %s", packageLabel().c_str(), m_sPath.c_str(),
             static_cast<int>(m_nProblemLine), m_sProblem.c_str());
        stop();
        return;
    }
    if (parsed == PackageParseResult::ACCEPTED) {
        m_target.insert(static_cast<const Package&>(package));
    }
}

bool ListReader::read(DecompressStream& stream) {
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof(sax));
    sax.initialized = XML_SAX2_MAGIC;
    sax.startDocument = onStartDocument;
    sax.startElementNs = onStartElement;
    sax.endElementNs = onEndElement;
    sax.characters = onCharacters;
    // A handler of its own, so that the parser tells ignorable whitespace
    // in the elements built as trees.
    sax.ignorableWhitespace = onIgnorableWhitespace;
    sax.comment = onComment;
    sax.processingInstruction = onProcessingInstruction;
    sax.entityDecl = onEntityDecl;
    sax.unparsedEntityDecl = onUnparsedEntityDecl;
    sax.getEntity = onGetEntity;
    sax.getParameterEntity = onGetEntity;
    sax.reference = onReference;
    sax.serror = onError;

    prepareXmlLibrary();
    // A context with these handlers, whose input xmlCtxtReadIO replaces by
    // one that carries the file's name into libxml2's reports.
    ParserCtxt ctxt(xmlCreateIOParserCtxt(&sax, this, readStream, closeStream, &stream,
                                          XML_CHAR_ENCODING_NONE));
    if (!ctxt) {
        return false;
    }
    m_pCtxt = ctxt.get();
    m_pCtxt->_private = this;
    m_pNames = std::make_unique<Names>(m_pCtxt->dict);
    // The document only when it is well-formed.
    Doc doc(xmlCtxtReadIO(m_pCtxt, readStream, closeStream, &stream, m_sPath.c_str(), nullptr,
                          kListParseOptions));
    m_pCtxt = nullptr;
    return doc != nullptr && !m_bStopped;
}

}  // namespace

bool parsePackageList(const std::string& path, MetadataType type, PackageList& target,
                      const std::string& cacheDir, ArchVerdicts* archs) {
    const char* typeName = metadataTypeName(type);
    if (typeName == nullptr) {
        return false;
    }
    std::unique_ptr<DecompressStream> stream = DecompressStream::open(path);
    if (!stream) {
        LOGE("could not open %s file '%s' for parsing", typeName, path.c_str());
        return false;
    }
    // A list that fails adds nothing, whichever package the failure is in.
    const size_t before = target.size();
    ListReader reader(path, type, target, cacheDir);
    bool ok = reader.read(*stream);
    if (ok && !stream->drain()) {
        LOGE("failed while reading from '%s'", path.c_str());
        ok = false;
    }
    if (!ok) {
        target.truncate(before);
    } else if (archs != nullptr) {
        reader.tellArchs(*archs);
    }
    return ok;
}
