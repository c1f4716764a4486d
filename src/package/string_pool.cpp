#include "package/string_pool.h"

#include <cstdlib>
#include <new>
#include <vector>

namespace string_pool {

namespace {

constexpr size_t kChunkSize = size_t{1} << kOffsetBits;

// The entry of handle 0: length 0 and the terminating NUL.
char g_emptyEntry[2] = {};

size_t headerBytes(size_t textSize) {
    return textSize < kLongMark ? 1 : kLongHeaderSize;
}

struct Pool {
    size_t m_nChunks = 1;  // chunk 0 is the empty entry
    size_t m_nCurrentIndex = 0;
    size_t m_nCurrentUsed = kChunkSize;
    std::vector<uint32_t> m_vTable;  // open addressing; 0 marks a free slot
    // Bytes of entries in each chunk: growing the table walks the chunks in
    // order instead of reading the texts in the table's random order.
    std::vector<uint32_t> m_vChunkUsed = std::vector<uint32_t>(1, 0);
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

size_t entryBytes(size_t textSize) {
    return headerBytes(textSize) + textSize + 1;
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
    char* at = g_apChunks[index] + offset;
    const uint32_t size = static_cast<uint32_t>(text.size());
    if (size < kLongMark) {
        *at++ = static_cast<char>(size);
    } else {
        *at++ = static_cast<char>(kLongMark);
        std::memcpy(at, &size, sizeof(size));
        at += sizeof(size);
        *at++ = static_cast<char>(kLongMark);
    }
    std::memcpy(at, text.data(), text.size());
    at[text.size()] = '\0';
    p.m_vChunkUsed[index] = static_cast<uint32_t>(offset + needed);
    p.m_stats.m_nTextBytes += text.size();
    return static_cast<uint32_t>(index << kOffsetBits | (offset + headerBytes(size)));
}

void grow(Pool& p) {
    std::vector<uint32_t> table(p.m_vTable.empty() ? 4096 : p.m_vTable.size() * 2, 0);
    size_t mask = table.size() - 1;
    for (size_t chunk = 1; chunk < p.m_nChunks; ++chunk) {
        for (size_t offset = 0; offset < p.m_vChunkUsed[chunk];) {
            const bool isLong = static_cast<unsigned char>(g_apChunks[chunk][offset]) == kLongMark;
            const uint32_t handle = static_cast<uint32_t>(
                chunk << kOffsetBits | (offset + (isLong ? kLongHeaderSize : 1)));
            const size_t size = entrySize(handle);
            size_t i = hashText(std::string_view(entry(handle), size)) & mask;
            while (table[i] != 0) {
                i = (i + 1) & mask;
            }
            table[i] = handle;
            offset += entryBytes(size);
        }
    }
    p.m_vTable.swap(table);
    p.m_stats.m_nTableBytes = p.m_vTable.size() * sizeof(uint32_t);
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
    size_t mask = p.m_vTable.size() - 1;
    size_t i = hashText(text) & mask;
    while (uint32_t handle = p.m_vTable[i]) {
        if (entryEquals(handle, text)) {
            return handle;
        }
        i = (i + 1) & mask;
    }
    uint32_t handle = store(p, text);
    p.m_vTable[i] = handle;
    ++p.m_stats.m_nStrings;
    return handle;
}

Stats stats() {
    return pool().m_stats;
}

}  // namespace string_pool
