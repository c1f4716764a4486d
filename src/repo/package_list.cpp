#include "repo/package_list.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <rpm/rpmlib.h>
#include <zlib.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "support/logger.h"
#include "support/system.h"
#include "xml/xml_util.h"

// The lists are read with libxml2's SAX2 interface: no tree is built. While a
// `package` element of the common namespace is open, the parts of it that the
// rules below look at (the package and its children, the children of
// `format`, the entries of the dependency lists, and everything under the
// elements whose text is read) are recorded into flat, reused arrays; at the
// package's end tag they are turned into a Package, with the same rules, the
// same results and the same messages as a tree of the element would give.
//
// Nothing is ever loaded from outside the file: the handlers refuse every
// entity declaration and every entity reference other than the five
// predefined ones, no DTD is read but the internal subset, and every text or
// attribute value is bounded by kMaxXmlValueLength.

namespace {

constexpr int kListParseOptions = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_DTDATTR;

// Bytes read from the file per read of zlib, and bytes decompressed per block
// handed to the parser.
constexpr unsigned kGzBufferSize = 64 * 1024;
constexpr size_t kBlockSize = 64 * 1024;
constexpr size_t kBlocks = 4;

struct GzFileCloser {
    void operator()(gzFile file) const {
        if (file != nullptr) {
            gzclose(file);
        }
    }
};
using GzFile = std::unique_ptr<gzFile_s, GzFileCloser>;

struct ParserCtxtFree {
    void operator()(xmlParserCtxtPtr ctxt) const {
        if (ctxt != nullptr) {
            if (ctxt->myDoc != nullptr) {
                xmlFreeDoc(ctxt->myDoc);
                ctxt->myDoc = nullptr;
            }
            xmlFreeParserCtxt(ctxt);
        }
    }
};
using ParserCtxt = std::unique_ptr<xmlParserCtxt, ParserCtxtFree>;

// zlib reports a stream cut short only through its error state.
bool gzStreamFailed(gzFile file) {
    int error = Z_OK;
    gzerror(file, &error);
    return error != Z_OK;
}

// Decompresses the file in a thread of its own while the parser reads, as
// `zcat FILE | parser` would: the two share a few blocks, and each side works
// on a block of its own without holding the lock. The thread handles no
// signals; it is stopped and joined before the pipe goes away.
class GzPipe {
public:
    explicit GzPipe(gzFile file) : m_file(file) {
        for (Block& block : m_aBlocks) {
            block.m_vData.resize(kBlockSize);
        }
        // zlib allocates its buffers on the first look at the file: here, so
        // that they come from the main thread's heap.
        gzdirect(m_file);
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            m_thread = std::thread(&GzPipe::run, this);
        } catch (const std::system_error& error) {
            // Out of threads or memory for a stack: read in this thread.
            LOGD("decompressing in the parser's thread (%s)", error.what());
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ~GzPipe() {
        if (!m_thread.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_cvFree.notify_one();
        m_thread.join();
    }
    GzPipe(const GzPipe&) = delete;
    GzPipe& operator=(const GzPipe&) = delete;

    // libxml2's read callback: bytes copied, 0 at the end, -1 on a failure.
    static int read(void* context, char* buffer, int length) {
        return static_cast<GzPipe*>(context)->take(buffer, static_cast<size_t>(length));
    }
    static int close(void* /*context*/) {
        // The GzFile owner closes the file.
        return 0;
    }
    // Reads what the parser left to the end of the stream: false when the
    // stream is damaged, also where the parser had already seen the end of
    // the document (a damaged trailer, data lost with the last read).
    bool drain() {
        char rest[4096];
        int n;
        while ((n = take(rest, sizeof(rest))) > 0) {
        }
        return n == 0;
    }

private:
    struct Block {
        std::vector<char> m_vData;
        size_t m_nSize = 0;
    };

    void run() {
        size_t index = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cvFree.wait(lock, [this] { return m_bStop || m_nFilled < kBlocks; });
                if (m_bStop) {
                    return;
                }
            }
            Block& block = m_aBlocks[index];
            const int n = gzread(m_file, block.m_vData.data(), static_cast<unsigned>(kBlockSize));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (n <= 0) {
                    m_bFailed = n < 0 || gzStreamFailed(m_file);
                    m_bEnd = true;
                } else {
                    block.m_nSize = static_cast<size_t>(n);
                    ++m_nFilled;
                }
            }
            m_cvFilled.notify_one();
            if (n <= 0) {
                return;
            }
            index = (index + 1) % kBlocks;
        }
    }

    int take(char* buffer, size_t length) {
        if (!m_thread.joinable()) {
            const int n = gzread(m_file, buffer, static_cast<unsigned>(length));
            return n < 0 || (n == 0 && gzStreamFailed(m_file)) ? -1 : n;
        }
        if (m_pCurrent == nullptr) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvFilled.wait(lock, [this] { return m_nFilled > 0 || m_bEnd; });
            if (m_nFilled == 0) {
                return m_bFailed ? -1 : 0;
            }
            m_pCurrent = &m_aBlocks[m_nNext];
            m_nOffset = 0;
        }
        const size_t n = std::min(length, m_pCurrent->m_nSize - m_nOffset);
        std::memcpy(buffer, m_pCurrent->m_vData.data() + m_nOffset, n);
        m_nOffset += n;
        if (m_nOffset == m_pCurrent->m_nSize) {
            m_pCurrent = nullptr;
            m_nNext = (m_nNext + 1) % kBlocks;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                --m_nFilled;
            }
            m_cvFree.notify_one();
        }
        return static_cast<int>(n);
    }

    gzFile m_file;
    Block m_aBlocks[kBlocks];
    std::mutex m_mutex;
    std::condition_variable m_cvFilled;
    std::condition_variable m_cvFree;
    size_t m_nFilled = 0;  // blocks filled and not yet read to the end
    bool m_bEnd = false;
    bool m_bFailed = false;
    bool m_bStop = false;
    // The parser's side: the block it reads and where.
    Block* m_pCurrent = nullptr;
    size_t m_nNext = 0;
    size_t m_nOffset = 0;
    std::thread m_thread;
};

bool isBlank(const xmlChar* text, int length) {
    for (int i = 0; i < length; ++i) {
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\n' && text[i] != '\r') {
            return false;
        }
    }
    return true;
}

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
enum class SingleChild { NAME, ARCH, VERSION, LOCATION, CHECKSUM, SIZE };

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

// One recorded node of the open package element.
struct ListNode {
    enum class Kind : uint8_t { ELEMENT, TEXT, OTHER };

    Kind m_nKind = Kind::ELEMENT;
    bool m_bKeepText = false;    // text below this element is recorded
    bool m_bRpmInScope = false;  // `format`: the rpm namespace is declared in scope
    bool m_bVtxInScope = false;  // `format`: the maker's namespace is declared in scope
    bool m_bBlankKept = false;   // a run starting with a blank was kept as text here
    const xmlChar* m_pName = nullptr;
    const xmlChar* m_pUri = nullptr;
    int32_t m_nFirstChild = -1;
    int32_t m_nLastChild = -1;
    int32_t m_nNext = -1;
    uint32_t m_nFirst = 0;  // element: first attribute; text: offset in the arena
    uint32_t m_nCount = 0;  // element: number of attributes; text: length
};

struct ListAttr {
    const xmlChar* m_pName;
    uint32_t m_nOffset;
    uint32_t m_nLength;
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

    bool read(GzPipe& pipe);

private:
    // SAX2 handlers; the context is the ListReader.
    static void onStartElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                               const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                               int attributeCount, int defaultedCount, const xmlChar** attributes);
    static void onEndElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                             const xmlChar* uri);
    static void onCharacters(void* context, const xmlChar* text, int length);
    static void onIgnorableWhitespace(void* context, const xmlChar* text, int length);
    static void onCdata(void* context, const xmlChar* text, int length);
    static void onComment(void* context, const xmlChar* text);
    static void onProcessingInstruction(void* context, const xmlChar* target, const xmlChar* data);
    static void onEntityDecl(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                             const xmlChar* systemId, xmlChar* content);
    static void onUnparsedEntityDecl(void* context, const xmlChar* name, const xmlChar* publicId,
                                     const xmlChar* systemId, const xmlChar* notation);
    static xmlEntityPtr onGetEntity(void* context, const xmlChar* name);
    static void onReference(void* context, const xmlChar* name);
    static void onError(void* context, xmlErrorPtr error);

    void startElement(const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                      int namespaceCount, const xmlChar** namespaces, int attributeCount,
                      const xmlChar** attributes);
    void endElement();
    void text(const xmlChar* text, int length, bool cdata);
    void otherNode();
    void refuseEntities();
    void stop();

    bool namespaceInScope(const xmlChar* uri) const;
    bool blankIsIgnored(const ListNode& parent) const;
    int32_t addNode(int32_t parent, ListNode::Kind kind);
    void finishPackage();

    // The rules applied to the recorded package element.
    bool findAttribute(const ListNode& node, const xmlChar* name, std::string_view& value) const;
    bool requireAttribute(const ListNode& node, const xmlChar* name, std::string_view& value) const;
    bool elementText(const ListNode& node, std::string_view& value);
    void appendText(const ListNode& node, std::string& out) const;
    bool parseVersion(const ListNode& node, Evr& evr) const;
    bool parseChecksum(const ListNode& node, Checksum& checksum);
    bool parseEntries(int32_t first, const xmlChar* uri, DependencySet& set) const;
    bool parseFormat(const ListNode& format, const char* namespaceUri, const char* label,
                     Package& package);
    PackageParseResult parsePackage(Package& package);
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

    // The open package element: its depth (or -1), the recorded nodes (node 0
    // is the package), their attributes and texts, and the open elements
    // below it (-1 for those not recorded).
    int m_nPackageDepth = -1;
    std::vector<ListNode> m_vNodes;
    std::vector<ListAttr> m_vAttrs;
    std::string m_sArena;
    std::vector<int32_t> m_vOpen;
    std::string m_sScratch;

    // Architectures already scored by the RPM library.
    std::vector<std::pair<std::string, int>> m_vArchScores;

    PooledString m_cacheDir;  // m_sCacheDir, interned
    Package m_package;        // the package being read
};

void ListReader::onStartElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                                const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                                int attributeCount, int /*defaultedCount*/,
                                const xmlChar** attributes) {
    static_cast<ListReader*>(context)->startElement(localName, prefix, uri, namespaceCount,
                                                    namespaces, attributeCount, attributes);
}

void ListReader::onEndElement(void* context, const xmlChar* /*localName*/,
                              const xmlChar* /*prefix*/, const xmlChar* /*uri*/) {
    static_cast<ListReader*>(context)->endElement();
}

void ListReader::onCharacters(void* context, const xmlChar* text, int length) {
    static_cast<ListReader*>(context)->text(text, length, false);
}

void ListReader::onIgnorableWhitespace(void* context, const xmlChar* text, int length) {
    static_cast<ListReader*>(context)->text(text, length, false);
}

void ListReader::onCdata(void* context, const xmlChar* text, int length) {
    static_cast<ListReader*>(context)->text(text, length, true);
}

void ListReader::onComment(void* context, const xmlChar* /*text*/) {
    static_cast<ListReader*>(context)->otherNode();
}

void ListReader::onProcessingInstruction(void* context, const xmlChar* /*target*/,
                                         const xmlChar* /*data*/) {
    static_cast<ListReader*>(context)->otherNode();
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
    static_cast<ListReader*>(context)->m_errors.report(error);
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

int32_t ListReader::addNode(int32_t parent, ListNode::Kind kind) {
    int32_t index = static_cast<int32_t>(m_vNodes.size());
    m_vNodes.emplace_back();
    m_vNodes.back().m_nKind = kind;
    if (parent >= 0) {
        ListNode& p = m_vNodes[static_cast<size_t>(parent)];
        if (p.m_nLastChild >= 0) {
            m_vNodes[static_cast<size_t>(p.m_nLastChild)].m_nNext = index;
        } else {
            p.m_nFirstChild = index;
        }
        p.m_nLastChild = index;
    }
    return index;
}

void ListReader::startElement(const xmlChar* localName, const xmlChar* /*prefix*/,
                              const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                              int attributeCount, const xmlChar** attributes) {
    if (m_bStopped) {
        return;
    }
    m_nTextLength = 0;
    for (int i = 0; i < attributeCount; ++i) {
        const xmlChar* const* a = attributes + 5 * i;
        if (static_cast<size_t>(a[4] - a[3]) > kMaxXmlValueLength) {
            logValueTooLong(m_sPath.c_str());
            stop();
            return;
        }
    }
    for (int i = 0; i < namespaceCount; ++i) {
        m_vNamespaces.emplace_back(namespaces[2 * i], namespaces[2 * i + 1]);
    }
    m_vNamespaceCounts.push_back(static_cast<uint32_t>(namespaceCount));
    const int depth = m_nDepth++;
    const Names& n = *m_pNames;

    if (depth == 0) {
        if (!xmlStrEqual(localName, toXml(m_pTopName)) || uri == nullptr ||
            !xmlStrEqual(uri, toXml(m_pTopUri))) {
            LOGE("bad top-level element, '%s' instead of '%s'",
                 reinterpret_cast<const char*>(localName), m_pTopName);
            stop();
        }
        return;
    }

    int32_t parent;
    int relative;
    if (m_nPackageDepth < 0) {
        if (localName != n.m_pPackage || !sameUri(uri, n.m_pCommonUri)) {
            return;
        }
        m_nPackageDepth = depth;
        m_vNodes.clear();
        m_vAttrs.clear();
        m_sArena.clear();
        m_vOpen.clear();
        parent = -1;
        relative = 0;
    } else {
        parent = m_vOpen.back();
        relative = depth - m_nPackageDepth;
        bool record = false;
        bool keepText = false;
        if (parent >= 0) {
            const ListNode& p = m_vNodes[static_cast<size_t>(parent)];
            if (p.m_bKeepText) {
                record = true;
                keepText = true;
            } else if (relative == 1) {
                record = true;
                keepText =
                    localName == n.m_pName || localName == n.m_pArch || localName == n.m_pChecksum;
            } else if (relative == 2 && p.m_pName == n.m_pFormat) {
                record = true;
                keepText = localName == n.m_pGroup;
            } else if (relative == 3 &&
                       (p.m_pName == n.m_pProvides || p.m_pName == n.m_pRequires ||
                        p.m_pName == n.m_pRecommends || p.m_pName == n.m_pObsoletes)) {
                record = true;
            }
        }
        if (!record) {
            m_vOpen.push_back(-1);
            return;
        }
        int32_t index = addNode(parent, ListNode::Kind::ELEMENT);
        m_vNodes[static_cast<size_t>(index)].m_bKeepText = keepText;
        parent = index;
    }
    if (parent < 0) {
        parent = addNode(-1, ListNode::Kind::ELEMENT);
    }
    m_vOpen.push_back(parent);
    ListNode& node = m_vNodes[static_cast<size_t>(parent)];
    node.m_pName = localName;
    node.m_pUri = uri;
    if (relative == 1 && localName == n.m_pFormat) {
        node.m_bRpmInScope = namespaceInScope(n.m_pRpmUri);
        node.m_bVtxInScope = namespaceInScope(n.m_pVtxdataUri);
    }
    // Attributes without a prefix are the only ones the rules read.
    if (relative <= 3) {
        node.m_nFirst = static_cast<uint32_t>(m_vAttrs.size());
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar* const* a = attributes + 5 * i;
            if (a[1] != nullptr) {
                continue;
            }
            const size_t length = static_cast<size_t>(a[4] - a[3]);
            m_vAttrs.push_back(
                {a[0], static_cast<uint32_t>(m_sArena.size()), static_cast<uint32_t>(length)});
            m_sArena.append(reinterpret_cast<const char*>(a[3]), length);
        }
        node.m_nCount = static_cast<uint32_t>(m_vAttrs.size()) - node.m_nFirst;
    }
}

void ListReader::endElement() {
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
    m_vOpen.pop_back();
    if (depth == m_nPackageDepth) {
        m_nPackageDepth = -1;
        finishPackage();
    }
}

// Whether the tree reader would have dropped a run of blanks as ignorable
// whitespace: not under xml:space="preserve", followed by a tag, and not the
// only content of an element or next to its text.
bool ListReader::blankIsIgnored(const ListNode& parent) const {
    if (m_pCtxt->space == nullptr) {
        return false;
    }
    // The parser marks an element (-2) once it kept a run starting with a
    // blank as text; without a tree it keeps every run, so the mark is
    // taken from what the tree reader would have kept.
    int space = *m_pCtxt->space;
    if (space == -2 && !parent.m_bBlankKept) {
        space = -1;
    }
    if (space == 1 || space == -2) {
        return false;
    }
    const xmlChar* next = m_pCtxt->input != nullptr ? m_pCtxt->input->cur : nullptr;
    if (next == nullptr || (next[0] != '<' && next[0] != 0xD)) {
        return false;
    }
    if (parent.m_nFirstChild < 0) {
        return !(next[0] == '<' && next[1] == '/');
    }
    return m_vNodes[static_cast<size_t>(parent.m_nLastChild)].m_nKind != ListNode::Kind::TEXT &&
           m_vNodes[static_cast<size_t>(parent.m_nFirstChild)].m_nKind != ListNode::Kind::TEXT;
}

void ListReader::text(const xmlChar* text, int length, bool cdata) {
    if (m_bStopped) {
        return;
    }
    m_nTextLength += static_cast<size_t>(length);
    if (m_nTextLength > kMaxXmlValueLength) {
        logValueTooLong(m_sPath.c_str());
        stop();
        return;
    }
    if (m_nPackageDepth < 0 || m_vOpen.empty()) {
        return;
    }
    const int32_t current = m_vOpen.back();
    if (current < 0 || !m_vNodes[static_cast<size_t>(current)].m_bKeepText) {
        return;
    }
    if (!cdata && isBlank(text, length) && blankIsIgnored(m_vNodes[static_cast<size_t>(current)])) {
        return;
    }
    if (!cdata && length > 0 && (text[0] == ' ' || text[0] == '\t' || text[0] == '\n')) {
        m_vNodes[static_cast<size_t>(current)].m_bBlankKept = true;
    }
    // Adjacent texts make one node; its bytes are the last in the arena.
    const int32_t last = m_vNodes[static_cast<size_t>(current)].m_nLastChild;
    if (last >= 0 && m_vNodes[static_cast<size_t>(last)].m_nKind == ListNode::Kind::TEXT) {
        m_vNodes[static_cast<size_t>(last)].m_nCount += static_cast<uint32_t>(length);
    } else {
        int32_t index = addNode(current, ListNode::Kind::TEXT);
        m_vNodes[static_cast<size_t>(index)].m_nFirst = static_cast<uint32_t>(m_sArena.size());
        m_vNodes[static_cast<size_t>(index)].m_nCount = static_cast<uint32_t>(length);
    }
    m_sArena.append(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
}

void ListReader::otherNode() {
    if (m_bStopped) {
        return;
    }
    m_nTextLength = 0;
    if (m_nPackageDepth < 0 || m_vOpen.empty()) {
        return;
    }
    const int32_t current = m_vOpen.back();
    if (current >= 0 && m_vNodes[static_cast<size_t>(current)].m_bKeepText) {
        addNode(current, ListNode::Kind::OTHER);
    }
}

bool ListReader::findAttribute(const ListNode& node, const xmlChar* name,
                               std::string_view& value) const {
    for (uint32_t i = node.m_nFirst; i < node.m_nFirst + node.m_nCount; ++i) {
        const ListAttr& a = m_vAttrs[i];
        if (a.m_pName == name) {
            value = std::string_view(m_sArena.data() + a.m_nOffset, a.m_nLength);
            return true;
        }
    }
    return false;
}

// An attribute that must be there: its absence is logged as the shared XML
// helpers log it.
bool ListReader::requireAttribute(const ListNode& node, const xmlChar* name,
                                  std::string_view& value) const {
    if (findAttribute(node, name, value)) {
        return true;
    }
    LOGD("no attribute '%s' for node '%s'", reinterpret_cast<const char*>(name),
         reinterpret_cast<const char*>(node.m_pName));
    return false;
}

void ListReader::appendText(const ListNode& node, std::string& out) const {
    for (int32_t child = node.m_nFirstChild; child >= 0;) {
        const ListNode& c = m_vNodes[static_cast<size_t>(child)];
        if (c.m_nKind == ListNode::Kind::TEXT) {
            out.append(m_sArena.data() + c.m_nFirst, c.m_nCount);
        } else if (c.m_nKind == ListNode::Kind::ELEMENT) {
            appendText(c, out);
        }
        child = c.m_nNext;
    }
}

// The text of an element and all its descendants; false (and a debug line)
// when there is none.
bool ListReader::elementText(const ListNode& node, std::string_view& value) {
    const int32_t first = node.m_nFirstChild;
    if (first >= 0 && first == node.m_nLastChild) {
        const ListNode& c = m_vNodes[static_cast<size_t>(first)];
        if (c.m_nKind == ListNode::Kind::TEXT && c.m_nCount != 0) {
            value = std::string_view(m_sArena.data() + c.m_nFirst, c.m_nCount);
            return true;
        }
    }
    m_sScratch.clear();
    appendText(node, m_sScratch);
    if (m_sScratch.empty()) {
        LOGD("no string list for node '%s'", reinterpret_cast<const char*>(node.m_pName));
        return false;
    }
    value = m_sScratch;
    return true;
}

bool ListReader::parseVersion(const ListNode& node, Evr& evr) const {
    const Names& n = *m_pNames;
    std::string_view epochText;
    std::string_view verText;
    if (!findAttribute(node, n.m_pEpoch, epochText) || !findAttribute(node, n.m_pVer, verText)) {
        LOGD("failed parsing 'version' element");
        return false;
    }
    uint32_t epoch = 0;
    if (!parseEpoch(epochText, epoch)) {
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

bool ListReader::parseChecksum(const ListNode& node, Checksum& checksum) {
    std::string_view type;
    std::string_view value;
    if (!requireAttribute(node, m_pNames->m_pType, type) || !elementText(node, value)) {
        LOGD("failed parsing 'checksum' element");
        return false;
    }
    checksum.m_sType = type;
    checksum.m_sValue = value;
    return true;
}

bool ListReader::parseEntries(int32_t first, const xmlChar* uri, DependencySet& set) const {
    const Names& n = *m_pNames;
    for (int32_t index = first; index >= 0;) {
        const ListNode& node = m_vNodes[static_cast<size_t>(index)];
        index = node.m_nNext;
        if (node.m_nKind != ListNode::Kind::ELEMENT || node.m_pName != n.m_pEntry ||
            !sameUri(node.m_pUri, uri)) {
            continue;
        }
        std::string_view name;
        if (!findAttribute(node, n.m_pName, name)) {
            LOGD("failed getting 'name' from 'entry'");
            return false;
        }
        if (name.compare(0, 7, "rpmlib(") == 0) {
            continue;
        }
        Dependency dep;
        std::string_view value;
        if (findAttribute(node, n.m_pMissingOk, value)) {
            long missingOk = 0;
            if (!parseSigned(value, INT32_MIN, INT32_MAX, missingOk)) {
                LOGD("failed parsing '%s' property '%s'", "missingok", std::string(value).c_str());
                return false;
            }
            if (missingOk != 0) {
                LOGT("skipping missingok dep '%s'", std::string(name).c_str());
                continue;
            }
        }
        dep.m_sName = name;
        if (findAttribute(node, n.m_pVer, value)) {
            if (!parseVersion(node, dep.m_evr)) {
                LOGD("failed parsing EVR in entry");
                return false;
            }
            if (!findAttribute(node, n.m_pFlags, value)) {
                LOGD("failed parsing 'flags' in 'entry'");
                return false;
            }
            if (!parseFlags(value, dep.m_nFlags)) {
                LOGD("invalid flags '%s' in 'entry'", std::string(value).c_str());
                return false;
            }
        }
        LOGT("%s", depToString(dep).c_str());
        set.insert(dep);
    }
    return true;
}

bool ListReader::parseFormat(const ListNode& format, const char* namespaceUri, const char* label,
                             Package& package) {
    const Names& n = *m_pNames;
    const bool rpm = namespaceUri == kRpmNamespace;
    if (!(rpm ? format.m_bRpmInScope : format.m_bVtxInScope)) {
        LOGD("no %s specific data in XML doc", label);
        return true;
    }
    const xmlChar* uri = rpm ? n.m_pRpmUri : n.m_pVtxdataUri;
    for (int32_t index = format.m_nFirstChild; index >= 0;) {
        const ListNode& node = m_vNodes[static_cast<size_t>(index)];
        index = node.m_nNext;
        if (node.m_nKind != ListNode::Kind::ELEMENT || !sameUri(node.m_pUri, uri)) {
            continue;
        }
        DependencySet* set = nullptr;
        if (node.m_pName == n.m_pGroup) {
            std::string_view text;
            if (!package.m_sGroup.empty() || !elementText(node, text)) {
                return false;
            }
            package.m_sGroup = text;
            continue;
        } else if (node.m_pName == n.m_pProvides) {
            LOGT("parsing %s provides for '%s'", label, package.m_sName.c_str());
            set = &package.m_setProvides;
        } else if (node.m_pName == n.m_pRequires) {
            LOGT("parsing %s requires for '%s'", label, package.m_sName.c_str());
            set = &package.m_setRequires;
        } else if (node.m_pName == n.m_pRecommends) {
            LOGT("parsing %s recommends for '%s'", label, package.m_sName.c_str());
            set = &package.m_setRecommends;
        } else if (node.m_pName == n.m_pObsoletes) {
            LOGT("parsing %s obsoletes for '%s'", label, package.m_sName.c_str());
            set = &package.m_setObsoletes;
        } else {
            continue;
        }
        if (!parseEntries(node.m_nFirstChild, node.m_pUri, *set)) {
            return false;
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
    if (m_vArchScores.size() < 16) {
        m_vArchScores.emplace_back(arch, score);
    }
    return score;
}

PackageParseResult ListReader::parsePackage(Package& package) {
    const Names& n = *m_pNames;
    const ListNode& element = m_vNodes[0];
    std::string_view typeText;
    if (!findAttribute(element, n.m_pType, typeText)) {
        typeText = std::string_view();
    }
    const char* formatNamespace = nullptr;
    const char* type = nullptr;
    if (typeText == "rpm") {
        package.m_nType = PackageType::RPM;
        formatNamespace = kRpmNamespace;
        type = "rpm";
    } else if (typeText == "vtxpkg") {
        package.m_nType = PackageType::VTXPKG;
        formatNamespace = kVtxdataNamespace;
        type = "vtxpkg";
    } else if (typeText == "flashedfw") {
        package.m_nType = PackageType::FLASHEDFW;
        formatNamespace = kVtxdataNamespace;
        type = "flashedfw";
    } else {
        LOGW("ignoring package of unknown type '%s'", std::string(typeText).c_str());
        return PackageParseResult::DROPPED;
    }

    bool anyChild = false;
    for (int32_t index = element.m_nFirstChild; index >= 0 && !anyChild;) {
        const ListNode& node = m_vNodes[static_cast<size_t>(index)];
        anyChild = node.m_nKind == ListNode::Kind::ELEMENT;
        index = node.m_nNext;
    }
    if (!anyChild) {
        return PackageParseResult::ERROR;
    }

    bool seenChild[static_cast<size_t>(SingleChild::SIZE) + 1] = {};
    auto seen = [&seenChild](SingleChild child) -> bool& {
        return seenChild[static_cast<size_t>(child)];
    };
    auto once = [&seen](SingleChild child) {
        if (seen(child)) {
            return false;
        }
        seen(child) = true;
        return true;
    };
    const xmlChar* uri = element.m_pUri;
    std::string arch;
    std::string_view value;
    for (int32_t index = element.m_nFirstChild; index >= 0;) {
        const ListNode& node = m_vNodes[static_cast<size_t>(index)];
        index = node.m_nNext;
        if (node.m_nKind != ListNode::Kind::ELEMENT || !sameUri(node.m_pUri, uri)) {
            continue;
        }
        const xmlChar* name = node.m_pName;
        if (name == n.m_pName) {
            if (!once(SingleChild::NAME) || !elementText(node, value)) {
                return PackageParseResult::ERROR;
            }
            package.m_sName = value;
        } else if (name == n.m_pArch) {
            if (!once(SingleChild::ARCH)) {
                return PackageParseResult::ERROR;
            }
            // An empty arch element scores 0 below, like a missing one.
            if (node.m_nFirstChild >= 0 && elementText(node, value)) {
                arch.assign(value);
            }
        } else if (name == n.m_pVersion) {
            if (!once(SingleChild::VERSION) || !parseVersion(node, package.m_evr)) {
                return PackageParseResult::ERROR;
            }
        } else if (name == n.m_pLocation) {
            if (!once(SingleChild::LOCATION) || !requireAttribute(node, n.m_pHref, value)) {
                return PackageParseResult::ERROR;
            }
            package.m_sLocation = value;
        } else if (name == n.m_pChecksum) {
            if (!once(SingleChild::CHECKSUM) || !parseChecksum(node, package.m_checksum)) {
                return PackageParseResult::ERROR;
            }
        } else if (name == n.m_pSize) {
            if (!once(SingleChild::SIZE) || !findAttribute(node, n.m_pInstalled, value)) {
                return PackageParseResult::ERROR;
            }
            long size = 0;
            if (!parseSigned(value, LONG_MIN, LONG_MAX, size)) {
                LOGD("failed parsing '%s' property '%s'", "installed", std::string(value).c_str());
                return PackageParseResult::ERROR;
            }
            package.m_nInstalledSize = size;
            // The file's size bounds its download; without a usable one the
            // download has no bound but the checksum.
            if (findAttribute(node, n.m_pPackage, value)) {
                if (parseSigned(value, 0, LONG_MAX, size)) {
                    package.m_nPackageSize = size;
                } else {
                    LOGD("ignoring '%s' property '%s'", "package", std::string(value).c_str());
                }
            }
        } else if (name == n.m_pFormat) {
            if (!parseFormat(node, formatNamespace, type, package)) {
                return PackageParseResult::ERROR;
            }
        }
    }

    if (!seen(SingleChild::NAME) || !seen(SingleChild::VERSION)) {
        return PackageParseResult::ERROR;
    }
    if (package.m_nType != PackageType::FLASHEDFW &&
        (!seen(SingleChild::LOCATION) || !seen(SingleChild::CHECKSUM))) {
        return PackageParseResult::ERROR;
    }
    std::string location;
    if (seen(SingleChild::LOCATION)) {
        location = package.m_sLocation.str();
        // The file name part of the location is the cache file's name,
        // unless the location ends in "/".
        const PooledString& base = package.m_sLocation.base();
        if (base.empty() ? !isUsableLocation(location) : base == "." || base == "..") {
            LOGD("invalid location '%s' of package '%s'", location.c_str(),
                 package.m_sName.c_str());
            return PackageParseResult::ERROR;
        }
        if (!m_sCacheDir.empty()) {
            if (!base.empty() && m_sCacheDir.back() == '/') {
                package.m_sCacheFile = PooledPath(m_cacheDir, base);
            } else {
                package.m_sCacheFile = m_sCacheDir + baseName(location);
            }
        }
    }

    if (archScore(arch) == 0) {
        LOGW("skipping %s package '%s' of non-compatible arch '%s'", type,
             seen(SingleChild::LOCATION) ? baseName(location).c_str()
                                         : packageToString(package).c_str(),
             arch.c_str());
        return PackageParseResult::DROPPED;
    }
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
        stop();
        return;
    }
    if (parsed == PackageParseResult::ACCEPTED) {
        m_target.insert(static_cast<const Package&>(package));
    }
}

bool ListReader::read(GzPipe& pipe) {
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof(sax));
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = onStartElement;
    sax.endElementNs = onEndElement;
    sax.characters = onCharacters;
    // A handler of its own: with no tree the parser hands every run of text,
    // blank or not, to onCharacters (with its position past the run), which
    // decides about blanks itself.
    sax.ignorableWhitespace = onIgnorableWhitespace;
    sax.cdataBlock = onCdata;
    sax.comment = onComment;
    sax.processingInstruction = onProcessingInstruction;
    sax.entityDecl = onEntityDecl;
    sax.unparsedEntityDecl = onUnparsedEntityDecl;
    sax.getEntity = onGetEntity;
    sax.getParameterEntity = onGetEntity;
    sax.reference = onReference;
    sax.serror = onError;

    prepareXmlLibrary();
    ParserCtxt ctxt(xmlCreateIOParserCtxt(&sax, this, GzPipe::read, GzPipe::close, &pipe,
                                          XML_CHAR_ENCODING_NONE));
    if (!ctxt) {
        return false;
    }
    m_pCtxt = ctxt.get();
    xmlCtxtUseOptions(m_pCtxt, kListParseOptions);
    if (m_pCtxt->input != nullptr && m_pCtxt->input->filename == nullptr) {
        m_pCtxt->input->filename = reinterpret_cast<char*>(xmlStrdup(toXml(m_sPath.c_str())));
    }
    m_pNames = std::make_unique<Names>(m_pCtxt->dict);
    xmlParseDocument(m_pCtxt);
    const bool ok = !m_bStopped && m_pCtxt->wellFormed != 0;
    m_pCtxt = nullptr;
    return ok;
}

}  // namespace

bool parsePackageList(const std::string& path, MetadataType type, PackageList& target,
                      const std::string& cacheDir) {
    const char* typeName = metadataTypeName(type);
    if (typeName == nullptr) {
        return false;
    }
    GzFile file(gzopen(path.c_str(), "rb"));
    if (!file) {
        LOGE("could not open %s file '%s' for parsing", typeName, path.c_str());
        return false;
    }
    gzbuffer(file.get(), kGzBufferSize);
    // A list that fails adds nothing, whichever package the failure is in.
    const size_t before = target.size();
    ListReader reader(path, type, target, cacheDir);
    GzPipe pipe(file.get());
    bool ok = reader.read(pipe);
    if (ok && !pipe.drain()) {
        LOGE("failed while reading from '%s'", path.c_str());
        ok = false;
    }
    if (!ok) {
        target.truncate(before);
    }
    return ok;
}
