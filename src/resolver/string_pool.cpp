#include "resolver/string_pool.h"

#include <cstdlib>
#include <new>
#include <vector>

namespace string_pool {

namespace {

constexpr size_t kChunkSize = size_t{1} << kOffsetBits;
constexpr size_t kHeaderSize = sizeof(uint32_t);

// The entry of handle 0: length 0 and the terminating NUL.
alignas(4) char g_emptyEntry[kHeaderSize + 4] = {};

struct Pool {
    size_t m_nChunks = 1;  // chunk 0 is the empty entry
    size_t m_nCurrentIndex = 0;
    size_t m_nCurrentUsed = kChunkSize;
    // Open addressing; a slot holds the text's 32-bit hash above its handle,
    // 0 marks a free slot. The hash spares reading the texts of other slots
    // while probing and when the table grows.
    std::vector<uint64_t> m_vTable;
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

uint32_t hashText(std::string_view text) {
    uint64_t hash = std::hash<std::string_view>()(text);
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

uint64_t slotOf(uint32_t hash, uint32_t handle) {
    return uint64_t{hash} << 32 | handle;
}

bool entryEquals(uint32_t handle, std::string_view text) {
    return entrySize(handle) == text.size() &&
           std::memcmp(entry(handle) + kHeaderSize, text.data(), text.size()) == 0;
}

size_t addChunk(Pool& p, size_t size) {
    if (p.m_nChunks >= kMaxChunks) {
        outOfMemory();
    }
    size_t index = p.m_nChunks++;
    g_apChunks[index] = new char[size];
    p.m_stats.m_nChunkBytes += size;
    return index;
}

// Copies the text into the pool and returns its handle.
uint32_t store(Pool& p, std::string_view text) {
    if (text.size() > UINT32_MAX - 2 * kHeaderSize) {
        outOfMemory();
    }
    size_t needed = (kHeaderSize + text.size() + 1 + 3) & ~size_t{3};
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
    char* at = g_apChunks[index] + offset;
    uint32_t size = static_cast<uint32_t>(text.size());
    std::memcpy(at, &size, sizeof(size));
    std::memcpy(at + kHeaderSize, text.data(), text.size());
    at[kHeaderSize + text.size()] = '\0';
    p.m_stats.m_nTextBytes += text.size();
    return static_cast<uint32_t>(index << kOffsetBits | offset);
}

void grow(Pool& p) {
    std::vector<uint64_t> table(p.m_vTable.empty() ? 4096 : p.m_vTable.size() * 2, 0);
    size_t mask = table.size() - 1;
    for (uint64_t slot : p.m_vTable) {
        if (slot == 0) {
            continue;
        }
        size_t i = (slot >> 32) & mask;
        while (table[i] != 0) {
            i = (i + 1) & mask;
        }
        table[i] = slot;
    }
    p.m_vTable.swap(table);
    p.m_stats.m_nTableBytes = p.m_vTable.size() * sizeof(uint64_t);
}

}  // namespace

char* g_apChunks[kMaxChunks] = {g_emptyEntry};

uint32_t intern(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    Pool& p = pool();
    if ((p.m_stats.m_nStrings + 1) * 4 > p.m_vTable.size() * 3) {
        grow(p);
    }
    size_t mask = p.m_vTable.size() - 1;
    const uint32_t hash = hashText(text);
    size_t i = hash & mask;
    while (uint64_t slot = p.m_vTable[i]) {
        const uint32_t handle = static_cast<uint32_t>(slot);
        if ((slot >> 32) == hash && entryEquals(handle, text)) {
            return handle;
        }
        i = (i + 1) & mask;
    }
    uint32_t handle = store(p, text);
    p.m_vTable[i] = slotOf(hash, handle);
    ++p.m_stats.m_nStrings;
    return handle;
}

Stats stats() {
    return pool().m_stats;
}

}  // namespace string_pool
