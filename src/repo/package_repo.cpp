#include "repo/package_repo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "net/downloader.h"
#include "repo/checksum.h"
#include "repo/item_notify.h"
#include "repo/metadata_signature.h"
#include "repo/package_list.h"
#include "repo/package_list_image.h"
#include "repo/verified_fetch.h"
#include "support/logger.h"
#include "support/system.h"
#include "xml/xml_stream.h"
#include "xml/xml_util.h"

namespace {

// The index and its detached signature, relative to the repository base, and
// their names in the cache.
constexpr const char* kIndexPath = "repodata/repomd.xml";
constexpr const char* kSignaturePath = "repodata/repomd.xml.asc";
constexpr const char* kIndexFile = "repomd.xml";
constexpr const char* kSignatureFile = "repomd.xml.asc";
// Their largest accepted sizes: far above what real repositories publish
// (an index of a few KiB per package list, a signature of a few hundred bytes).
constexpr int64_t kMaxIndexSize = 8 * 1024 * 1024;
constexpr int64_t kMaxSignatureSize = 1024 * 1024;
// Appended to a cache file name while its new copy is not yet accepted.
constexpr const char* kStagedSuffix = ".new";

bool sameText(const xmlChar* a, const char* b) {
    return a != nullptr && std::strcmp(reinterpret_cast<const char*>(a), b) == 0;
}

// The type names a file in the cache directory: it must stay a plain name.
bool isSafeType(const std::string& type) {
    return !type.empty() && type != "." && type != ".." && type.find('/') == std::string::npos;
}

// The integer part of a timestamp such as "1700000000" or "987.25".
bool parseTimestamp(xmlNodePtr node, uint64_t& timestamp, std::string& problem) {
    std::string text;
    if (!getElementText(node, text)) {
        problem = "empty 'timestamp'";
        return false;
    }
    problem = "invalid 'timestamp' '" + text + "'";
    if (text.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    const int savedErrno = errno;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    errno = savedErrno;
    if ((*end != '\0' && *end != '.') || value == ULLONG_MAX) {
        return false;
    }
    timestamp = value;
    return true;
}

// A location relative to another base than the repository's (xml:base) is
// refused: its server would need trust, proxy and credential rules of its own.
bool parseLocation(xmlNodePtr node, std::string& location, std::string& problem) {
    if (xmlChar* base = xmlGetNsProp(node, toXml("base"), XML_XML_NAMESPACE)) {
        problem = "location with xml:base '" + xmlString(base) + "', which is not supported";
        xmlFree(base);
        return false;
    }
    if (!getAttribute(node, "href", location)) {
        problem = "'location' without 'href'";
        return false;
    }
    return true;
}

// One data element of the index; the problem says why it is refused.
bool parseIndexEntry(xmlNodePtr element, const std::string& cacheDir, RepoMdEntry& entry,
                     std::string& problem) {
    if (!getAttribute(element, "type", entry.m_sType)) {
        problem = "no 'type' attribute";
        return false;
    }
    if (!isSafeType(entry.m_sType)) {
        problem = "invalid 'type' attribute '" + entry.m_sType + "'";
        entry.m_sType.clear();
        return false;
    }
    const xmlChar* href = element->ns != nullptr ? element->ns->href : nullptr;
    for (xmlNodePtr node = element->children; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE || node->ns == nullptr ||
            !xmlStrEqual(node->ns->href, href)) {
            continue;
        }
        if (sameText(node->name, "location")) {
            if (!parseLocation(node, entry.m_sLocation, problem)) {
                return false;
            }
        } else if (sameText(node->name, "checksum") ||
                   sameText(node->name, "open-checksum")) {
            Checksum& checksum =
                sameText(node->name, "checksum") ? entry.m_checksum : entry.m_openChecksum;
            if (!parseChecksum(node, checksum)) {
                problem = "invalid '" + xmlString(node->name) + "'";
                return false;
            }
        } else if (sameText(node->name, "timestamp")) {
            if (!parseTimestamp(node, entry.m_nTimestamp, problem)) {
                return false;
            }
        }
    }
    entry.m_sCacheFile = cacheDir + entry.m_sType + extensionOf(entry.m_sLocation);
    return true;
}

// The data elements of the index, wherever they stand below its root.
class IndexVisitor final : public XmlElementVisitor {
public:
    IndexVisitor(const std::string& file, const std::string& cacheDir, RepoMdIndex& index,
                 std::string& revision)
        : m_sFile(file), m_sCacheDir(cacheDir), m_index(index), m_sRevision(revision) {}

    bool root(xmlNodePtr start) override {
        if (!isRepoElement(start, "repomd")) {
            LOGE("bad top-level element, '%s' instead of 'rempomd'",
                 xmlString(start->name).c_str());
            return false;
        }
        return true;
    }
    bool takes(xmlNodePtr start, int depth) override {
        return isRepoElement(start, "data") || (depth == 1 && isRepoElement(start, "revision"));
    }
    bool read(xmlNodePtr element) override {
        if (element == nullptr) {  // the reader failed and said why
            return false;
        }
        if (isRepoElement(element, "revision")) {
            // The first one counts; an empty one is none. A value the
            // getter refuses fails the whole document.
            if (m_sRevision.empty()) {
                getElementText(element, m_sRevision);
            }
            return true;
        }
        RepoMdEntry entry;
        std::string problem;
        if (!parseIndexEntry(element, m_sCacheDir, entry, problem)) {
            const std::string label =
                entry.m_sType.empty() ? "index entry" : "index entry '" + entry.m_sType + "'";
            LOGE("invalid %s in '%s' line %ld: %s", label.c_str(), m_sFile.c_str(),
                 xmlGetLineNo(element), problem.c_str());
            return false;
        }
        m_index.insert(entry);
        return true;
    }

private:
    static bool isRepoElement(xmlNodePtr node, const char* name) {
        return isElement(node, name) && node->ns != nullptr &&
               sameText(node->ns->href, kRepoNamespace);
    }

    const std::string& m_sFile;
    const std::string& m_sCacheDir;
    RepoMdIndex& m_index;
    std::string& m_sRevision;
};

}  // namespace

PackageRepo::PackageRepo(const Config& config, const Repository& repository)
    : m_pRepository(repository),
      m_bNoMdSigCheck(config.m_bNoMdSigCheck),
      m_nMaxIndexAgeDays(config.m_nMaxIndexAgeDays),
      m_sCacheDir(config.m_sCacheDir + repository.m_sId + "/"),
      m_sPackagesDir(m_sCacheDir + "packages/") {
    setUri(repository.m_sLocation);
    if (m_bNoMdSigCheck) {
        LOGD("no metadata signature check: the index's signing time is not checked either");
    }
}

PackageRepo::~PackageRepo() {
    dropStaged();
    LOGD("destroyed repository '%s' with cache dir '%s'", m_pRepository.m_sId.c_str(),
         m_sCacheDir.c_str());
}

void PackageRepo::setUri(const std::string& uri) {
    if (!uri.empty() && uri[0] == '/') {
        m_sUri = "file://" + uri;
    } else {
        m_sUri = uri;
    }
}

bool PackageRepo::isLocal() const {
    return m_sUri.compare(0, 5, "file:") == 0;
}

bool PackageRepo::update(const std::string& overrideUri) {
    if (!overrideUri.empty()) {
        setUri(overrideUri);
    }
    if (m_sUri.empty()) {
        LOGE("no repository URI set, cannot update");
        return false;
    }
    m_setIndex.clear();
    m_lPackages.clear();
    dropStaged();
    if (!makeDir(m_sCacheDir)) {
        return false;
    }
    removeLeftovers();

    const bool signature = checksIndexSignature();
    ItemNotify notify(signature ? 4 : 3);
    Downloader downloader;
    if (!downloader.open(m_sUri, m_pRepository.m_tls)) {
        LOGE("failed creating repository downloder from '%s'", m_sUri.c_str());
        return false;
    }
    downloader.setNotifier(&notify);

    const std::string indexFile = stage(m_sCacheDir + kIndexFile);
    if (!downloader.download(kIndexPath, indexFile, true, kMaxIndexSize)) {
        LOGE("failed getting repository resource '%s'", kIndexPath);
        dropStaged();
        return false;
    }
    notify.itemDone();
    std::string signatureFile = m_sCacheDir + kSignatureFile;
    if (signature) {
        signatureFile = stage(signatureFile);
        if (!downloader.download(kSignaturePath, signatureFile, true, kMaxSignatureSize)) {
            LOGE("failed getting repository resource '%s'", kSignaturePath);
            dropStaged();
            return false;
        }
        notify.itemDone();
    }
    if (!parseIndexFile(m_setIndex, indexFile, signatureFile)) {
        LOGE("failed parsing repository metadata from '%s'", kIndexPath);
        dropStaged();
        return false;
    }
    if (!fetchMetadata(MetadataType::PRIMARY, Presence::REQUIRED, downloader)) {
        dropStaged();
        return false;
    }
    notify.itemDone();
    if (!fetchMetadata(MetadataType::VTXDATA, Presence::OPTIONAL, downloader)) {
        dropStaged();
        return false;
    }
    notify.itemDone();
    // The lists were validated as they were fetched.
    if (!loadAllMetadata(ChecksumCheck::SKIP) || !commitStaged()) {
        dropStaged();
        return false;
    }
    recordIndex();
    return true;
}

bool PackageRepo::load() {
    m_setIndex.clear();
    m_lPackages.clear();
    if (!parseIndex(m_setIndex)) {
        LOGE("failed parsing repository metadata from '%s'", kIndexPath);
        return false;
    }
    if (!loadAllMetadata(ChecksumCheck::VERIFY)) {
        return false;
    }
    recordIndex();
    return true;
}

bool PackageRepo::parseIndex(RepoMdIndex& index) {
    return parseIndexFile(index, m_sCacheDir + kIndexFile, m_sCacheDir + kSignatureFile);
}

bool PackageRepo::checksIndexSignature() const {
    return !m_bNoMdSigCheck;
}

// Every failure denies the index; there is no fallback to reading it
// unauthenticated.
bool PackageRepo::verifyIndexSignature(const std::string& indexFile,
                                       const std::string& signatureFile) {
    if (!isReadable(signatureFile)) {
        LOGE("metadata signature missing or unreadable");
        return false;
    }
    KeyList keys;
    if (!loadMetadataKeys(keys)) {
        LOGE("failed to load public keys from RPM DB to check metadata signature");
        return false;
    }
    if (!verifyDetachedSignature(keys, indexFile, signatureFile)) {
        LOGE("invalid metadata signature");
        return false;
    }
    return true;
}

bool PackageRepo::checkSignatureTime(const std::string& signatureFile) {
    if (!readSignatureTime(signatureFile, m_nSignatureTime)) {
        return false;
    }
    LOGD("metadata signature made at %s", utcTimeText(m_nSignatureTime).c_str());
    return readIndexRecord(m_pRepository.m_sId, m_sUri, m_recorded) &&
           checkIndexTime(m_recorded, m_nSignatureTime, m_nMaxIndexAgeDays, time(nullptr));
}

void PackageRepo::recordIndex() {
    if (!checksIndexSignature()) {
        return;
    }
    const IndexRecord accepted{m_nSignatureTime, recordedRevision(m_sRevision)};
    if (!(m_recorded == accepted) && writeIndexRecord(m_pRepository.m_sId, m_sUri, accepted)) {
        m_recorded = accepted;
    }
}

// A replayed or too old index is refused before its lists are fetched.
bool PackageRepo::parseIndexFile(RepoMdIndex& index, const std::string& indexFile,
                                 const std::string& signatureFile) {
    m_sRevision.clear();
    m_nSignatureTime = 0;
    if (checksIndexSignature() && !(verifyIndexSignature(indexFile, signatureFile) &&
                                    checkSignatureTime(signatureFile))) {
        return false;
    }

    XmlReader reader = openXmlReader(indexFile);
    if (!reader) {
        return false;
    }
    IndexVisitor visitor(indexFile, m_sCacheDir, index, m_sRevision);
    if (!visitXmlElements(reader, visitor)) {
        return false;
    }
    if (checksIndexSignature()) {
        checkIndexRevision(m_recorded, m_sRevision);
    }
    return true;
}

bool PackageRepo::isValidCopy(const RepoMdEntry& entry) const {
    return isValidFile(entry, entry.m_sCacheFile);
}

bool PackageRepo::isValidFile(const RepoMdEntry& entry, const std::string& path) const {
    // A checksum of a type this program does not check is passed over for
    // the other one (fetchIndexEntry refuses an entry with none).
    auto usable = [](const Checksum& checksum) {
        return !checksum.m_sValue.empty() && isKnownChecksumType(checksum);
    };
    if (usable(entry.m_checksum) && checkFile(entry.m_checksum, path)) {
        return true;
    }
    return usable(entry.m_openChecksum) && checkUncompressedFile(entry.m_openChecksum, path);
}

const RepoMdEntry* PackageRepo::findEntry(MetadataType type, Presence presence) const {
    const char* name = metadataTypeName(type);
    if (name == nullptr) {
        return nullptr;
    }
    RepoMdEntry key;
    key.m_sType = name;
    auto it = m_setIndex.find(key);
    if (it == m_setIndex.end()) {
        if (presence == Presence::REQUIRED) {
            LOGE("no '%s' entry in repository metadata", name);
        }
        return nullptr;
    }
    return &*it;
}

bool PackageRepo::fetchIndexEntry(const RepoMdEntry& entry, Downloader& downloader) {
    if (!hasKnownChecksumType({&entry.m_checksum, &entry.m_openChecksum})) {
        return false;
    }
    if (isReadable(entry.m_sCacheFile) && isValidCopy(entry)) {
        LOGD("cached copy '%s' of '%s' is valid", entry.m_sCacheFile.c_str(),
             entry.m_sLocation.c_str());
        return true;
    }
    const std::string& location = entry.m_sLocation;
    const std::string file = stage(entry.m_sCacheFile);
    auto fetch = [&](bool bypassCaches) {
        const bool fetched = downloader.download(location, file, bypassCaches);
        if (!fetched) {
            LOGE("failed getting repository resource '%s'", location.c_str());
        }
        return fetched;
    };
    return fetchVerified(location, fetch, [&] { return isValidFile(entry, file); });
}

bool PackageRepo::fetchMetadata(MetadataType type, Presence presence, Downloader& downloader) {
    const char* name = metadataTypeName(type);
    if (name == nullptr) {
        return false;
    }
    const RepoMdEntry* entry = findEntry(type, presence);
    if (entry == nullptr) {
        if (presence == Presence::REQUIRED) {
            return false;
        }
        LOGD("no '%s' in repository metadata, ignored", name);
        return true;
    }
    if (!fetchIndexEntry(*entry, downloader)) {
        LOGE("failed getting repository resource '%s'", entry->m_sLocation.c_str());
        return false;
    }
    return true;
}

bool PackageRepo::loadMetadata(ChecksumCheck check, MetadataType type, Presence presence) {
    if (metadataTypeName(type) == nullptr) {
        return false;
    }
    const RepoMdEntry* entry = findEntry(type, presence);
    if (entry == nullptr) {
        return presence == Presence::OPTIONAL;
    }
    const std::string file = currentFile(entry->m_sCacheFile);
    if (check == ChecksumCheck::VERIFY && !isValidFile(*entry, file)) {
        LOGE("invalid checksum on '%s'", entry->m_sLocation.c_str());
        return false;
    }
    // The image of a list fetched by this update is staged with it.
    const std::string image = imagePath(*entry, type);
    const bool staged = !image.empty() && file != entry->m_sCacheFile;
    const ListImageKey key{type, checksumsText(*entry), m_sPackagesDir};
    const bool ok = loadPackageList(file, staged ? stage(image) : image, key, m_lPackages);
    if (staged && access(currentFile(image).c_str(), F_OK) != 0) {
        // None was written: nothing to rename.
        m_vStaged.erase(std::find_if(m_vStaged.begin(), m_vStaged.end(),
                                     [&image](const auto& s) { return s.first == image; }));
    }
    if (!ok) {
        LOGE("failed parsing repository resource '%s'", entry->m_sLocation.c_str());
        return false;
    }
    return true;
}

std::string PackageRepo::checksumsText(const RepoMdEntry& entry) {
    return "checksum " + entry.m_checksum.m_sType + " " + entry.m_checksum.m_sValue +
           " open-checksum " + entry.m_openChecksum.m_sType + " " + entry.m_openChecksum.m_sValue;
}

// Named by the checksum the cached copy is checked with first (isValidFile).
std::string PackageRepo::imagePath(const RepoMdEntry& entry, MetadataType type) const {
    const Checksum& checksum = !entry.m_checksum.m_sValue.empty() &&
                                       isKnownChecksumType(entry.m_checksum)
                                   ? entry.m_checksum
                                   : entry.m_openChecksum;
    const std::string name = listImageName(type, checksum.m_sValue);
    return name.empty() ? name : m_sCacheDir + name;
}

void PackageRepo::removeStaleImages() const {
    if (m_setIndex.empty()) {
        return;
    }
    std::set<std::string> current;
    for (MetadataType type : {MetadataType::PRIMARY, MetadataType::VTXDATA}) {
        for (const RepoMdEntry& entry : m_setIndex) {
            if (entry.m_sType == metadataTypeName(type)) {
                current.insert(baseName(imagePath(entry, type)));
            }
        }
    }
    UniqueDir dir = openDirNoFollow(m_sCacheDir);
    if (!dir) {
        return;
    }
    while (struct dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        struct stat st;
        if (!isListImageName(name) || current.count(name) != 0 ||
            fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISDIR(st.st_mode)) {
            continue;
        }
        LOGD("removing list image '%s'", (m_sCacheDir + name).c_str());
        if (unlinkat(dirfd(dir.get()), name.c_str(), 0) != 0) {
            LOGW("failed removing file '%s' (%s)", (m_sCacheDir + name).c_str(),
                 errnoString().c_str());
        }
    }
}

bool PackageRepo::loadAllMetadata(ChecksumCheck check) {
    return loadMetadata(check, MetadataType::PRIMARY, Presence::REQUIRED) &&
           loadMetadata(check, MetadataType::VTXDATA, Presence::OPTIONAL);
}

std::string PackageRepo::stage(const std::string& cacheFile) {
    for (const auto& staged : m_vStaged) {
        if (staged.first == cacheFile) {
            return staged.second;
        }
    }
    m_vStaged.emplace_back(cacheFile, cacheFile + kStagedSuffix);
    return m_vStaged.back().second;
}

const std::string& PackageRepo::currentFile(const std::string& cacheFile) const {
    for (const auto& staged : m_vStaged) {
        if (staged.first == cacheFile) {
            return staged.second;
        }
    }
    return cacheFile;
}

// The index goes last: until it is in place, the cache keeps describing the
// lists it had before.
bool PackageRepo::commitStaged() {
    while (!m_vStaged.empty()) {
        const auto& staged = m_vStaged.back();
        if (rename(staged.second.c_str(), staged.first.c_str()) != 0) {
            LOGE("failed renaming '%s' to '%s' (%s)", staged.second.c_str(), staged.first.c_str(),
                 errnoString().c_str());
            return false;
        }
        m_vStaged.pop_back();
    }
    return true;
}

void PackageRepo::removeLeftovers() const {
    UniqueDir dir = openDirNoFollow(m_sCacheDir);
    if (!dir) {
        return;
    }
    while (struct dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        auto endsWith = [&name](const char* suffix) {
            size_t length = strlen(suffix);
            return name.size() > length && name.compare(name.size() - length, length, suffix) == 0;
        };
        if (!(endsWith(".tmp") || endsWith(kStagedSuffix))) {
            continue;
        }
        std::string path = m_sCacheDir + name;
        struct stat st;
        if (fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode)) {
            continue;
        }
        LOGD("removing leftover '%s'", path.c_str());
        if (unlinkat(dirfd(dir.get()), name.c_str(), 0) != 0) {
            LOGW("failed removing file '%s' (%s)", path.c_str(), errnoString().c_str());
        }
    }
}

void PackageRepo::dropStaged() {
    for (const auto& staged : m_vStaged) {
        unlink(staged.second.c_str());
    }
    m_vStaged.clear();
}

bool PackageRepo::hasPackages(const std::vector<std::string>& names, std::string* missing) const {
    for (const std::string& name : names) {
        if (m_lPackages.find(name) == m_lPackages.end()) {
            LOGD("package '%s' is not present in repository", name.c_str());
            if (missing != nullptr) {
                *missing = name;
            }
            return false;
        }
        LOGT("package '%s' is present in repository", name.c_str());
    }
    return true;
}

bool PackageRepo::hasPackage(const std::string& name, PackageType type) const {
    if (name.empty()) {
        return false;
    }
    auto it = m_lPackages.find(name);
    if (it == m_lPackages.end()) {
        return false;
    }
    return type == PackageType::NONE || it->m_nType == type;
}
