#include "package/string_pool.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "support/system.h"

namespace string_pool {

namespace {

constexpr size_t kChunkSize = kChunkBytes;

// The entry of handle 0: length 0 and the terminating NUL.
char g_emptyEntry[2] = {};

struct Pool {
    size_t m_nChunks = 1;  // chunk 0 is the empty entry
    size_t m_nCurrentIndex = 0;
    size_t m_nCurrentUsed = kChunkSize;
    std::vector<uint32_t> m_vTable;  // open addressing; 0 marks a free slot
    // Bytes of entries in each chunk: growing the table walks the chunks in
    // order instead of reading the texts in the table's random order.
    std::vector<uint32_t> m_vChunkUsed = std::vector<uint32_t>(1, 0);
    // Chunks that lie in memory the pool does not own (internBlock): not every
    // entry of such a chunk is in the table.
    std::vector<char> m_vChunkTaken = std::vector<char>(1, 0);
    Stats m_stats;
};

Pool& pool() {
    // Never destroyed: texts may be looked up by static destructors.
    static Pool* p = new Pool();
    return *p;
}

[[noreturn]] void outOfMemory() {
    std::new_handler handler = std::get_new_handler();
    if (handler != nullptr) {
        handler();
    }
    std::abort();
}

size_t hashText(std::string_view text) {
    return std::hash<std::string_view>()(text);
}

bool entryEquals(uint32_t handle, std::string_view text) {
    return entrySize(handle) == text.size() &&
           std::memcmp(entry(handle), text.data(), text.size()) == 0;
}

size_t addChunk(Pool& p, size_t size) {
    if (p.m_nChunks >= kMaxChunks) {
        outOfMemory();
    }
    size_t index = p.m_nChunks++;
    g_apChunks[index] = new char[size];
    p.m_vChunkUsed.push_back(0);
    p.m_vChunkTaken.push_back(0);
    p.m_stats.m_nChunkBytes += size;
    return index;
}

// Copies the text into the pool and returns its handle.
uint32_t store(Pool& p, std::string_view text) {
    if (text.size() > UINT32_MAX - 2 * kLongHeaderSize) {
        outOfMemory();
    }
    size_t needed = entryBytes(text.size());
    size_t index;
    size_t offset;
    if (needed > kChunkSize) {
        // A text larger than a chunk gets a chunk of its own.
        index = addChunk(p, needed);
        offset = 0;
    } else {
        if (p.m_nCurrentUsed + needed > kChunkSize) {
            p.m_nCurrentIndex = addChunk(p, kChunkSize);
            p.m_nCurrentUsed = 0;
        }
        index = p.m_nCurrentIndex;
        offset = p.m_nCurrentUsed;
        p.m_nCurrentUsed += needed;
    }
    const size_t at = writeEntry(text, g_apChunks[index] + offset);
    p.m_vChunkUsed[index] = static_cast<uint32_t>(offset + needed);
    p.m_stats.m_nTextBytes += text.size();
    return static_cast<uint32_t>(index << kOffsetBits | (offset + at));
}

// The slot of the entry equal to the text, or the free slot where it goes.
size_t findSlot(const Pool& p, std::string_view text) {
    const size_t mask = p.m_vTable.size() - 1;
    size_t i = hashText(text) & mask;
    while (uint32_t handle = p.m_vTable[i]) {
        if (entryEquals(handle, text)) {
            return i;
        }
        i = (i + 1) & mask;
    }
    return i;
}

// Places a handle in a table being built (no equal entry is in it).
void placeNew(std::vector<uint32_t>& table, uint32_t handle) {
    const size_t mask = table.size() - 1;
    size_t i = hashText(std::string_view(entry(handle), entrySize(handle))) & mask;
    while (table[i] != 0) {
        i = (i + 1) & mask;
    }
    table[i] = handle;
}

void growTo(Pool& p, size_t slots) {
    std::vector<uint32_t> table(slots, 0);
    bool taken = false;
    for (uint32_t handle : p.m_vTable) {
        if (handle != 0 && p.m_vChunkTaken[handle >> kOffsetBits] != 0) {
            // Only the taken entries of such a chunk are in the table.
            placeNew(table, handle);
            taken = true;
        }
    }
    for (size_t chunk = 1; chunk < p.m_nChunks; ++chunk) {
        if (p.m_vChunkTaken[chunk] != 0) {
            continue;
        }
        for (size_t offset = 0; offset < p.m_vChunkUsed[chunk];) {
            const bool isLong = static_cast<unsigned char>(g_apChunks[chunk][offset]) == kLongMark;
            const uint32_t handle = static_cast<uint32_t>(
                chunk << kOffsetBits | (offset + (isLong ? kLongHeaderSize : 1)));
            placeNew(table, handle);
            offset += entryBytes(entrySize(handle));
        }
    }
    p.m_vTable.swap(table);
    p.m_stats.m_nTableBytes = p.m_vTable.size() * sizeof(uint32_t);
    if (taken) {
        releaseTakenPages();
    }
}

void grow(Pool& p) {
    growTo(p, p.m_vTable.empty() ? 4096 : p.m_vTable.size() * 2);
}

// The size of the header and the length of the entry at `at`, or false when
// there is no whole entry there.
bool entryAt(const char* block, size_t size, size_t at, size_t& header, size_t& length) {
    if (at >= size) {
        return false;
    }
    const auto mark = static_cast<unsigned char>(block[at]);
    if (mark != kLongMark) {
        header = 1;
        length = mark;
    } else {
        if (size - at < kLongHeaderSize) {
            return false;
        }
        uint32_t value;
        std::memcpy(&value, block + at + 1, sizeof(value));
        if (static_cast<unsigned char>(block[at + 1 + sizeof(value)]) != kLongMark) {
            return false;
        }
        header = kLongHeaderSize;
        length = value;
    }
    return size - at - header > length && block[at + header + length] == '\0';
}

}  // namespace

char* g_apChunks[kMaxChunks] = {g_emptyEntry + 1};

uint32_t intern(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    Pool& p = pool();
    if ((p.m_stats.m_nStrings + 1) * 4 > p.m_vTable.size() * 3) {
        grow(p);
    }
    const size_t slot = findSlot(p, text);
    if (p.m_vTable[slot] != 0) {
        return p.m_vTable[slot];
    }
    const uint32_t handle = store(p, text);
    p.m_vTable[slot] = handle;
    ++p.m_stats.m_nStrings;
    return handle;
}

size_t writeEntry(std::string_view text, char* to) {
    char* at = to;
    const auto size = static_cast<uint32_t>(text.size());
    if (size < kLongMark) {
        *at++ = static_cast<char>(size);
    } else {
        *at++ = static_cast<char>(kLongMark);
        std::memcpy(at, &size, sizeof(size));
        at += sizeof(size);
        *at++ = static_cast<char>(kLongMark);
    }
    const auto offset = static_cast<size_t>(at - to);
    std::memcpy(at, text.data(), text.size());
    at[text.size()] = '\0';
    return offset;
}

void releaseTakenPages() {
    const Pool& p = pool();
    for (size_t chunk = 1; chunk < p.m_nChunks; ++chunk) {
        if (p.m_vChunkTaken[chunk] != 0) {
            dropMappedPages(g_apChunks[chunk], p.m_vChunkUsed[chunk]);
        }
    }
}

void reserve(size_t more) {
    Pool& p = pool();
    size_t slots = p.m_vTable.empty() ? 4096 : p.m_vTable.size();
    while ((p.m_stats.m_nStrings + more + 1) * 4 > slots * 3) {
        slots *= 2;
    }
    if (slots != p.m_vTable.size()) {
        growTo(p, slots);
    }
}

bool readEntry(const char* block, size_t size, size_t at, std::string_view& text, size_t& next) {
    size_t header;
    size_t length;
    if (!entryAt(block, size, at, header, length)) {
        return false;
    }
    text = std::string_view(block + at + header, length);
    next = at + header + length + 1;
    return true;
}

bool internBlock(const char* block, size_t size, std::vector<uint32_t>& handles, bool& taken,
                 bool copy) {
    taken = false;
    size_t count = 0;
    for (size_t at = 0; at < size; ++count) {
        size_t header;
        size_t length;
        // A taken text's offset must fit its handle.
        if (!entryAt(block, size, at, header, length) || at + header > kOffsetMask) {
            return false;
        }
        at += header + length + 1;
    }
    reserve(count);
    Pool& p = pool();
    size_t index = 0;  // the block's chunk, once a text of it is taken
    for (size_t at = 0; at < size;) {
        size_t header;
        size_t length;
        entryAt(block, size, at, header, length);
        const std::string_view text(block + at + header, length);
        uint32_t handle = 0;
        if (length != 0) {
            const size_t slot = findSlot(p, text);
            handle = p.m_vTable[slot];
            if (handle == 0) {
                if (copy) {
                    handle = store(p, text);
                } else {
                    if (index == 0) {
                        if (p.m_nChunks >= kMaxChunks) {
                            outOfMemory();
                        }
                        index = p.m_nChunks++;
                        g_apChunks[index] = const_cast<char*>(block);
                        p.m_vChunkUsed.push_back(
                            static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX)));
                        p.m_vChunkTaken.push_back(1);
                    }
                    handle = static_cast<uint32_t>(index << kOffsetBits | (at + header));
                }
                p.m_vTable[slot] = handle;
                ++p.m_stats.m_nStrings;
            }
        }
        handles.push_back(handle);
        at += header + length + 1;
    }
    taken = index != 0;
    return true;
}

uint64_t handleLimit() {
    return uint64_t{pool().m_nChunks} << kOffsetBits;
}

Stats stats() {
    return pool().m_stats;
}

}  // namespace string_pool
