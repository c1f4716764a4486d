#include "repo/package_list_image.h"

#include <fcntl.h>
#include <rpm/rpmlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "support/fd.h"
#include "support/system.h"

// Layout, all numbers little-endian as the machine writes them (the magic
// tells a machine of the other order):
//   header: magic (8 bytes), version, CRC-32 of everything that follows it,
//           file size (8 bytes), counts of texts, packages, messages and
//           architectures (4 bytes each unless said otherwise);
//   the key text: type name, "\n", list checksums, "\n", cache directory;
//   architectures: compatible (1 byte), text;
//   messages: level (1 byte), text;
//   texts: length and bytes, numbered from 0 in this order;
//   packages: name, group, arch, type, epoch, version, release, location
//           (directory and file name), cache file (the same), checksum value
//           and type, installed size and package size (8 bytes each), then
//           the requires, recommends, provides and obsoletes: a count and
//           that many dependencies (name, epoch, version, release, flags).
// Texts in a package are their numbers in the text table; a text of the key,
// an architecture or a message is its length and bytes.

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'L', 'I', 'S', 'T', '\x01'};
constexpr size_t kHeaderSize = 40;
constexpr size_t kCrcAt = 12;
constexpr size_t kCrcFrom = 16;  // the CRC covers the file from the size on
// Pages of the mapped image that the reader has passed are given back in
// steps of this size, so that the image never adds much to the peak.
constexpr size_t kReleaseStep = size_t{1} << 20;

constexpr DependencySet Package::*kDependencySets[] = {
    &Package::m_setRequires, &Package::m_setRecommends, &Package::m_setProvides,
    &Package::m_setObsoletes};

std::string keyText(const ListImageKey& key) {
    const char* type = metadataTypeName(key.m_type);
    return std::string(type != nullptr ? type : "") + "\n" + key.m_sListChecksums + "\n" +
           key.m_sCacheDir;
}

uint32_t crcOf(uint32_t crc, const unsigned char* data, size_t size) {
    while (size > 0) {
        const auto step = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = static_cast<uint32_t>(crc32(crc, data, step));
        data += step;
        size -= step;
    }
    return crc;
}

// A cursor over the image in memory; every read is checked against its end.
// It takes the CRC of what it has passed, a step at a time, and gives the
// pages of a mapped image back behind it, so that the image is read once and
// never adds much to the peak.
class ImageReader {
public:
    ImageReader(const unsigned char* data, size_t size, bool mapped)
        : m_pData(data), m_nSize(size), m_bMapped(mapped) {}

    bool get32(uint32_t& value) { return getRaw(&value, sizeof(value)); }
    bool get64(uint64_t& value) { return getRaw(&value, sizeof(value)); }
    bool get8(uint8_t& value) { return getRaw(&value, sizeof(value)); }
    bool getText(std::string_view& text) {
        uint32_t length;
        if (!get32(length) || length > m_nSize - m_nPos) {
            return false;
        }
        text = std::string_view(reinterpret_cast<const char*>(m_pData) + m_nPos, length);
        m_nPos += length;
        return true;
    }
    // A number of the text table.
    bool getString(const std::vector<PooledString>& table, PooledString& value) {
        uint32_t index;
        if (!get32(index) || index >= table.size()) {
            return false;
        }
        value = table[index];
        return true;
    }
    bool atEnd() const { return m_nPos == m_nSize; }

    // Takes the CRC of the whole steps passed (of everything at the end).
    void pass() {
        const size_t end = m_nPos == m_nSize ? m_nSize : m_nPos & ~(kReleaseStep - 1);
        if (end <= m_nChecked) {
            return;
        }
        m_nCrc = crcOf(m_nCrc, m_pData + m_nChecked, end - m_nChecked);
        m_nChecked = end;
        if (m_bMapped) {
            const size_t pages = end & ~(static_cast<size_t>(sysconf(_SC_PAGESIZE)) - 1);
            madvise(const_cast<unsigned char*>(m_pData), pages, MADV_DONTNEED);
        }
    }
    // The CRC of everything from the size on; the reader must be at the end.
    uint32_t crc() {
        pass();
        return m_nCrc;
    }

private:
    bool getRaw(void* value, size_t size) {
        if (size > m_nSize - m_nPos) {
            return false;
        }
        std::memcpy(value, m_pData + m_nPos, size);
        m_nPos += size;
        return true;
    }

    const unsigned char* m_pData;
    size_t m_nSize;
    bool m_bMapped;
    size_t m_nPos = 0;
    size_t m_nChecked = kCrcFrom;
    uint32_t m_nCrc = static_cast<uint32_t>(crc32(0, nullptr, 0));
};

struct Header {
    uint32_t m_nVersion = 0;
    uint32_t m_nCrc = 0;
    uint64_t m_nSize = 0;
    uint32_t m_nStrings = 0;
    uint32_t m_nPackages = 0;
    uint32_t m_nMessages = 0;
    uint32_t m_nArchs = 0;
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
    if (!in.get32(header.m_nVersion) || !in.get32(header.m_nCrc) || !in.get64(header.m_nSize) ||
        !in.get32(header.m_nStrings) || !in.get32(header.m_nPackages) ||
        !in.get32(header.m_nMessages) || !in.get32(header.m_nArchs)) {
        why = "cut short";
        return false;
    }
    if (header.m_nVersion != kListImageVersion) {
        why = "format version " + std::to_string(header.m_nVersion);
        return false;
    }
    return true;
}

bool readDependency(ImageReader& in, const std::vector<PooledString>& strings, Dependency& dep) {
    return in.getString(strings, dep.m_sName) && in.get32(dep.m_evr.m_nEpoch) &&
           in.getString(strings, dep.m_evr.m_sVersion) &&
           in.getString(strings, dep.m_evr.m_sRelease) && in.get32(dep.m_nFlags);
}

bool readPath(ImageReader& in, const std::vector<PooledString>& strings, PooledPath& path) {
    PooledString dir;
    PooledString base;
    if (!in.getString(strings, dir) || !in.getString(strings, base)) {
        return false;
    }
    path = PooledPath(dir, base);
    return true;
}

bool readPackage(ImageReader& in, const std::vector<PooledString>& strings, Package& package) {
    uint32_t type;
    uint64_t installedSize;
    uint64_t packageSize;
    if (!in.getString(strings, package.m_sName) || !in.getString(strings, package.m_sGroup) ||
        !in.getString(strings, package.m_sArch) || !in.get32(type) ||
        type > static_cast<uint32_t>(PackageType::FLASHEDFW) ||
        !in.get32(package.m_evr.m_nEpoch) || !in.getString(strings, package.m_evr.m_sVersion) ||
        !in.getString(strings, package.m_evr.m_sRelease) ||
        !readPath(in, strings, package.m_sLocation) || !readPath(in, strings, package.m_sCacheFile) ||
        !in.getString(strings, package.m_checksum.m_sValue) ||
        !in.getString(strings, package.m_checksum.m_sType) || !in.get64(installedSize) ||
        !in.get64(packageSize)) {
        return false;
    }
    package.m_nType = static_cast<PackageType>(type);
    package.m_nInstalledSize = static_cast<int64_t>(installedSize);
    package.m_nPackageSize = static_cast<int64_t>(packageSize);
    for (DependencySet Package::*member : kDependencySets) {
        DependencySet& set = package.*member;
        set.reset();
        uint32_t count;
        if (!in.get32(count)) {
            return false;
        }
        Dependency dep;
        for (uint32_t i = 0; i < count; ++i) {
            // The arrays were written in order and without duplicates.
            if (!readDependency(in, strings, dep)) {
                return false;
            }
            const auto inserted = set.insert(dep);
            if (!inserted.second || inserted.first != set.end() - 1) {
                return false;
            }
        }
    }
    return true;
}

// The body after the header. The CRC is checked at the end: what a damaged
// image added to the target is taken out again (texts stay in the pool).
bool readBody(ImageReader& in, const Header& header, const ListImageKey& key, PackageList& target,
              Logger::Recording& messages, std::string& why) {
    std::string_view text;
    if (!in.getText(text) || text != keyText(key)) {
        why = "made of another list";
        return false;
    }
    for (uint32_t i = 0; i < header.m_nArchs; ++i) {
        uint8_t compatible;
        if (!in.get8(compatible) || !in.getText(text)) {
            why = "damaged";
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
            why = "damaged";
            return false;
        }
        recorded.emplace_back(static_cast<LogLevel>(level), std::string(text));
    }
    std::vector<PooledString> strings;
    strings.reserve(std::min<size_t>(header.m_nStrings, header.m_nSize / sizeof(uint32_t)));
    for (uint32_t i = 0; i < header.m_nStrings; ++i) {
        if (!in.getText(text)) {
            why = "damaged";
            return false;
        }
        strings.emplace_back(text);
        in.pass();
    }
    const size_t before = target.size();
    // A package takes at least 84 bytes.
    target.reserve(before + std::min<size_t>(header.m_nPackages, header.m_nSize / 84));
    Package package;
    for (uint32_t i = 0; i < header.m_nPackages; ++i) {
        if (!readPackage(in, strings, package)) {
            target.truncate(before);
            why = "damaged";
            return false;
        }
        target.insert(package);
        in.pass();
    }
    if (!in.atEnd() || in.crc() != header.m_nCrc) {
        target.truncate(before);
        why = "damaged";
        return false;
    }
    messages = std::move(recorded);
    return true;
}

// Numbers the texts of the packages in the order they are met: an open
// hash table from pool handles to numbers.
class StringNumbers {
public:
    StringNumbers() : m_vSlots(size_t{1} << 16) {}

    // The number of the text, and whether it is new.
    std::pair<uint32_t, bool> number(const PooledString& text) {
        if (2 * (m_vTexts.size() + 1) > m_vSlots.size()) {
            grow();
        }
        const uint32_t handle = text.handle();
        size_t slot = place(handle);
        if (m_vSlots[slot].second != 0) {
            return {m_vSlots[slot].second - 1, false};
        }
        m_vTexts.push_back(text);
        m_vSlots[slot] = {handle, static_cast<uint32_t>(m_vTexts.size())};
        return {m_vSlots[slot].second - 1, true};
    }
    const std::vector<PooledString>& texts() const { return m_vTexts; }

private:
    size_t place(uint32_t handle) const {
        const size_t mask = m_vSlots.size() - 1;
        size_t slot = ((handle * uint64_t{0x9E3779B97F4A7C15}) >> 32) & mask;
        while (m_vSlots[slot].second != 0 && m_vSlots[slot].first != handle) {
            slot = (slot + 1) & mask;
        }
        return slot;
    }
    void grow() {
        std::vector<std::pair<uint32_t, uint32_t>> old(m_vSlots.size() * 2);
        old.swap(m_vSlots);
        for (const auto& entry : old) {
            if (entry.second != 0) {
                m_vSlots[place(entry.first)] = entry;
            }
        }
    }

    std::vector<std::pair<uint32_t, uint32_t>> m_vSlots;  // handle, number + 1 (0: free)
    std::vector<PooledString> m_vTexts;
};

// Writes the image in blocks, keeping the CRC of what follows the header.
class ImageWriter {
public:
    explicit ImageWriter(int fd) : m_nFd(fd) { m_sBuffer.reserve(kBlock); }

    void put8(uint8_t value) { putRaw(&value, sizeof(value)); }
    void put32(uint32_t value) { putRaw(&value, sizeof(value)); }
    void put64(uint64_t value) { putRaw(&value, sizeof(value)); }
    void putText(std::string_view text) {
        put32(static_cast<uint32_t>(text.size()));
        putRaw(text.data(), text.size());
    }
    bool flush() {
        if (m_sBuffer.empty()) {
            return m_bOk;
        }
        m_nCrc = crcOf(m_nCrc, reinterpret_cast<const unsigned char*>(m_sBuffer.data()),
                       m_sBuffer.size());
        m_nSize += m_sBuffer.size();
        m_bOk = m_bOk && writeAll(m_nFd, m_sBuffer.data(), m_sBuffer.size());
        m_sBuffer.clear();
        return m_bOk;
    }
    uint32_t crc() const { return m_nCrc; }
    uint64_t size() const { return m_nSize; }

private:
    static constexpr size_t kBlock = 256 * 1024;

    void putRaw(const void* data, size_t size) {
        if (m_sBuffer.size() + size > kBlock) {
            flush();
        }
        m_sBuffer.append(static_cast<const char*>(data), size);
    }

    int m_nFd;
    std::string m_sBuffer;
    uint32_t m_nCrc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    uint64_t m_nSize = kHeaderSize;
    bool m_bOk = true;
};

void putStrings(ImageWriter& out, StringNumbers& numbers, const PackageList& packages) {
    auto note = [&](const PooledString& text) {
        if (numbers.number(text).second) {
            out.putText(text.view());
        }
    };
    note(PooledString());
    for (const Package& p : packages) {
        for (const PooledString* text :
             {&p.m_sName, &p.m_sGroup, &p.m_sArch, &p.m_evr.m_sVersion, &p.m_evr.m_sRelease,
              &p.m_sLocation.dir(), &p.m_sLocation.base(), &p.m_sCacheFile.dir(),
              &p.m_sCacheFile.base(), &p.m_checksum.m_sValue, &p.m_checksum.m_sType}) {
            note(*text);
        }
        for (DependencySet Package::*member : kDependencySets) {
            for (const Dependency& dep : p.*member) {
                note(dep.m_sName);
                note(dep.m_evr.m_sVersion);
                note(dep.m_evr.m_sRelease);
            }
        }
    }
}

void putPackages(ImageWriter& out, StringNumbers& numbers, const PackageList& packages) {
    auto put = [&](const PooledString& text) { out.put32(numbers.number(text).first); };
    for (const Package& p : packages) {
        put(p.m_sName);
        put(p.m_sGroup);
        put(p.m_sArch);
        out.put32(static_cast<uint32_t>(p.m_nType));
        out.put32(p.m_evr.m_nEpoch);
        put(p.m_evr.m_sVersion);
        put(p.m_evr.m_sRelease);
        put(p.m_sLocation.dir());
        put(p.m_sLocation.base());
        put(p.m_sCacheFile.dir());
        put(p.m_sCacheFile.base());
        put(p.m_checksum.m_sValue);
        put(p.m_checksum.m_sType);
        out.put64(static_cast<uint64_t>(p.m_nInstalledSize));
        out.put64(static_cast<uint64_t>(p.m_nPackageSize));
        for (DependencySet Package::*member : kDependencySets) {
            out.put32(static_cast<uint32_t>((p.*member).size()));
            for (const Dependency& dep : p.*member) {
                put(dep.m_sName);
                out.put32(dep.m_evr.m_nEpoch);
                put(dep.m_evr.m_sVersion);
                put(dep.m_evr.m_sRelease);
                out.put32(dep.m_nFlags);
            }
        }
    }
}

bool readImage(const unsigned char* data, size_t size, bool mapped, const ListImageKey& key,
               PackageList& target, Logger::Recording& messages, std::string& why) {
    ImageReader in(data, size, mapped);
    Header header;
    if (!readHeader(in, header, why)) {
        return false;
    }
    if (header.m_nSize != size) {
        why = "of the wrong size";
        return false;
    }
    return readBody(in, header, key, target, messages, why);
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
    } else {
        map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (map == MAP_FAILED) {
            why = errnoString();
        }
    }
    bool ok = false;
    Logger::Recording messages;
    if (map != MAP_FAILED) {
        ok = readImage(static_cast<const unsigned char*>(map), static_cast<size_t>(st.st_size),
                       true, key, target, messages, why);
        munmap(map, static_cast<size_t>(st.st_size));
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
    return readImage(data, size, false, key, target, messages, why);
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
    StringNumbers numbers;
    putStrings(out, numbers, packages);
    putPackages(out, numbers, packages);
    ok = out.flush() && ok;

    std::string header(kMagic, sizeof(kMagic));
    auto append = [&header](const auto& value) {
        header.append(reinterpret_cast<const char*>(&value), sizeof(value));
    };
    append(uint32_t{kListImageVersion});
    append(uint32_t{0});
    append(out.size());
    append(static_cast<uint32_t>(numbers.texts().size()));
    append(static_cast<uint32_t>(packages.size()));
    append(static_cast<uint32_t>(messages.size()));
    append(static_cast<uint32_t>(archs.m_vArchs.size()));
    // The CRC of the header's size and counts, continued by that of the rest.
    const uint32_t headerCrc =
        crcOf(static_cast<uint32_t>(crc32(0, nullptr, 0)),
              reinterpret_cast<const unsigned char*>(header.data()) + kCrcFrom,
              kHeaderSize - kCrcFrom);
    const auto crc = static_cast<uint32_t>(
        crc32_combine(headerCrc, out.crc(), static_cast<z_off_t>(out.size() - kHeaderSize)));
    std::memcpy(&header[kCrcAt], &crc, sizeof(crc));
    ok = ok && pwrite(fd.get(), header.data(), header.size(), 0) ==
                   static_cast<ssize_t>(header.size());
    // No sync: an image cut by a power loss fails its size or CRC and is
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
