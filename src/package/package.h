// The package model shared by the whole program: versions (Evr), dependencies
// with their version ranges, packages, and the ordered collections holding
// them.
//
// Repositories list tens of thousands of packages, so the records are kept
// small: every text is a PooledString (4 bytes, interned) or a PooledPath (two
// of them), a DependencySet is one pointer to a sorted array, and a Package
// takes 104 bytes plus its dependency arrays, which a PackageList keeps end to
// end in large blocks of its own.
#pragma once

#include <rpm/rpmds.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/checksum_record.h"
#include "package/string_pool.h"

// Epoch, version and release.
struct Evr {
    uint32_t m_nEpoch = 0;
    PooledString m_sVersion;  // empty: no version at all
    PooledString m_sRelease;
};

// A capability or requirement with an optional version range. Only the sense
// bits RPMSENSE_LESS (2), RPMSENSE_GREATER (4) and RPMSENSE_EQUAL (8) of
// m_nFlags carry meaning; 0 accepts any version.
struct Dependency {
    PooledString m_sName;  // a name beginning with "/" is a file dependency
    Evr m_evr;
    uint32_t m_nFlags = 0;
};

enum class PackageType : uint32_t {
    NONE = 0,
    RPM = 1,
    VTXPKG = 2,
    FLASHEDFW = 3,
};

// Text form of an Evr: empty when the version is empty, else
// [epoch ":"] version ["-" release], the epoch shown only when not 0.
std::string evrToString(const Evr& evr);

// Reads "[epoch:]version[-release]". Never fails: problems are logged and the
// fields read so far are returned.
Evr parseEvr(std::string_view text);

// Negative, 0 or positive as a orders before, equal to or after b: epochs as
// numbers, then versions and releases with the RPM library's rpmvercmp
// (releases are always compared, so "1.0" orders before "1.0-1").
int compareEvr(const Evr& a, const Evr& b);

// Operator text of a sense mask: "<", ">", "=", "<=", ">=" or "?".
const char* depSenseText(uint32_t flags);

// "name" when the version is empty, else "name op evr" ("libfoo >= 1:2.0-3").
std::string depToString(const Dependency& dep);

// True when both name the same capability and their version ranges overlap.
// Symmetric; callers pass the offered capability first. A missing release on
// either side matches every release.
bool depMatches(const Dependency& a, const Dependency& b);

// The order of a DependencySet: name (byte-wise), then compareEvr, then flags.
bool depLess(const Dependency& a, const Dependency& b);

// The search key for all entries of a name in a DependencySet.
Dependency depFromName(std::string_view name);
Dependency depFromName(const PooledString& name);

// A dependency with the package's name, Evr and RPMSENSE_EQUAL.
struct Package;
Dependency depFromPackage(const Package& package);

// An ordered set of dependencies (by depLess) without duplicates. Filled once
// and then read, it is stored as one sorted array. Iterators are pointers into
// it: insert invalidates them, erase keeps those before the erased entry and
// returns the position of the next one.
class DependencySet {
public:
    using value_type = Dependency;
    using const_iterator = const Dependency*;
    using iterator = const_iterator;

    DependencySet() = default;
    DependencySet(std::initializer_list<Dependency> deps);
    DependencySet(const DependencySet& other);
    DependencySet(DependencySet&& other) noexcept : m_pBlock(other.m_pBlock) {
        other.m_pBlock = nullptr;
    }
    DependencySet& operator=(const DependencySet& other);
    DependencySet& operator=(DependencySet&& other) noexcept;
    ~DependencySet();

    const_iterator begin() const;
    const_iterator end() const;
    size_t size() const;
    bool empty() const { return size() == 0; }
    void clear();

    // Adds the dependency unless an equal one (under depLess) is present;
    // yields the position of the entry and whether it was added.
    std::pair<iterator, bool> insert(const Dependency& dep);

    // The first entry not ordered before the key. For the key depFromName(name)
    // this is the first entry of that name, also when entries whose version
    // begins with "~" order before the empty version.
    iterator lower_bound(const Dependency& key) const;
    iterator find(const Dependency& key) const;
    size_t count(const Dependency& key) const { return find(key) != end() ? 1 : 0; }

    // All entries of one name.
    iterator firstOfName(std::string_view name) const;
    std::pair<iterator, iterator> rangeOfName(std::string_view name) const;

    iterator erase(iterator position);
    size_t erase(const Dependency& key);

    // Releases spare capacity left by insertions.
    void shrinkToFit();
    // Empties the set but keeps its storage for the next insertions.
    void reset();
    // Makes the set hold `count` entries that are already in order and
    // without duplicates (read back from a checked list image), comparing
    // none of them.
    void assignSorted(const Dependency* deps, size_t count);

    friend bool operator==(const DependencySet& a, const DependencySet& b);
    friend bool operator!=(const DependencySet& a, const DependencySet& b) { return !(a == b); }

private:
    friend class DependencyStore;
    struct Block;
    Dependency* data() const;
    void reserveFor(size_t count);
    void release();

    Block* m_pBlock = nullptr;
};

// The dependency arrays of the packages of one PackageList, laid end to end in
// large chunks: no allocation of its own per array. A set whose array lies
// here never frees it; inserting into it first copies the array to the heap.
// The store outlives the sets placed in it (PackageList sees to that).
class DependencyStore {
public:
    DependencyStore() = default;
    DependencyStore(const DependencyStore&) = delete;
    DependencyStore& operator=(const DependencyStore&) = delete;
    DependencyStore(DependencyStore&& other) noexcept;
    DependencyStore& operator=(DependencyStore&& other) noexcept;
    ~DependencyStore() { clear(); }

    // Makes `to` a copy of `from` whose array lies in the store (or on the
    // heap, for an array larger than a chunk).
    void place(const DependencySet& from, DependencySet& to);
    // Frees every chunk; no set may refer to them any more.
    void clear();

private:
    std::vector<char*> m_vChunks;
    size_t m_nUsed = 0;  // bytes used in the last chunk
};

// A package: the core (name to obsoletes) and, for packages read from a
// repository list, the repository part (location to installed size).
struct Package {
    PooledString m_sName;
    PooledString m_sGroup;
    PooledString m_sArch;  // as the list names it
    PackageType m_nType = PackageType::NONE;
    Evr m_evr;
    // Not 0 for a package read lazily from a list image: the requires,
    // recommends, location, cache file and checksum are left empty and lie
    // there (PackageList::complete reads them).
    uint32_t m_nListRef = 0;
    DependencySet m_setRequires;
    DependencySet m_setRecommends;
    DependencySet m_setProvides;
    DependencySet m_setObsoletes;
    PooledPath m_sLocation;
    PooledPath m_sCacheFile;
    Checksum m_checksum;
    int64_t m_nInstalledSize = 0;
    int64_t m_nPackageSize = 0;  // of the package file; 0: not declared
};

// Where the parts of lazily read packages lie (the image of a package list).
class PackageParts {
public:
    virtual ~PackageParts() = default;
    // Fills in the parts kept back at `at`; false when they cannot be read.
    virtual bool fill(uint32_t at, Package& package) const = 0;
    // Whether a package kept there has a cache file of that name (the part
    // after the directory).
    virtual bool holdsCacheFile(std::string_view base) const = 0;
};

// "name-evr", the form in which every message names a package.
std::string packageToString(const Package& package);

// A copy with only the core: the repository part cleared.
Package packageCore(const Package& package);

// Orders packages by name, byte-wise; also compares a package with a name.
struct PackageNameLess {
    using is_transparent = void;
    bool operator()(const Package& a, const Package& b) const { return a.m_sName < b.m_sName; }
    bool operator()(const Package& a, std::string_view b) const { return a.m_sName < b; }
    bool operator()(std::string_view a, const Package& b) const { return a < b.m_sName; }
};

// Packages ordered by name that may hold several entries of one name; entries
// of one name stay in insertion order. Appending in name order is cheap; other
// insertions are sorted in on the next read. Insertion invalidates iterators,
// pointers and references to entries.
class PackageList {
public:
    using value_type = Package;
    using const_iterator = std::vector<Package>::const_iterator;
    using iterator = const_iterator;

    PackageList() = default;
    PackageList(const PackageList& other);
    PackageList& operator=(const PackageList& other);
    PackageList(PackageList&& other) noexcept;
    PackageList& operator=(PackageList&& other) noexcept;
    ~PackageList();

    void insert(const Package& package);
    void insert(Package&& package);

    // Adds a source of lazily read packages spanning `span` references and
    // gives the value to add to them for m_nListRef, or 0 when no room is left.
    uint32_t addParts(std::shared_ptr<const PackageParts> parts, uint32_t span);
    // Drops the source added last, whose packages a failed read took out.
    void dropLastParts();
    // The package with all its parts: one read lazily into this list gets
    // those kept back. When they cannot be read (the image was changed under
    // the running program), logs an error and gives the package without them;
    // an empty checksum then refuses it before anything is installed.
    Package complete(const Package& package) const;
    // Whether a package of the list has a cache file of that name (the part
    // after the directory), lazily read ones included.
    bool holdsCacheFile(std::string_view base) const;

    const_iterator begin() const;
    const_iterator end() const;
    size_t size() const { return m_lPackages.size(); }
    bool empty() const { return m_lPackages.empty(); }
    void clear();
    // Removes the entries inserted after the first `count` ones, to undo the
    // insertions of a read that failed; only valid when nothing has read the
    // list since those insertions.
    void truncate(size_t count);
    // Makes room for that many entries in all.
    void reserve(size_t count) { m_lPackages.reserve(count); }

    // Entries with the name (a key record's m_sName).
    std::pair<const_iterator, const_iterator> equal_range(std::string_view name) const;
    std::pair<const_iterator, const_iterator> equal_range(const Package& key) const {
        return equal_range(key.m_sName.view());
    }
    const_iterator lower_bound(std::string_view name) const;
    const_iterator upper_bound(std::string_view name) const;
    // The first entry of the name, or end().
    const_iterator find(std::string_view name) const;
    size_t count(std::string_view name) const;

private:
    void noteInsert(const Package& package);
    void sort() const;

    // The packages' dependency arrays lie in m_store: every package is
    // destroyed before it.
    DependencyStore m_store;
    // The sources of lazily read packages and the first reference of each.
    std::vector<std::pair<uint32_t, std::shared_ptr<const PackageParts>>> m_vParts;
    uint32_t m_nPartsEnd = 1;  // the first reference not given out
    mutable std::vector<Package> m_lPackages;
    mutable bool m_bSorted = true;
};

// Packages unique by name, in name order. insert() of a name already present
// fails and yields the entry present. Lookups take a name or a key record.
using PackageSet = std::set<Package, PackageNameLess>;
