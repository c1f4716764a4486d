// Interned, immutable strings for the package model.
//
// A repository lists tens of thousands of packages whose names, versions,
// releases and dependency names repeat over and over. Every such text is
// stored once in a process-wide pool and referred to by a 32-bit handle:
// copying a PooledString copies four bytes, and two PooledStrings are equal
// exactly when their handles are equal.
//
// The pool only grows: the texts of one run are kept until the process ends,
// and a text read again (the same list parsed in a later pass) costs nothing.
// Texts never move, so pointers and views obtained from a PooledString stay
// valid for the life of the process. Like the rest of the program the pool is
// single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace string_pool {

// Handle layout: chunk index in the high bits, in the low bits the byte
// offset of the text in the chunk.
constexpr unsigned kOffsetBits = 18;
constexpr uint32_t kOffsetMask = (uint32_t{1} << kOffsetBits) - 1;
constexpr size_t kMaxChunks = size_t{1} << (32 - kOffsetBits);
// The size of a chunk; a larger text gets a chunk of its own.
constexpr size_t kChunkBytes = size_t{1} << kOffsetBits;

// Chunk table; entry 0 holds the empty text, so handle 0 is "".
extern char* g_apChunks[kMaxChunks];

// Returns the handle of the text, adding it to the pool when it is new.
uint32_t intern(std::string_view text);

// Every entry is its length, the bytes and a NUL. A length below kLongMark is
// one byte; a longer one is kLongMark, the length (4 bytes) and kLongMark
// again, so that it can be read both forwards and backwards from the text.
constexpr unsigned char kLongMark = 0xFF;
constexpr size_t kLongHeaderSize = 2 + sizeof(uint32_t);

// The text of the entry.
inline const char* entry(uint32_t handle) {
    return g_apChunks[handle >> kOffsetBits] + (handle & kOffsetMask);
}
inline uint32_t entrySize(uint32_t handle) {
    const char* text = entry(handle);
    const auto mark = static_cast<unsigned char>(text[-1]);
    if (mark != kLongMark) {
        return mark;
    }
    uint32_t size;
    std::memcpy(&size, text - 1 - sizeof(size), sizeof(size));
    return size;
}

// Texts that lie in memory the pool does not own: a block of entries laid
// out as the pool lays out its own (an image of a package list mapped from
// the cache). Every text of the block already in the pool keeps its handle;
// every new one is taken where it lies, without a copy, so the block must stay
// readable and unchanged for the life of the process once a text of it was
// taken. Such a block must lie in a private read-only mapping of a file: the
// pool gives its pages back (MADV_DONTNEED) after reading many of them, and
// they are read again from the file. Appends the handle of each entry, in
// order, to `handles` and tells whether a text was taken; false, with nothing
// taken, when the block is not a sequence of well-formed entries each
// starting within a chunk's offset range.
// With `copy` the new texts are copied into the pool instead, and the block
// may go once the call returns.
bool internBlock(const char* block, size_t size, std::vector<uint32_t>& handles, bool& taken,
                 bool copy = false);

// Reads the entry at `at` of a block of entries: false when no whole entry
// lies there; else gives its text and the offset just after it.
bool readEntry(const char* block, size_t size, size_t at, std::string_view& text, size_t& next);

// Gives the pages of the taken texts back to the files they are mapped from,
// after something read many of them once (looking texts up reads the equal
// ones); they are read in again when a text in them is.
void releaseTakenPages();

// Sizes the lookup table for that many more texts, so that adding them does
// not grow it (growing reads every text again).
void reserve(size_t more);

// The bytes a block of entries for these texts takes (entryBytes of each).
inline size_t entryBytes(size_t textSize) {
    return (textSize < kLongMark ? 1 : kLongHeaderSize) + textSize + 1;
}
// Writes the entry of a text at `to` (entryBytes(text.size()) bytes) and
// gives the offset of the text in it.
size_t writeEntry(std::string_view text, char* to);

// A bound above every handle given out so far.
uint64_t handleLimit();

struct Stats {
    size_t m_nStrings = 0;     // distinct texts
    size_t m_nTextBytes = 0;   // bytes of the texts themselves
    size_t m_nChunkBytes = 0;  // bytes allocated for the texts
    size_t m_nTableBytes = 0;  // bytes of the lookup table
};
Stats stats();

}  // namespace string_pool

class PooledString {
public:
    PooledString() = default;
    explicit PooledString(std::string_view text) : m_nHandle(string_pool::intern(text)) {}
    PooledString& operator=(std::string_view text) {
        m_nHandle = string_pool::intern(text);
        return *this;
    }

    // NUL-terminated; valid for the life of the process.
    const char* c_str() const { return string_pool::entry(m_nHandle); }
    const char* data() const { return c_str(); }
    size_t size() const { return string_pool::entrySize(m_nHandle); }
    size_t length() const { return size(); }
    bool empty() const { return m_nHandle == 0; }
    char operator[](size_t index) const { return c_str()[index]; }
    const char* begin() const { return c_str(); }
    const char* end() const { return c_str() + size(); }

    std::string_view view() const { return std::string_view(c_str(), size()); }
    std::string str() const { return std::string(c_str(), size()); }
    operator std::string_view() const { return view(); }
    operator std::string() const { return str(); }

    // Byte-wise, as unsigned bytes; a prefix orders first.
    int compare(std::string_view other) const { return view().compare(other); }
    bool startsWith(std::string_view prefix) const {
        return view().substr(0, prefix.size()) == prefix;
    }

    void clear() { m_nHandle = 0; }
    uint32_t handle() const { return m_nHandle; }
    // The text of a handle the pool gave out (string_pool::internBlock).
    static PooledString fromHandle(uint32_t handle) {
        PooledString text;
        text.m_nHandle = handle;
        return text;
    }

    friend bool operator==(const PooledString& a, const PooledString& b) {
        return a.m_nHandle == b.m_nHandle;
    }
    friend bool operator!=(const PooledString& a, const PooledString& b) {
        return a.m_nHandle != b.m_nHandle;
    }
    friend bool operator<(const PooledString& a, const PooledString& b) {
        return a.m_nHandle != b.m_nHandle && a.view() < b.view();
    }
    friend bool operator>(const PooledString& a, const PooledString& b) { return b < a; }
    friend bool operator<=(const PooledString& a, const PooledString& b) { return !(b < a); }
    friend bool operator>=(const PooledString& a, const PooledString& b) { return !(a < b); }

    friend bool operator==(const PooledString& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(std::string_view a, const PooledString& b) { return a == b.view(); }
    friend bool operator!=(const PooledString& a, std::string_view b) { return a.view() != b; }
    friend bool operator!=(std::string_view a, const PooledString& b) { return a != b.view(); }
    friend bool operator<(const PooledString& a, std::string_view b) { return a.view() < b; }
    friend bool operator<(std::string_view a, const PooledString& b) { return a < b.view(); }

    friend std::string operator+(const std::string& a, const PooledString& b) {
        std::string result(a);
        result.append(b.c_str(), b.size());
        return result;
    }
    friend std::string operator+(const PooledString& a, const std::string& b) {
        std::string result(a.c_str(), a.size());
        result.append(b);
        return result;
    }
    friend std::string operator+(const char* a, const PooledString& b) {
        return std::string(a) + b;
    }
    friend std::string operator+(const PooledString& a, const char* b) {
        return a + std::string(b);
    }
    friend std::ostream& operator<<(std::ostream& out, const PooledString& s) {
        return out << s.view();
    }

private:
    uint32_t m_nHandle = 0;
};

// A path kept as two interned texts: the directory part (up to and
// including the last "/") and the rest. Paths in one directory share the
// directory's text, and a package's location and cache file share the file
// name. Equal paths have equal parts. There is no contiguous text: str()
// assembles one.
class PooledPath {
public:
    PooledPath() = default;
    explicit PooledPath(std::string_view text) { assign(text); }
    PooledPath(const PooledString& dir, const PooledString& base) : m_sDir(dir), m_sBase(base) {}
    PooledPath& operator=(std::string_view text) {
        assign(text);
        return *this;
    }

    const PooledString& dir() const { return m_sDir; }
    const PooledString& base() const { return m_sBase; }
    bool empty() const { return m_sDir.empty() && m_sBase.empty(); }
    size_t size() const { return m_sDir.size() + m_sBase.size(); }
    std::string str() const {
        std::string text;
        text.reserve(size());
        text.append(m_sDir.view());
        text.append(m_sBase.view());
        return text;
    }
    operator std::string() const { return str(); }
    void clear() {
        m_sDir.clear();
        m_sBase.clear();
    }

    friend bool operator==(const PooledPath& a, const PooledPath& b) {
        return a.m_sDir == b.m_sDir && a.m_sBase == b.m_sBase;
    }
    friend bool operator!=(const PooledPath& a, const PooledPath& b) { return !(a == b); }
    friend bool operator==(const PooledPath& a, std::string_view b) {
        const std::string_view dir = a.m_sDir.view();
        return b.size() == a.size() && b.substr(0, dir.size()) == dir &&
               b.substr(dir.size()) == a.m_sBase.view();
    }
    friend bool operator==(std::string_view a, const PooledPath& b) { return b == a; }
    friend bool operator!=(const PooledPath& a, std::string_view b) { return !(a == b); }
    friend bool operator!=(std::string_view a, const PooledPath& b) { return !(b == a); }

    friend std::string operator+(const std::string& a, const PooledPath& b) {
        std::string result(a);
        result.append(b.m_sDir.view());
        result.append(b.m_sBase.view());
        return result;
    }
    friend std::string operator+(const PooledPath& a, const std::string& b) { return a.str() + b; }
    friend std::string operator+(const char* a, const PooledPath& b) { return std::string(a) + b; }
    friend std::string operator+(const PooledPath& a, const char* b) { return a.str() + b; }
    friend std::ostream& operator<<(std::ostream& out, const PooledPath& p) {
        return out << p.m_sDir.view() << p.m_sBase.view();
    }

private:
    void assign(std::string_view text) {
        const size_t slash = text.rfind('/');
        const size_t split = slash == std::string_view::npos ? 0 : slash + 1;
        m_sDir = text.substr(0, split);
        m_sBase = text.substr(split);
    }

    PooledString m_sDir;
    PooledString m_sBase;
};

namespace std {
template <>
struct hash<PooledString> {
    size_t operator()(const PooledString& s) const { return std::hash<uint32_t>()(s.handle()); }
};
}  // namespace std
