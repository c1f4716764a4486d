#include "repo/package_list_image.h"

#include <fcntl.h>
#include <rpm/rpmlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "support/fd.h"
#include "support/system.h"

// Layout, all numbers little-endian as the machine writes them (the magic
// tells a machine of the other order):
//   header: magic (8 bytes), XXH3 hashes (8 bytes each) of the hot part (from
//           the version to the cold part) and of the cold part, version, count
//           of texts, file size (8 bytes), counts of hot texts, packages,
//           messages, architectures and text blocks, the offset of the cold
//           part (4 bytes each unless said otherwise);
//   the key text: type name, "\n", list checksums, "\n", cache directory;
//   architectures: compatible (1 byte), text;
//   messages: level (1 byte), text;
//   text blocks: a size (4 bytes) and that many bytes of entries laid out as
//           the string pool lays out its chunks (string_pool::writeEntry),
//           numbered from 0 in this order, text 0 the empty one. The hot texts
//           (those a check reads) fill the first blocks, the cold ones the
//           rest, so that the pages of the cold ones are never read then;
//   hot part, a record per package: name, group, arch, type, epoch, version,
//           release, installed size and package size (8 bytes each), the
//           offset of its cold record, then the provides and the obsoletes:
//           a count and that many dependencies (name and flags, then epoch,
//           version and release when the name has kVersionedBit);
//   cold part, a record per package in the same order: location (directory
//           and file name), checksum value and type, the kind of its cache
//           file (none, the cache directory and the location's file name,
//           or those given next: directory and file name), then the requires
//           and the recommends.
// A text of a dependency is its number in a hot record (that of a hot text)
// and the offset of its entry in the file in a cold record (0 for the empty
// text). The other texts of a cold record, and those of the key, an
// architecture or a message, are their length and bytes.
//
// The hot texts are taken into the string pool where they lie in the mapped
// image, without a copy, and the packages are built with their hot part only;
// the cold part is read when PackageList::complete asks for it.

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'L', 'I', 'S', 'T', '\x01'};
constexpr size_t kHeaderSize = 64;
constexpr size_t kHashesAt = 8;
constexpr size_t kHashFrom = 24;  // the hot part's hash covers the file from the version on
// Pages of the mapped image that the reader has passed are given back in
// steps of this size, so that the image never adds much to the peak.
constexpr size_t kReleaseStep = size_t{1} << 20;
// Bytes of the fixed fields of a record and of a dependency.
constexpr size_t kHotFixedSize = 7 * 4 + 2 * 8 + 4;
constexpr size_t kColdFixedSize = 5 * 4;  // the lengths of four texts, the cache file's kind
constexpr size_t kMinDependencySize = 2 * 4;
// Set in the first word of a dependency (its name) when an epoch, version and
// release follow; texts are numbered and placed below 2^31.
constexpr uint32_t kVersionedBit = uint32_t{1} << 31;
constexpr uint64_t kMaxImageSize = kVersionedBit - 1;

constexpr DependencySet Package::*kHotSets[] = {&Package::m_setProvides, &Package::m_setObsoletes};
constexpr DependencySet Package::*kColdSets[] = {&Package::m_setRequires,
                                                 &Package::m_setRecommends};

std::string keyText(const ListImageKey& key) {
    const char* type = metadataTypeName(key.m_type);
    return std::string(type != nullptr ? type : "") + "\n" + key.m_sListChecksums + "\n" +
           key.m_sCacheDir;
}

// The bytes of an image: mapped from its file, or a copy of one handed over
// in memory. A mapping whose texts the string pool took is never unmapped.
class ImageBytes {
public:
    ImageBytes(const ImageBytes&) = delete;
    ImageBytes& operator=(const ImageBytes&) = delete;
    ~ImageBytes() {
        if (m_bMapped && !m_bTaken) {
            munmap(const_cast<unsigned char*>(m_pData), m_nSize);
        }
    }
    static std::shared_ptr<ImageBytes> mapped(const unsigned char* data, size_t size, UniqueFd fd) {
        auto bytes = std::shared_ptr<ImageBytes>(new ImageBytes(data, size, true));
        bytes->m_fd = std::move(fd);
        return bytes;
    }
    static std::shared_ptr<ImageBytes> copied(const unsigned char* data, size_t size) {
        auto bytes = std::shared_ptr<ImageBytes>(new ImageBytes(nullptr, size, false));
        bytes->m_vCopy.assign(data, data + size);
        bytes->m_pData = bytes->m_vCopy.data();
        return bytes;
    }

    const unsigned char* data() const { return m_pData; }
    size_t size() const { return m_nSize; }
    bool mapped() const { return m_bMapped; }
    void setTaken() { m_bTaken = true; }
    // Copies bytes of the image. The cold parts are read with pread, not
    // through the mapping: a read fault maps the pages around it that the
    // page cache holds, which then stay resident however little is read.
    bool readAt(size_t at, void* to, size_t size) const {
        if (at > m_nSize || size > m_nSize - at) {
            return false;
        }
        if (!m_fd) {
            std::memcpy(to, m_pData + at, size);
            return true;
        }
        return readAllAt(m_fd.get(), to, size, static_cast<off_t>(at));
    }

private:
    ImageBytes(const unsigned char* data, size_t size, bool mapped)
        : m_pData(data), m_nSize(size), m_bMapped(mapped) {}

    const unsigned char* m_pData;
    size_t m_nSize;
    bool m_bMapped;
    bool m_bTaken = false;
    std::vector<unsigned char> m_vCopy;
    UniqueFd m_fd;  // of a mapped image
};

// A cursor over [from, end) of the image; every read is checked against the
// end. It takes the hash of what it has passed from `hashFrom` on, a step at
// a time, and gives the pages of a mapped image back behind it, so that the
// image is read once and never adds much to the peak.
class ImageReader {
public:
    ImageReader(const ImageBytes& bytes, size_t from, size_t end, size_t hashFrom)
        : m_pData(bytes.data()),
          m_nEnd(end),
          m_bMapped(bytes.mapped()),
          m_nPos(from),
          m_nChecked(hashFrom) {
        XXH3_64bits_reset(&m_hash);
    }
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    bool get32(uint32_t& value) { return getRaw(&value, sizeof(value)); }
    bool get64(uint64_t& value) { return getRaw(&value, sizeof(value)); }
    bool get8(uint8_t& value) { return getRaw(&value, sizeof(value)); }
    bool getText(std::string_view& text) {
        uint32_t length;
        if (!get32(length) || length > m_nEnd - m_nPos) {
            return false;
        }
        text = std::string_view(reinterpret_cast<const char*>(m_pData) + m_nPos, length);
        m_nPos += length;
        return true;
    }
    bool skip(size_t size) {
        if (size > m_nEnd - m_nPos) {
            return false;
        }
        m_nPos += size;
        return true;
    }
    size_t pos() const { return m_nPos; }
    // Reads no further than `end` from now on.
    void limit(size_t end) { m_nEnd = std::min(m_nEnd, end); }
    size_t left() const { return m_nEnd - m_nPos; }
    bool atEnd() const { return m_nPos == m_nEnd; }
    const char* here() const { return reinterpret_cast<const char*>(m_pData) + m_nPos; }

    // Takes the hash of the whole steps passed (of everything at the end).
    void pass() {
        const size_t end = m_nPos == m_nEnd ? m_nEnd : m_nPos & ~(kReleaseStep - 1);
        if (end <= m_nChecked) {
            return;
        }
        XXH3_64bits_update(&m_hash, m_pData + m_nChecked, end - m_nChecked);
        if (m_bMapped) {
            dropMappedPages(m_pData + m_nChecked, end - m_nChecked);
        }
        m_nChecked = end;
    }
    // The hash of everything from `hashFrom` on; the reader must be at the end.
    uint64_t hash() {
        pass();
        return XXH3_64bits_digest(&m_hash);
    }

private:
    bool getRaw(void* value, size_t size) {
        if (size > m_nEnd - m_nPos) {
            return false;
        }
        std::memcpy(value, m_pData + m_nPos, size);
        m_nPos += size;
        return true;
    }

    const unsigned char* m_pData;
    size_t m_nEnd;
    bool m_bMapped;
    size_t m_nPos;
    size_t m_nChecked;
    XXH3_state_t m_hash;
};

struct Header {
    uint64_t m_nHotHash = 0;
    uint64_t m_nColdHash = 0;
    uint32_t m_nVersion = 0;
    uint32_t m_nStrings = 0;
    uint64_t m_nSize = 0;
    uint32_t m_nHotStrings = 0;
    uint32_t m_nPackages = 0;
    uint32_t m_nMessages = 0;
    uint32_t m_nArchs = 0;
    uint32_t m_nBlocks = 0;
    uint32_t m_nColdAt = 0;
};

bool readHeader(ImageReader& in, Header& header, std::string& why) {
    char magic[sizeof(kMagic)];
    for (char& c : magic) {
        uint8_t byte;
        if (!in.get8(byte)) {
            why = "cut short";
            return false;
        }
        c = static_cast<char>(byte);
    }
    if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) {
        why = "not a list image";
        return false;
    }
    if (!in.get64(header.m_nHotHash) || !in.get64(header.m_nColdHash) ||
        !in.get32(header.m_nVersion)) {
        why = "cut short";
        return false;
    }
    if (header.m_nVersion != kListImageVersion) {
        why = "format version " + std::to_string(header.m_nVersion);
        return false;
    }
    if (!in.get32(header.m_nStrings) || !in.get64(header.m_nSize) ||
        !in.get32(header.m_nHotStrings) || !in.get32(header.m_nPackages) ||
        !in.get32(header.m_nMessages) || !in.get32(header.m_nArchs) ||
        !in.get32(header.m_nBlocks) || !in.get32(header.m_nColdAt)) {
        why = "cut short";
        return false;
    }
    return true;
}

// The hash of the hot part: of the header's fields from the version on,
// seeded with the hash of the rest of the hot part.
uint64_t hotPartHash(const char* header, uint64_t body) {
    return XXH3_64bits_withSeed(header + kHashFrom, kHeaderSize - kHashFrom, body);
}

// Where the texts lie in an image, for the cold records' offsets.
struct TextSpan {
    size_t m_nBegin = 0;
    size_t m_nEnd = 0;
};

// A text of a hot record by its number: the handles of the hot texts.
struct HotTexts {
    const std::vector<uint32_t>& m_vHandles;
    bool operator()(uint32_t index, PooledString& value) const {
        if (index >= m_vHandles.size()) {
            return false;
        }
        value = PooledString::fromHandle(m_vHandles[index]);
        return true;
    }
};

// Reads a text reference from either reader; `text` turns it into a text
// (false: a bad reference).
template <typename In, typename Text>
bool readText(In& in, const Text& text, PooledString& value) {
    uint32_t ref;
    return in.get32(ref) && text(ref, value);
}

// Reads a dependency from either reader, its texts as readText does.
template <typename In, typename Text>
bool readDependency(In& in, const Text& text, Dependency& dep) {
    uint32_t name;
    dep.m_evr = Evr();
    if (!in.get32(name) || !in.get32(dep.m_nFlags) || !text(name & ~kVersionedBit, dep.m_sName)) {
        return false;
    }
    if ((name & kVersionedBit) == 0) {
        return true;
    }
    uint32_t version;
    uint32_t release;
    return in.get32(dep.m_evr.m_nEpoch) && in.get32(version) && in.get32(release) &&
           text(version, dep.m_evr.m_sVersion) && text(release, dep.m_evr.m_sRelease);
}

// Passes over `count` dependencies.
template <typename In>
bool skipDependencies(In& in, uint32_t count) {
    Dependency dep;
    const auto any = [](uint32_t, PooledString&) { return true; };
    for (uint32_t i = 0; i < count; ++i) {
        if (!readDependency(in, any, dep)) {
            return false;
        }
    }
    return true;
}

// Appends a dependency read in order: the arrays were written sorted and
// without duplicates.
bool appendInOrder(DependencySet& set, const Dependency& dep) {
    const auto inserted = set.insert(dep);
    return inserted.second && inserted.first == set.end() - 1;
}

// The hot record of a package; gives the offset of its cold record.
bool readHotPackage(ImageReader& in, const HotTexts& text, Package& package, uint32_t& coldAt,
                    std::vector<Dependency>& scratch) {
    uint32_t type;
    uint64_t installedSize;
    uint64_t packageSize;
    if (!readText(in, text, package.m_sName) || !readText(in, text, package.m_sGroup) ||
        !readText(in, text, package.m_sArch) || !in.get32(type) ||
        type > static_cast<uint32_t>(PackageType::FLASHEDFW) || !in.get32(package.m_evr.m_nEpoch) ||
        !readText(in, text, package.m_evr.m_sVersion) ||
        !readText(in, text, package.m_evr.m_sRelease) || !in.get64(installedSize) ||
        !in.get64(packageSize) || !in.get32(coldAt)) {
        return false;
    }
    package.m_nType = static_cast<PackageType>(type);
    package.m_nInstalledSize = static_cast<int64_t>(installedSize);
    package.m_nPackageSize = static_cast<int64_t>(packageSize);
    // The arrays were written in order and without duplicates; the hash
    // checked at the end of the read stands for them, and the texts of
    // their names are not read, so that their pages stay in the file.
    std::vector<Dependency>& deps = scratch;
    for (DependencySet Package::*member : kHotSets) {
        uint32_t count;
        if (!in.get32(count) || count > in.left() / kMinDependencySize) {
            return false;
        }
        deps.resize(count);
        for (Dependency& dep : deps) {
            if (!readDependency(in, text, dep)) {
                return false;
            }
        }
        (package.*member).assignSorted(deps.data(), deps.size());
    }
    return true;
}

// The kinds of cache file a cold record gives.
enum CacheFileKind : uint32_t { kNoCacheFile, kCacheDirFile, kOtherCacheFile };

// Passes over a cold record, checking its sizes only (its texts are read
// when the package is completed).
bool skipColdPackage(ImageReader& in) {
    std::string_view text;
    uint32_t kind;
    for (int i = 0; i < 4; ++i) {
        if (!in.getText(text)) {
            return false;
        }
    }
    if (!in.get32(kind) || kind > kOtherCacheFile ||
        (kind == kOtherCacheFile && (!in.getText(text) || !in.getText(text)))) {
        return false;
    }
    for (size_t set = 0; set < 2; ++set) {
        uint32_t count;
        if (!in.get32(count) || count > in.left() / kMinDependencySize ||
            !skipDependencies(in, count)) {
            return false;
        }
    }
    return true;
}

// Reads the image from an offset on through a buffer filled with pread.
class BlockReader {
public:
    BlockReader(const ImageBytes& bytes, size_t from, size_t step)
        : m_bytes(bytes), m_nPos(from), m_nStep(step) {}

    bool get32(uint32_t& value) { return read(&value, sizeof(value)); }
    bool getText(std::string& text) {
        uint32_t length;
        if (!get32(length) || length > m_bytes.size()) {
            return false;
        }
        text.resize(length);
        return read(&text[0], length);
    }
    bool skip(size_t size) {
        const size_t buffered = std::min(size, m_sBuffer.size() - m_nUsed);
        m_nUsed += buffered;
        size -= buffered;
        if (size > m_bytes.size() - m_nPos) {
            return false;
        }
        m_nPos += size;
        return true;
    }
    bool read(void* to, size_t size) {
        if (m_sBuffer.size() - m_nUsed < size) {
            m_sBuffer.erase(0, m_nUsed);
            m_nUsed = 0;
            const size_t more =
                std::min(std::max(m_nStep, size - m_sBuffer.size()), m_bytes.size() - m_nPos);
            const size_t had = m_sBuffer.size();
            m_sBuffer.resize(had + more);
            if (!m_bytes.readAt(m_nPos, &m_sBuffer[had], more)) {
                return false;
            }
            m_nPos += more;
            if (m_sBuffer.size() < size) {
                return false;
            }
        }
        std::memcpy(to, m_sBuffer.data() + m_nUsed, size);
        m_nUsed += size;
        return true;
    }
    bool atEnd() const { return m_nUsed == m_sBuffer.size() && m_nPos == m_bytes.size(); }

private:
    const ImageBytes& m_bytes;
    size_t m_nPos;
    size_t m_nStep;
    std::string m_sBuffer;
    size_t m_nUsed = 0;
};

// The texts of a cold record but those of its dependencies.
struct ColdTexts {
    std::string m_sLocationDir;
    std::string m_sLocationFile;
    std::string m_sChecksum;
    std::string m_sChecksumType;
    uint32_t m_nCacheKind = kNoCacheFile;
    std::string m_sCacheDir;  // of kOtherCacheFile
    std::string m_sCacheFile;

    bool read(BlockReader& in) {
        if (!in.getText(m_sLocationDir) || !in.getText(m_sLocationFile) ||
            !in.getText(m_sChecksum) || !in.getText(m_sChecksumType) || !in.get32(m_nCacheKind) ||
            m_nCacheKind > kOtherCacheFile) {
            return false;
        }
        if (m_nCacheKind == kOtherCacheFile) {
            return in.getText(m_sCacheDir) && in.getText(m_sCacheFile);
        }
        return true;
    }
    // The file name of the cache file, if any.
    const std::string* cacheFile() const {
        return m_nCacheKind == kCacheDirFile     ? &m_sLocationFile
               : m_nCacheKind == kOtherCacheFile ? &m_sCacheFile
                                                 : nullptr;
    }
};

// The cold parts of the packages of one image, read back with pread (no
// page of the mapping stays resident for them).
class ImageParts : public PackageParts {
public:
    ImageParts(std::shared_ptr<const ImageBytes> bytes, TextSpan texts, size_t coldAt,
               PooledString cacheDir)
        : m_pBytes(std::move(bytes)), m_texts(texts), m_nColdAt(coldAt), m_sCacheDir(cacheDir) {}

    // This is for the rare partial download in the cache: the cold part is
    // read through, nothing is kept.
    bool holdsCacheFile(std::string_view base) const override {
        BlockReader in(*m_pBytes, m_nColdAt, 256 * 1024);
        ColdTexts texts;
        while (!in.atEnd()) {
            if (!texts.read(in)) {
                return false;
            }
            const std::string* file = texts.cacheFile();
            if (file != nullptr && *file == base) {
                return true;
            }
            for (int set = 0; set < 2; ++set) {
                uint32_t count;
                if (!in.get32(count) || !skipDependencies(in, count)) {
                    return false;
                }
            }
        }
        return false;
    }

    bool fill(uint32_t at, Package& package) const override {
        if (at < m_nColdAt) {
            return false;
        }
        BlockReader in(*m_pBytes, at, 1024);
        ColdTexts texts;
        if (!texts.read(in)) {
            return false;
        }
        package.m_sLocation =
            PooledPath(PooledString(texts.m_sLocationDir), PooledString(texts.m_sLocationFile));
        package.m_checksum.m_sValue = texts.m_sChecksum;
        package.m_checksum.m_sType = texts.m_sChecksumType;
        switch (texts.m_nCacheKind) {
            case kCacheDirFile:
                package.m_sCacheFile = PooledPath(m_sCacheDir, package.m_sLocation.base());
                break;
            case kOtherCacheFile:
                package.m_sCacheFile =
                    PooledPath(PooledString(texts.m_sCacheDir), PooledString(texts.m_sCacheFile));
                break;
            default:
                package.m_sCacheFile.clear();
        }
        const auto refText = [this](uint32_t at, PooledString& value) { return text(at, value); };
        for (DependencySet Package::*member : kColdSets) {
            uint32_t count;
            if (!in.get32(count) || count > m_pBytes->size() / kMinDependencySize) {
                return false;
            }
            DependencySet& set = package.*member;
            set.clear();
            Dependency dep;
            for (uint32_t i = 0; i < count; ++i) {
                if (!readDependency(in, refText, dep) || !appendInOrder(set, dep)) {
                    return false;
                }
            }
        }
        return true;
    }

private:
    // A dependency's text in a cold record: the offset of its entry, 0 for
    // the empty text.
    bool text(uint32_t at, PooledString& value) const {
        if (at == 0) {
            value.clear();
            return true;
        }
        if (at < m_texts.m_nBegin || at >= m_texts.m_nEnd) {
            return false;
        }
        // Most entries are short: one read takes the longest short one.
        std::string entry(std::min<size_t>(string_pool::entryBytes(string_pool::kLongMark - 1),
                                           m_texts.m_nEnd - at),
                          '\0');
        if (!m_pBytes->readAt(at, &entry[0], entry.size())) {
            return false;
        }
        if (static_cast<unsigned char>(entry[0]) == string_pool::kLongMark &&
            entry.size() >= string_pool::kLongHeaderSize) {
            uint32_t length;
            std::memcpy(&length, &entry[1], sizeof(length));
            const size_t whole = string_pool::kLongHeaderSize + size_t{length} + 1;
            if (whole > m_texts.m_nEnd - at) {
                return false;
            }
            entry.resize(whole);
            if (!m_pBytes->readAt(at, &entry[0], entry.size())) {
                return false;
            }
        }
        std::string_view view;
        size_t next;
        if (!string_pool::readEntry(entry.data(), entry.size(), 0, view, next)) {
            return false;
        }
        value = view;
        return true;
    }

    std::shared_ptr<const ImageBytes> m_pBytes;
    TextSpan m_texts;
    size_t m_nColdAt;
    PooledString m_sCacheDir;
};

// The text blocks: the hot ones taken into the pool (their handles by
// number), the cold ones passed over.
bool readTexts(ImageReader& in, const Header& header, ImageBytes& bytes,
               std::vector<uint32_t>& handles, TextSpan& span) {
    span.m_nBegin = in.pos();
    // The blocks are walked first: the counts sized from are those of the
    // entries there, never the header's alone (a damaged header is found out
    // only by the hashes at the end, and the pool's table never shrinks).
    std::vector<std::pair<const char*, uint32_t>> blocks;
    size_t entries = 0;
    for (uint32_t i = 0; i < header.m_nBlocks; ++i) {
        uint32_t size;
        if (!in.get32(size)) {
            return false;
        }
        const char* block = in.here();
        if (!in.skip(size)) {
            return false;
        }
        std::string_view text;
        for (size_t at = 0; at < size; ++entries) {
            if (!string_pool::readEntry(block, size, at, text, at)) {
                return false;
            }
        }
        blocks.emplace_back(block, size);
    }
    span.m_nEnd = in.pos();
    if (header.m_nHotStrings == 0 || header.m_nHotStrings > entries ||
        entries != header.m_nStrings) {
        return false;
    }
    handles.reserve(header.m_nHotStrings);
    string_pool::reserve(header.m_nHotStrings);
    for (const auto& block : blocks) {
        if (handles.size() == header.m_nHotStrings) {
            break;  // the cold texts are read when a package is completed
        }
        bool taken = false;
        const bool ok =
            string_pool::internBlock(block.first, block.second, handles, taken, !bytes.mapped());
        if (taken) {
            bytes.setTaken();
        }
        if (!ok || handles.size() > header.m_nHotStrings) {
            return false;
        }
    }
    // Interning compared texts of earlier blocks: the pages are given back
    // once all hot ones are in.
    in.pass();
    return handles.size() == header.m_nHotStrings && handles[0] == 0;
}

// The body after the header. The hashes are checked at the end: what a damaged
// image added to the target is taken out again (texts stay in the pool).
bool readBody(ImageReader& in, const Header& header, const std::shared_ptr<ImageBytes>& bytes,
              const ListImageKey& key, PackageList& target, Logger::Recording& messages,
              std::string& why) {
    const char* headerBytes = reinterpret_cast<const char*>(bytes->data());
    std::string_view text;
    if (!in.getText(text) || text != keyText(key)) {
        why = "made of another list";
        return false;
    }
    why = "damaged";
    for (uint32_t i = 0; i < header.m_nArchs; ++i) {
        uint8_t compatible;
        if (!in.get8(compatible) || !in.getText(text)) {
            return false;
        }
        const std::string arch(text);
        if ((rpmMachineScore(RPM_MACHTABLE_INSTARCH, arch.c_str()) != 0) != (compatible != 0)) {
            why = "made for other architectures";
            return false;
        }
    }
    Logger::Recording recorded;
    for (uint32_t i = 0; i < header.m_nMessages; ++i) {
        uint8_t level;
        if (!in.get8(level) || level < static_cast<uint8_t>(LogLevel::Debug) ||
            level > static_cast<uint8_t>(LogLevel::Fatal) || !in.getText(text)) {
            return false;
        }
        recorded.emplace_back(static_cast<LogLevel>(level), std::string(text));
    }
    std::vector<uint32_t> handles;
    TextSpan texts;
    if (!readTexts(in, header, *bytes, handles, texts)) {
        return false;
    }
    const uint32_t base = target.addParts(
        std::make_shared<ImageParts>(bytes, texts, header.m_nColdAt, PooledString(key.m_sCacheDir)),
        static_cast<uint32_t>(header.m_nSize));
    if (base == 0) {
        why = "one image too many for the list";
        return false;
    }
    // The cold records, checked alongside the hot ones that point at them.
    ImageReader cold(*bytes, header.m_nColdAt, header.m_nSize, header.m_nColdAt);
    const size_t before = target.size();
    // A hot record takes at least its fixed fields and two counts.
    target.reserve(before +
                   std::min<size_t>(header.m_nPackages, in.left() / (kHotFixedSize + 2 * 4)));
    Package package;
    std::vector<Dependency> scratch;
    for (uint32_t i = 0; i < header.m_nPackages; ++i) {
        uint32_t coldAt;
        if (!readHotPackage(in, HotTexts{handles}, package, coldAt, scratch) ||
            coldAt != cold.pos() || !skipColdPackage(cold)) {
            target.truncate(before);
            target.dropLastParts();
            return false;
        }
        package.m_nListRef = base + coldAt;
        target.insert(package);
        in.pass();
        cold.pass();
    }
    if (!in.atEnd() || !cold.atEnd() || hotPartHash(headerBytes, in.hash()) != header.m_nHotHash ||
        cold.hash() != header.m_nColdHash) {
        target.truncate(before);
        target.dropLastParts();
        return false;
    }
    messages = std::move(recorded);
    return true;
}

// The texts of an image in the order of their numbers: first the hot ones
// (read by a check), then the cold ones (of requires and recommends).
enum TextTier : size_t { kHotTexts, kColdTexts, kTiers };

// Numbers the texts of a list's packages tier by tier, each tier in the order
// of the pool handles, with a bit per handle and the count of bits before
// each word, so that a number is two reads. A bit stands for two handles
// (entries lie at least three bytes apart, so only one of them is a text's),
// with a bitmap of odd handles to tell which.
class TextNumbers {
public:
    TextNumbers() {
        const size_t words = static_cast<size_t>(string_pool::handleLimit() / 128 + 1);
        for (auto& bits : m_aBits) {
            bits.assign(words, 0);
        }
        m_vOdd.assign(words, 0);
    }
    void mark(const PooledString& text, TextTier tier) {
        const uint32_t slot = text.handle() >> 1;
        const uint64_t bit = uint64_t{1} << (slot & 63);
        m_aBits[tier][slot >> 6] |= bit;
        if ((text.handle() & 1) != 0) {
            m_vOdd[slot >> 6] |= bit;
        }
    }
    // Done marking: keeps every text in its first tier and counts the bits.
    void finish() {
        mark(PooledString(), kHotTexts);  // text 0 is the empty one
        const size_t words = m_aBits[0].size();
        std::vector<uint64_t> lower(words, 0);
        uint32_t total = 0;
        for (size_t t = 0; t < kTiers; ++t) {
            std::vector<uint64_t>& bits = m_aBits[t];
            m_aBefore[t].resize(words);
            m_aFirst[t] = total;
            for (size_t w = 0; w < words; ++w) {
                bits[w] &= ~lower[w];
                lower[w] |= bits[w];
                m_aBefore[t][w] = total;
                total += static_cast<uint32_t>(__builtin_popcountll(bits[w]));
            }
        }
        m_nCount = total;
    }
    uint32_t number(const PooledString& text) const {
        const uint32_t slot = text.handle() >> 1;
        const size_t word = slot >> 6;
        const uint64_t bit = uint64_t{1} << (slot & 63);
        const size_t t = (m_aBits[kHotTexts][word] & bit) != 0 ? kHotTexts : kColdTexts;
        return m_aBefore[t][word] +
               static_cast<uint32_t>(__builtin_popcountll(m_aBits[t][word] & (bit - 1)));
    }
    // The count of the hot texts, numbered first.
    uint32_t hotCount() const { return m_aFirst[kColdTexts]; }
    uint32_t count() const { return m_nCount; }
    // Calls f with every text of a tier, in number order.
    template <typename F>
    void forEach(TextTier tier, F f) const {
        const std::vector<uint64_t>& bits = m_aBits[tier];
        for (size_t w = 0; w < bits.size(); ++w) {
            for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
                const unsigned at = static_cast<unsigned>(__builtin_ctzll(word));
                const auto slot = static_cast<uint32_t>(w << 6 | at);
                f(PooledString::fromHandle(slot << 1 | static_cast<uint32_t>(m_vOdd[w] >> at & 1)));
            }
        }
    }

private:
    std::vector<uint64_t> m_aBits[kTiers];
    std::vector<uint64_t> m_vOdd;
    std::vector<uint32_t> m_aBefore[kTiers];
    uint32_t m_aFirst[kTiers] = {};
    uint32_t m_nCount = 0;
};

// Writes the image in blocks after the room for its header, keeping the hash
// of what it wrote.
class ImageWriter {
public:
    explicit ImageWriter(int fd) : m_nFd(fd) {
        m_sBuffer.reserve(kBlock);
        XXH3_64bits_reset(&m_hash);
    }
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    void put8(uint8_t value) { putRaw(&value, sizeof(value)); }
    void put32(uint32_t value) { putRaw(&value, sizeof(value)); }
    void put64(uint64_t value) { putRaw(&value, sizeof(value)); }
    void putText(std::string_view text) {
        put32(static_cast<uint32_t>(text.size()));
        putRaw(text.data(), text.size());
    }
    void putRaw(const void* data, size_t size) {
        if (m_sBuffer.size() + size > kBlock) {
            flush();
        }
        if (size > kBlock) {
            XXH3_64bits_update(&m_hash, data, size);
            m_nSize += size;
            m_bOk = m_bOk && writeAll(m_nFd, data, size);
            return;
        }
        m_sBuffer.append(static_cast<const char*>(data), size);
    }
    bool flush() {
        if (m_sBuffer.empty()) {
            return m_bOk;
        }
        XXH3_64bits_update(&m_hash, m_sBuffer.data(), m_sBuffer.size());
        m_nSize += m_sBuffer.size();
        m_bOk = m_bOk && writeAll(m_nFd, m_sBuffer.data(), m_sBuffer.size());
        m_sBuffer.clear();
        return m_bOk;
    }
    // The hash of what was written since the last cut, and a new start.
    uint64_t cut() {
        flush();
        const uint64_t hash = XXH3_64bits_digest(&m_hash);
        XXH3_64bits_reset(&m_hash);
        return hash;
    }
    // The bytes written and buffered, header included.
    uint64_t size() const { return m_nSize + m_sBuffer.size(); }

private:
    static constexpr size_t kBlock = 256 * 1024;

    int m_nFd;
    std::string m_sBuffer;
    XXH3_state_t m_hash;
    uint64_t m_nSize = kHeaderSize;
    bool m_bOk = true;
};

void markTexts(TextNumbers& numbers, const PackageList& packages) {
    for (const Package& p : packages) {
        for (const PooledString* text :
             {&p.m_sName, &p.m_sGroup, &p.m_sArch, &p.m_evr.m_sVersion, &p.m_evr.m_sRelease}) {
            numbers.mark(*text, kHotTexts);
        }
        for (size_t hot = 0; hot < 2; ++hot) {
            const TextTier tier = hot != 0 ? kHotTexts : kColdTexts;
            for (DependencySet Package::*member : hot != 0 ? kHotSets : kColdSets) {
                for (const Dependency& dep : p.*member) {
                    numbers.mark(dep.m_sName, tier);
                    numbers.mark(dep.m_evr.m_sVersion, tier);
                    numbers.mark(dep.m_evr.m_sRelease, tier);
                }
            }
        }
    }
    numbers.finish();
}

// Writes the text blocks and gives the offset of every text's entry, by number.
uint32_t putTexts(ImageWriter& out, const TextNumbers& numbers, std::vector<uint32_t>& offsets) {
    offsets.clear();
    offsets.reserve(numbers.count());
    uint32_t blocks = 0;
    std::string block;
    block.reserve(string_pool::kChunkBytes);
    auto flush = [&]() {
        if (!block.empty()) {
            out.put32(static_cast<uint32_t>(block.size()));
            out.putRaw(block.data(), block.size());
            block.clear();
            ++blocks;
        }
    };
    auto put = [&](const PooledString& text) {
        const size_t size = string_pool::entryBytes(text.size());
        if (!block.empty() && block.size() + size > string_pool::kChunkBytes) {
            flush();
        }
        const size_t at = block.size();
        block.resize(at + size);
        string_pool::writeEntry(text.view(), &block[at]);
        // The entry lies after the block's size.
        offsets.push_back(static_cast<uint32_t>(out.size() + 4 + at));
    };
    numbers.forEach(kHotTexts, put);
    flush();  // the cold texts begin a block of their own
    numbers.forEach(kColdTexts, put);
    flush();
    return blocks;
}

bool isVersioned(const Dependency& dep) {
    return dep.m_evr.m_nEpoch != 0 || !dep.m_evr.m_sVersion.empty() ||
           !dep.m_evr.m_sRelease.empty();
}

size_t setsSize(const Package& p, DependencySet Package::*const (&sets)[2]) {
    size_t size = 2 * 4;
    for (DependencySet Package::*member : sets) {
        for (const Dependency& dep : p.*member) {
            size += isVersioned(dep) ? kMinDependencySize + 3 * 4 : kMinDependencySize;
        }
    }
    return size;
}

// Writes a dependency; `ref` gives the reference of a text.
template <typename Ref>
void putDependency(ImageWriter& out, const Dependency& dep, const Ref& ref) {
    const bool versioned = isVersioned(dep);
    out.put32(ref(dep.m_sName) | (versioned ? kVersionedBit : 0));
    out.put32(dep.m_nFlags);
    if (versioned) {
        out.put32(dep.m_evr.m_nEpoch);
        out.put32(ref(dep.m_evr.m_sVersion));
        out.put32(ref(dep.m_evr.m_sRelease));
    }
}

// The kind of a package's cache file.
CacheFileKind cacheFileKind(const Package& p, const PooledString& cacheDir) {
    if (p.m_sCacheFile.empty()) {
        return kNoCacheFile;
    }
    return p.m_sCacheFile == PooledPath(cacheDir, p.m_sLocation.base()) ? kCacheDirFile
                                                                        : kOtherCacheFile;
}

size_t coldSize(const Package& p, const PooledString& cacheDir) {
    size_t size = kColdFixedSize + p.m_sLocation.dir().size() + p.m_sLocation.base().size() +
                  p.m_checksum.m_sValue.size() + p.m_checksum.m_sType.size() +
                  setsSize(p, kColdSets);
    if (cacheFileKind(p, cacheDir) == kOtherCacheFile) {
        size += 2 * 4 + p.m_sCacheFile.dir().size() + p.m_sCacheFile.base().size();
    }
    return size;
}

void putHotPart(ImageWriter& out, const TextNumbers& numbers, const PackageList& packages,
                uint64_t coldAt, const PooledString& cacheDir) {
    const auto ref = [&numbers](const PooledString& text) { return numbers.number(text); };
    auto put = [&](const PooledString& text) { out.put32(ref(text)); };
    for (const Package& p : packages) {
        put(p.m_sName);
        put(p.m_sGroup);
        put(p.m_sArch);
        out.put32(static_cast<uint32_t>(p.m_nType));
        out.put32(p.m_evr.m_nEpoch);
        put(p.m_evr.m_sVersion);
        put(p.m_evr.m_sRelease);
        out.put64(static_cast<uint64_t>(p.m_nInstalledSize));
        out.put64(static_cast<uint64_t>(p.m_nPackageSize));
        out.put32(static_cast<uint32_t>(coldAt));
        coldAt += coldSize(p, cacheDir);
        for (DependencySet Package::*member : kHotSets) {
            out.put32(static_cast<uint32_t>((p.*member).size()));
            for (const Dependency& dep : p.*member) {
                putDependency(out, dep, ref);
            }
        }
    }
}

void putColdPart(ImageWriter& out, const TextNumbers& numbers, const std::vector<uint32_t>& offsets,
                 const PackageList& packages, const PooledString& cacheDir) {
    // Text 0, the empty one, is written as offset 0.
    const auto ref = [&](const PooledString& text) {
        return text.empty() ? 0 : offsets[numbers.number(text)];
    };
    for (const Package& p : packages) {
        out.putText(p.m_sLocation.dir().view());
        out.putText(p.m_sLocation.base().view());
        out.putText(p.m_checksum.m_sValue.view());
        out.putText(p.m_checksum.m_sType.view());
        const CacheFileKind kind = cacheFileKind(p, cacheDir);
        out.put32(kind);
        if (kind == kOtherCacheFile) {
            out.putText(p.m_sCacheFile.dir().view());
            out.putText(p.m_sCacheFile.base().view());
        }
        for (DependencySet Package::*member : kColdSets) {
            out.put32(static_cast<uint32_t>((p.*member).size()));
            for (const Dependency& dep : p.*member) {
                putDependency(out, dep, ref);
            }
        }
    }
}

bool readImage(const std::shared_ptr<ImageBytes>& bytes, const ListImageKey& key,
               PackageList& target, Logger::Recording& messages, std::string& why) {
    // The hot part's hash is taken from the end of the header on and then
    // over the header's fields.
    ImageReader in(*bytes, 0, bytes->size(), kHeaderSize);
    Header header;
    if (!readHeader(in, header, why)) {
        return false;
    }
    if (header.m_nSize != bytes->size()) {
        why = "of the wrong size";
        return false;
    }
    if (header.m_nColdAt < kHeaderSize || header.m_nColdAt > header.m_nSize) {
        why = "damaged";
        return false;
    }
    in.limit(header.m_nColdAt);
    return readBody(in, header, bytes, key, target, messages, why);
}

// The image at the path, mapped; refused quietly when there is none.
bool readImageFile(const std::string& path, const ListImageKey& key, PackageList& target) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno != ENOENT) {
            LOGW("ignoring list image '%s' (%s)", path.c_str(), errnoString().c_str());
        }
        return false;
    }
    struct stat st;
    std::string why;
    void* map = MAP_FAILED;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) < kHeaderSize) {
        why = "cut short";
    } else if (static_cast<uint64_t>(st.st_size) > kMaxImageSize) {
        why = "too large";
    } else {
        map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (map == MAP_FAILED) {
            why = errnoString();
        }
    }
    bool ok = false;
    Logger::Recording messages;
    if (map != MAP_FAILED) {
        // The mapping lives as long as the packages that refer to it, and
        // for good once the string pool took texts from it. The cache
        // directory is the program's own and an image is only ever replaced
        // by a rename, so the mapped file does not change under it.
        ok = readImage(ImageBytes::mapped(static_cast<const unsigned char*>(map),
                                          static_cast<size_t>(st.st_size), std::move(fd)),
                       key, target, messages, why);
    }
    if (!ok) {
        LOGW("ignoring list image '%s' (%s)", path.c_str(), why.c_str());
        return false;
    }
    for (const auto& message : messages) {
        theLogger().logText(message.first, message.second);
    }
    return true;
}

}  // namespace

std::string listImageName(MetadataType type, const std::string& checksumValue) {
    const char* typeName = metadataTypeName(type);
    const bool hex = !checksumValue.empty() && checksumValue.size() <= 128 &&
                     checksumValue.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (typeName == nullptr || !hex) {
        return std::string();
    }
    return std::string(typeName) + "-" + checksumValue + ".v" + std::to_string(kListImageVersion) +
           ".image";
}

bool isListImageName(const std::string& name) {
    static const std::string kSuffix = ".image";
    return name.size() > kSuffix.size() &&
           name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

bool readListImage(const unsigned char* data, size_t size, const ListImageKey& key,
                   PackageList& target, Logger::Recording& messages, std::string& why) {
    if (size > kMaxImageSize) {
        why = "too large";
        return false;
    }
    return readImage(ImageBytes::copied(data, size), key, target, messages, why);
}

bool writeListImage(const std::string& path, const ListImageKey& key, const PackageList& packages,
                    const ArchVerdicts& archs, const Logger::Recording& messages) {
    const std::string temp = path + ".tmp";
    unlink(temp.c_str());
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        LOGW("failed writing list image '%s' (%s)", path.c_str(), errnoString().c_str());
        return false;
    }
    ImageWriter out(fd.get());
    // Room for the header, written last.
    const std::string blank(kHeaderSize, '\0');
    bool ok = writeAll(fd.get(), blank.data(), blank.size());
    out.putText(keyText(key));
    for (const auto& arch : archs.m_vArchs) {
        out.put8(arch.second ? 1 : 0);
        out.putText(arch.first);
    }
    for (const auto& message : messages) {
        out.put8(static_cast<uint8_t>(message.first));
        out.putText(message.second);
    }
    TextNumbers numbers;
    markTexts(numbers, packages);
    std::vector<uint32_t> offsets;
    const uint32_t blocks = putTexts(out, numbers, offsets);
    const PooledString cacheDir(key.m_sCacheDir);
    uint64_t coldAt = out.size();
    for (const Package& p : packages) {
        coldAt += kHotFixedSize + setsSize(p, kHotSets);
    }
    putHotPart(out, numbers, packages, coldAt, cacheDir);
    const uint64_t hotBody = out.cut();
    putColdPart(out, numbers, offsets, packages, cacheDir);
    const uint64_t coldHash = out.cut();
    ok = out.flush() && ok && out.size() <= kMaxImageSize;

    std::string header(kMagic, sizeof(kMagic));
    auto append = [&header](const auto& value) {
        header.append(reinterpret_cast<const char*>(&value), sizeof(value));
    };
    append(uint64_t{0});
    append(coldHash);
    append(uint32_t{kListImageVersion});
    append(numbers.count());
    append(out.size());
    append(numbers.hotCount());
    append(static_cast<uint32_t>(packages.size()));
    append(static_cast<uint32_t>(messages.size()));
    append(static_cast<uint32_t>(archs.m_vArchs.size()));
    append(blocks);
    append(static_cast<uint32_t>(coldAt));
    const uint64_t hotHash = hotPartHash(header.data(), hotBody);
    std::memcpy(&header[kHashesAt], &hotHash, sizeof(hotHash));
    ok = ok &&
         pwrite(fd.get(), header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
    // No sync: an image cut by a power loss fails its size or hash and is
    // written again.
    if (!ok || fd.close() != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        LOGW("failed writing list image '%s' (%s)", path.c_str(), errnoString().c_str());
        fd.reset();
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool loadPackageList(const std::string& listPath, const std::string& imagePath,
                     const ListImageKey& key, PackageList& target) {
    Logger& logger = theLogger();
    if (imagePath.empty() || logger.isEnabled(LogLevel::Trace)) {
        return parsePackageList(listPath, key.m_type, target, key.m_sCacheDir);
    }
    if (readImageFile(imagePath, key, target)) {
        return true;
    }
    PackageList parsed;
    ArchVerdicts archs;
    Logger::Recording messages;
    Logger::Recording* outer = logger.setRecording(&messages);
    const bool ok = parsePackageList(listPath, key.m_type, parsed, key.m_sCacheDir, &archs);
    logger.setRecording(outer);
    if (outer != nullptr) {
        outer->insert(outer->end(), messages.begin(), messages.end());
    }
    if (!ok) {
        return false;
    }
    if (archs.m_bComplete) {
        writeListImage(imagePath, key, parsed, archs, messages);
    }
    if (target.empty()) {
        target = std::move(parsed);
    } else {
        for (const Package& package : parsed) {
            target.insert(package);
        }
    }
    return true;
}
