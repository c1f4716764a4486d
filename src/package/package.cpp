#include "package/package.h"

#include <rpm/rpmver.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "support/logger.h"

static_assert(std::is_trivially_copyable_v<Dependency>, "dependency arrays are moved bytewise");

namespace {

int versionCompare(const PooledString& a, const PooledString& b) {
    if (a == b) {
        return 0;
    }
    return rpmvercmp(a.c_str(), b.c_str());
}

bool nameLess(const Dependency& dep, std::string_view name) {
    return dep.m_sName < name;
}
bool nameGreater(std::string_view name, const Dependency& dep) {
    return name < dep.m_sName;
}

}  // namespace

std::string evrToString(const Evr& evr) {
    std::string text;
    if (evr.m_sVersion.empty()) {
        return text;
    }
    if (evr.m_nEpoch != 0) {
        text = std::to_string(evr.m_nEpoch);
        text += ':';
    }
    text.append(evr.m_sVersion.view());
    if (!evr.m_sRelease.empty()) {
        text += '-';
        text.append(evr.m_sRelease.view());
    }
    return text;
}

Evr parseEvr(std::string_view text) {
    Evr evr;
    std::string_view rest = text;
    size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        // strtoul needs a terminated text; the copy ends where the ':' stood.
        std::string epoch(text.substr(0, colon));
        char* end = nullptr;
        int savedErrno = errno;
        unsigned long value = strtoul(epoch.c_str(), &end, 10);
        errno = savedErrno;
        evr.m_nEpoch = static_cast<uint32_t>(value);
        if (end != epoch.c_str() + epoch.size() || epoch.empty()) {
            LOGE("failed parsing epoch from EVR string");
        }
        rest = text.substr(colon + 1);
    }
    if (rest.empty()) {
        LOGE("EVR string has no version release");
        return evr;
    }
    size_t dash = rest.find('-');
    if (dash == std::string_view::npos) {
        evr.m_sVersion = rest;
        return evr;
    }
    evr.m_sVersion = rest.substr(0, dash);
    std::string_view release = rest.substr(dash + 1);
    if (release.empty()) {
        LOGE("empty release in EVR string");
        return evr;
    }
    if (release.find('-') != std::string_view::npos) {
        LOGW("got release string with a dash when parsing EVR");
    }
    evr.m_sRelease = release;
    return evr;
}

int compareEvr(const Evr& a, const Evr& b) {
    if (a.m_nEpoch != b.m_nEpoch) {
        return a.m_nEpoch < b.m_nEpoch ? -1 : 1;
    }
    int result = versionCompare(a.m_sVersion, b.m_sVersion);
    if (result != 0) {
        return result;
    }
    return versionCompare(a.m_sRelease, b.m_sRelease);
}

const char* depSenseText(uint32_t flags) {
    switch (flags) {
        case RPMSENSE_LESS:
            return "<";
        case RPMSENSE_GREATER:
            return ">";
        case RPMSENSE_EQUAL:
            return "=";
        case RPMSENSE_LESS | RPMSENSE_EQUAL:
            return "<=";
        case RPMSENSE_GREATER | RPMSENSE_EQUAL:
            return ">=";
        default:
            return "?";
    }
}

std::string depToString(const Dependency& dep) {
    std::string text(dep.m_sName.view());
    if (dep.m_evr.m_sVersion.empty()) {
        return text;
    }
    text += ' ';
    text += depSenseText(dep.m_nFlags);
    text += ' ';
    text += evrToString(dep.m_evr);
    return text;
}

bool depMatches(const Dependency& a, const Dependency& b) {
    if (a.m_sName != b.m_sName) {
        return false;
    }
    if (a.m_nFlags == 0 || b.m_nFlags == 0 || a.m_evr.m_sVersion.empty() ||
        b.m_evr.m_sVersion.empty()) {
        return true;
    }
    int sense;
    if (a.m_evr.m_nEpoch != b.m_evr.m_nEpoch) {
        sense = a.m_evr.m_nEpoch < b.m_evr.m_nEpoch ? -1 : 1;
    } else {
        sense = versionCompare(a.m_evr.m_sVersion, b.m_evr.m_sVersion);
        if (sense == 0 && !a.m_evr.m_sRelease.empty() && !b.m_evr.m_sRelease.empty()) {
            sense = versionCompare(a.m_evr.m_sRelease, b.m_evr.m_sRelease);
        }
    }
    uint32_t fa = a.m_nFlags;
    uint32_t fb = b.m_nFlags;
    if (sense < 0) {
        return (fa & RPMSENSE_GREATER) != 0 || (fb & RPMSENSE_LESS) != 0;
    }
    if (sense > 0) {
        return (fa & RPMSENSE_LESS) != 0 || (fb & RPMSENSE_GREATER) != 0;
    }
    return ((fa & RPMSENSE_EQUAL) != 0 && (fb & RPMSENSE_EQUAL) != 0) ||
           ((fa & RPMSENSE_LESS) != 0 && (fb & RPMSENSE_LESS) != 0) ||
           ((fa & RPMSENSE_GREATER) != 0 && (fb & RPMSENSE_GREATER) != 0);
}

bool depLess(const Dependency& a, const Dependency& b) {
    if (a.m_sName != b.m_sName) {
        return a.m_sName < b.m_sName;
    }
    int result = compareEvr(a.m_evr, b.m_evr);
    if (result != 0) {
        return result < 0;
    }
    return static_cast<int32_t>(a.m_nFlags) < static_cast<int32_t>(b.m_nFlags);
}

Dependency depFromName(std::string_view name) {
    Dependency dep;
    dep.m_sName = name;
    return dep;
}

Dependency depFromName(const PooledString& name) {
    Dependency dep;
    dep.m_sName = name;
    return dep;
}

Dependency depFromPackage(const Package& package) {
    Dependency dep;
    dep.m_sName = package.m_sName;
    dep.m_evr = package.m_evr;
    dep.m_nFlags = RPMSENSE_EQUAL;
    return dep;
}

// ---- DependencySet ----

struct DependencySet::Block {
    uint32_t m_nSize;
    uint32_t m_nCapacity;  // 0: the array lies in a DependencyStore
    // The entries follow the header.
};

namespace {

constexpr size_t kHeaderSize =
    (sizeof(uint32_t) * 2 + alignof(Dependency) - 1) & ~(alignof(Dependency) - 1);

}  // namespace

DependencySet::DependencySet(std::initializer_list<Dependency> deps) {
    for (const Dependency& dep : deps) {
        insert(dep);
    }
}

DependencySet::DependencySet(const DependencySet& other) {
    size_t n = other.size();
    if (n != 0) {
        reserveFor(n);
        std::memcpy(data(), other.data(), n * sizeof(Dependency));
        m_pBlock->m_nSize = static_cast<uint32_t>(n);
    }
}

DependencySet& DependencySet::operator=(const DependencySet& other) {
    if (this != &other) {
        DependencySet copy(other);
        *this = std::move(copy);
    }
    return *this;
}

DependencySet& DependencySet::operator=(DependencySet&& other) noexcept {
    if (this != &other) {
        release();
        m_pBlock = other.m_pBlock;
        other.m_pBlock = nullptr;
    }
    return *this;
}

DependencySet::~DependencySet() {
    release();
}

void DependencySet::release() {
    if (m_pBlock != nullptr && m_pBlock->m_nCapacity != 0) {
        ::operator delete(m_pBlock);
    }
    m_pBlock = nullptr;
}

Dependency* DependencySet::data() const {
    return m_pBlock == nullptr
               ? nullptr
               : reinterpret_cast<Dependency*>(reinterpret_cast<char*>(m_pBlock) + kHeaderSize);
}

DependencySet::const_iterator DependencySet::begin() const {
    return data();
}

DependencySet::const_iterator DependencySet::end() const {
    return m_pBlock == nullptr ? nullptr : data() + m_pBlock->m_nSize;
}

size_t DependencySet::size() const {
    return m_pBlock == nullptr ? 0 : m_pBlock->m_nSize;
}

void DependencySet::clear() {
    release();
}

void DependencySet::reset() {
    if (m_pBlock != nullptr && m_pBlock->m_nCapacity != 0) {
        m_pBlock->m_nSize = 0;
    } else {
        m_pBlock = nullptr;
    }
}

void DependencySet::assignSorted(const Dependency* deps, size_t count) {
    reset();
    if (count == 0) {
        return;
    }
    reserveFor(count);
    std::memcpy(data(), deps, count * sizeof(Dependency));
    m_pBlock->m_nSize = static_cast<uint32_t>(count);
}

void DependencySet::reserveFor(size_t count) {
    size_t capacity = m_pBlock == nullptr ? 0 : m_pBlock->m_nCapacity;
    if (count <= capacity) {
        return;
    }
    if (count > UINT32_MAX / sizeof(Dependency)) {
        throw std::bad_alloc();
    }
    size_t newCapacity = m_pBlock == nullptr ? count : std::max(count, capacity + capacity / 2 + 1);
    newCapacity = std::min<size_t>(newCapacity, UINT32_MAX / sizeof(Dependency));
    auto* block =
        static_cast<Block*>(::operator new(kHeaderSize + newCapacity * sizeof(Dependency)));
    block->m_nSize = 0;
    block->m_nCapacity = static_cast<uint32_t>(newCapacity);
    if (m_pBlock != nullptr) {
        block->m_nSize = m_pBlock->m_nSize;
        std::memcpy(reinterpret_cast<char*>(block) + kHeaderSize, data(),
                    m_pBlock->m_nSize * sizeof(Dependency));
        release();
    }
    m_pBlock = block;
}

void DependencySet::shrinkToFit() {
    if (m_pBlock != nullptr && m_pBlock->m_nSize < m_pBlock->m_nCapacity) {
        DependencySet copy(*this);
        *this = std::move(copy);
    }
}

DependencySet::iterator DependencySet::firstOfName(std::string_view name) const {
    return std::lower_bound(begin(), end(), name, nameLess);
}

std::pair<DependencySet::iterator, DependencySet::iterator> DependencySet::rangeOfName(
    std::string_view name) const {
    iterator first = firstOfName(name);
    return {first, std::upper_bound(first, end(), name, nameGreater)};
}

DependencySet::iterator DependencySet::lower_bound(const Dependency& key) const {
    if (key.m_nFlags == 0 && key.m_evr.m_nEpoch == 0 && key.m_evr.m_sVersion.empty() &&
        key.m_evr.m_sRelease.empty()) {
        return firstOfName(key.m_sName.view());
    }
    return std::lower_bound(begin(), end(), key, depLess);
}

DependencySet::iterator DependencySet::find(const Dependency& key) const {
    auto range = rangeOfName(key.m_sName.view());
    iterator it = std::lower_bound(range.first, range.second, key, depLess);
    return it != range.second && !depLess(key, *it) ? it : end();
}

std::pair<DependencySet::iterator, bool> DependencySet::insert(const Dependency& dep) {
    size_t n = size();
    size_t index;
    if (n == 0 || depLess(data()[n - 1], dep)) {
        // Input in order (the common case) appends.
        index = n;
    } else {
        auto range = rangeOfName(dep.m_sName.view());
        iterator it = std::lower_bound(range.first, range.second, dep, depLess);
        if (it != range.second && !depLess(dep, *it)) {
            return {it, false};
        }
        index = static_cast<size_t>(it - begin());
    }
    reserveFor(n + 1);
    Dependency* items = data();
    std::memmove(items + index + 1, items + index, (n - index) * sizeof(Dependency));
    new (items + index) Dependency(dep);
    ++m_pBlock->m_nSize;
    return {items + index, true};
}

DependencySet::iterator DependencySet::erase(iterator position) {
    Dependency* items = data();
    size_t n = size();
    size_t index = static_cast<size_t>(position - items);
    if (position == nullptr || index >= n) {
        return end();
    }
    std::memmove(items + index, items + index + 1, (n - index - 1) * sizeof(Dependency));
    --m_pBlock->m_nSize;
    return items + index;
}

size_t DependencySet::erase(const Dependency& key) {
    iterator it = find(key);
    if (it == end()) {
        return 0;
    }
    erase(it);
    return 1;
}

bool operator==(const DependencySet& a, const DependencySet& b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const Dependency& x, const Dependency& y) {
            return x.m_sName == y.m_sName && x.m_evr.m_nEpoch == y.m_evr.m_nEpoch &&
                   x.m_evr.m_sVersion == y.m_evr.m_sVersion &&
                   x.m_evr.m_sRelease == y.m_evr.m_sRelease && x.m_nFlags == y.m_nFlags;
        });
}

// ---- DependencyStore ----

namespace {
constexpr size_t kStoreChunkSize = 64 * 1024;
}  // namespace

DependencyStore::DependencyStore(DependencyStore&& other) noexcept
    : m_vChunks(std::move(other.m_vChunks)), m_nUsed(other.m_nUsed) {
    other.m_vChunks.clear();
    other.m_nUsed = 0;
}

DependencyStore& DependencyStore::operator=(DependencyStore&& other) noexcept {
    if (this != &other) {
        clear();
        m_vChunks.swap(other.m_vChunks);
        m_nUsed = other.m_nUsed;
        other.m_nUsed = 0;
    }
    return *this;
}

void DependencyStore::clear() {
    for (char* chunk : m_vChunks) {
        ::operator delete(chunk);
    }
    m_vChunks.clear();
    m_vChunks.shrink_to_fit();
    m_nUsed = 0;
}

void DependencyStore::place(const DependencySet& from, DependencySet& to) {
    const size_t n = from.size();
    if (n == 0) {
        to.clear();
        return;
    }
    const size_t bytes = kHeaderSize + n * sizeof(Dependency);
    if (bytes > kStoreChunkSize) {
        to = from;
        return;
    }
    if (m_vChunks.empty() || m_nUsed + bytes > kStoreChunkSize) {
        m_vChunks.push_back(static_cast<char*>(::operator new(kStoreChunkSize)));
        m_nUsed = 0;
    }
    auto* block = reinterpret_cast<DependencySet::Block*>(m_vChunks.back() + m_nUsed);
    block->m_nSize = static_cast<uint32_t>(n);
    block->m_nCapacity = 0;
    std::memcpy(reinterpret_cast<char*>(block) + kHeaderSize, from.data(), n * sizeof(Dependency));
    // Blocks stay aligned for the header and the entries.
    m_nUsed += (bytes + alignof(DependencySet::Block) - 1) & ~(alignof(DependencySet::Block) - 1);
    to.release();
    to.m_pBlock = block;
}

// ---- Package ----

std::string packageToString(const Package& package) {
    std::string text(package.m_sName.view());
    text += '-';
    text += evrToString(package.m_evr);
    return text;
}

Package packageCore(const Package& package) {
    Package core;
    core.m_sName = package.m_sName;
    core.m_sGroup = package.m_sGroup;
    core.m_nType = package.m_nType;
    core.m_evr = package.m_evr;
    core.m_setRequires = package.m_setRequires;
    core.m_setRecommends = package.m_setRecommends;
    core.m_setProvides = package.m_setProvides;
    core.m_setObsoletes = package.m_setObsoletes;
    return core;
}

// ---- PackageList ----

void PackageList::noteInsert(const Package& package) {
    if (m_bSorted && !m_lPackages.empty() && package.m_sName < m_lPackages.back().m_sName) {
        m_bSorted = false;
    }
}

PackageList::PackageList(const PackageList& other)
    : m_vParts(other.m_vParts),
      m_nPartsEnd(other.m_nPartsEnd),
      m_lPackages(other.m_lPackages),
      m_bSorted(other.m_bSorted) {}

PackageList& PackageList::operator=(const PackageList& other) {
    if (this != &other) {
        // The copies' arrays are on the heap; the store keeps its own.
        m_lPackages = other.m_lPackages;
        m_vParts = other.m_vParts;
        m_nPartsEnd = other.m_nPartsEnd;
        m_bSorted = other.m_bSorted;
    }
    return *this;
}

PackageList::PackageList(PackageList&& other) noexcept
    : m_store(std::move(other.m_store)),
      m_vParts(std::move(other.m_vParts)),
      m_nPartsEnd(other.m_nPartsEnd),
      m_lPackages(std::move(other.m_lPackages)),
      m_bSorted(other.m_bSorted) {
    other.m_lPackages.clear();
    other.m_vParts.clear();
    other.m_nPartsEnd = 1;
    other.m_bSorted = true;
}

PackageList& PackageList::operator=(PackageList&& other) noexcept {
    if (this != &other) {
        // The packages go before the store their arrays lie in.
        m_lPackages.clear();
        m_store = std::move(other.m_store);
        m_vParts = std::move(other.m_vParts);
        m_nPartsEnd = other.m_nPartsEnd;
        m_lPackages = std::move(other.m_lPackages);
        m_bSorted = other.m_bSorted;
        other.m_lPackages.clear();
        other.m_vParts.clear();
        other.m_nPartsEnd = 1;
        other.m_bSorted = true;
    }
    return *this;
}

uint32_t PackageList::addParts(std::shared_ptr<const PackageParts> parts, uint32_t span) {
    const uint32_t first = m_nPartsEnd;
    if (span > UINT32_MAX - first) {
        return 0;
    }
    m_vParts.emplace_back(first, std::move(parts));
    m_nPartsEnd = first + span;
    return first;
}

void PackageList::dropLastParts() {
    if (!m_vParts.empty()) {
        m_vParts.pop_back();
    }
}

bool PackageList::holdsCacheFile(std::string_view base) const {
    for (const Package& package : m_lPackages) {
        if (package.m_nListRef == 0 && package.m_sCacheFile.base() == base) {
            return true;
        }
    }
    return std::any_of(m_vParts.begin(), m_vParts.end(),
                       [base](const auto& parts) { return parts.second->holdsCacheFile(base); });
}

Package PackageList::complete(const Package& package) const {
    Package full(package);
    if (package.m_nListRef == 0) {
        return full;
    }
    full.m_nListRef = 0;
    // The source is the last one that begins at or before the reference.
    auto it = std::upper_bound(
        m_vParts.begin(), m_vParts.end(), package.m_nListRef,
        [](uint32_t ref, const std::pair<uint32_t, std::shared_ptr<const PackageParts>>& parts) {
            return ref < parts.first;
        });
    if (it == m_vParts.begin() ||
        !(it - 1)->second->fill(package.m_nListRef - (it - 1)->first, full)) {
        LOGE("failed reading package %s from its list image", packageToString(package).c_str());
    }
    return full;
}

PackageList::~PackageList() {
    m_lPackages.clear();
}

void PackageList::insert(const Package& package) {
    static_assert(sizeof(Package) == 104, "every field of a Package is copied below");
    noteInsert(package);
    m_lPackages.emplace_back();
    Package& p = m_lPackages.back();
    p.m_sName = package.m_sName;
    p.m_sGroup = package.m_sGroup;
    p.m_nType = package.m_nType;
    p.m_evr = package.m_evr;
    p.m_nListRef = package.m_nListRef;
    m_store.place(package.m_setRequires, p.m_setRequires);
    m_store.place(package.m_setRecommends, p.m_setRecommends);
    m_store.place(package.m_setProvides, p.m_setProvides);
    m_store.place(package.m_setObsoletes, p.m_setObsoletes);
    p.m_sLocation = package.m_sLocation;
    p.m_sCacheFile = package.m_sCacheFile;
    p.m_checksum = package.m_checksum;
    p.m_sArch = package.m_sArch;
    p.m_nInstalledSize = package.m_nInstalledSize;
    p.m_nPackageSize = package.m_nPackageSize;
}

void PackageList::insert(Package&& package) {
    insert(static_cast<const Package&>(package));
}

namespace {

// The first eight bytes of a name as a number that orders as the bytes do.
uint64_t namePrefix(const PooledString& name) {
    uint64_t key = 0;
    const size_t n = std::min<size_t>(name.size(), 8);
    for (size_t i = 0; i < n; ++i) {
        key |= uint64_t{static_cast<unsigned char>(name[i])} << (56 - 8 * i);
    }
    return key;
}

}  // namespace

void PackageList::sort() const {
    if (m_bSorted) {
        return;
    }
    // Sorts small keys (name prefix, position) instead of the records, reading
    // the names only for equal prefixes; the position keeps entries of one
    // name in insertion order. The records are then moved along the cycles of
    // the permutation.
    struct Key {
        uint64_t m_nPrefix;
        uint32_t m_nIndex;
    };
    const size_t n = m_lPackages.size();
    std::vector<Key> keys(n);
    for (size_t i = 0; i < n; ++i) {
        keys[i] = {namePrefix(m_lPackages[i].m_sName), static_cast<uint32_t>(i)};
    }
    std::sort(keys.begin(), keys.end(), [this](const Key& a, const Key& b) {
        if (a.m_nPrefix != b.m_nPrefix) {
            return a.m_nPrefix < b.m_nPrefix;
        }
        const PooledString& x = m_lPackages[a.m_nIndex].m_sName;
        const PooledString& y = m_lPackages[b.m_nIndex].m_sName;
        if (x != y) {
            return x < y;
        }
        return a.m_nIndex < b.m_nIndex;
    });
    // keys[i].m_nIndex is the record that belongs at position i.
    std::vector<bool> placed(n, false);
    for (size_t start = 0; start < n; ++start) {
        if (placed[start] || keys[start].m_nIndex == start) {
            continue;
        }
        Package held = std::move(m_lPackages[start]);
        size_t at = start;
        while (keys[at].m_nIndex != start) {
            const size_t from = keys[at].m_nIndex;
            m_lPackages[at] = std::move(m_lPackages[from]);
            placed[at] = true;
            at = from;
        }
        m_lPackages[at] = std::move(held);
        placed[at] = true;
    }
    m_bSorted = true;
}

PackageList::const_iterator PackageList::begin() const {
    sort();
    return m_lPackages.cbegin();
}

PackageList::const_iterator PackageList::end() const {
    sort();
    return m_lPackages.cend();
}

void PackageList::clear() {
    m_lPackages.clear();
    m_lPackages.shrink_to_fit();
    m_store.clear();
    m_vParts.clear();
    m_nPartsEnd = 1;
    m_bSorted = true;
}

void PackageList::truncate(size_t count) {
    while (m_lPackages.size() > count) {
        m_lPackages.pop_back();
    }
}

std::pair<PackageList::const_iterator, PackageList::const_iterator> PackageList::equal_range(
    std::string_view name) const {
    sort();
    return std::equal_range(m_lPackages.cbegin(), m_lPackages.cend(), name, PackageNameLess());
}

PackageList::const_iterator PackageList::lower_bound(std::string_view name) const {
    sort();
    return std::lower_bound(m_lPackages.cbegin(), m_lPackages.cend(), name, PackageNameLess());
}

PackageList::const_iterator PackageList::upper_bound(std::string_view name) const {
    sort();
    return std::upper_bound(m_lPackages.cbegin(), m_lPackages.cend(), name, PackageNameLess());
}

PackageList::const_iterator PackageList::find(std::string_view name) const {
    const_iterator it = lower_bound(name);
    return it != m_lPackages.cend() && it->m_sName == name ? it : m_lPackages.cend();
}

size_t PackageList::count(std::string_view name) const {
    auto range = equal_range(name);
    return static_cast<size_t>(range.second - range.first);
}
