// A file read as the stream of its decompressed bytes. A second thread
// decompresses into a few fixed blocks while the consumer (the package list
// parser) reads, as `zcat FILE | parser` would, so memory stays bounded
// whatever the file's size.
//
// The format is chosen by the file's first bytes when it is opened; each
// format is a StreamDecoder, and the consumer never learns which one reads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The decoders a file can be read with. Each reads files of its format
// concatenated (gzip members, zstd frames, xz streams, bzip2 streams) as one.
enum class DecoderKind {
    ZLIB,   // gzip, or a file that is not compressed, read as it is
    ZSTD,   // zstd (frames, and the skippable frames between them)
    XZ,     // xz
    BZIP2,  // bzip2
};

// The decoder for a file that starts with these bytes (fewer than asked for
// when the file is shorter).
DecoderKind decoderKindOf(const unsigned char* head, size_t length);

// One compression format, reading from a file it owns.
class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;
    // Called in the opening thread before the stream's thread starts, so
    // that the decoder's buffers come from that thread's heap.
    virtual void prepare() {}
    // Up to length decompressed bytes: their count, 0 at the end of the
    // stream, -1 when the stream is damaged (cut short, a wrong check value,
    // data that cannot be decoded). Reads after 0 or -1 give the same again.
    virtual int read(char* buffer, size_t length) = 0;
};

// Opens the file with the decoder its first bytes ask for; null (nothing
// logged, errno telling why) when the file cannot be opened.
std::unique_ptr<StreamDecoder> openStreamDecoder(const std::string& path);

class DecompressStream {
public:
    // Opens the file with the decoder its first bytes ask for; null (nothing
    // logged) when the file cannot be opened.
    static std::unique_ptr<DecompressStream> open(const std::string& path);

    explicit DecompressStream(std::unique_ptr<StreamDecoder> decoder);
    ~DecompressStream();
    DecompressStream(const DecompressStream&) = delete;
    DecompressStream& operator=(const DecompressStream&) = delete;

    // Up to length decompressed bytes: their count, 0 at the end, -1 when
    // the stream is damaged.
    int read(char* buffer, size_t length);
    // Reads what the consumer left to the end of the stream: false when the
    // stream is damaged there, also where the consumer had already seen all
    // it needed (a damaged trailer, data lost with the last read).
    bool drain();

private:
    struct Block {
        std::vector<char> m_vData;
        size_t m_nSize = 0;
    };
    static constexpr size_t kBlocks = 4;

    void run();

    std::unique_ptr<StreamDecoder> m_pDecoder;
    Block m_aBlocks[kBlocks];
    std::mutex m_mutex;
    std::condition_variable m_cvFilled;
    std::condition_variable m_cvFree;
    size_t m_nFilled = 0;  // blocks filled and not yet read to the end
    bool m_bEnd = false;
    bool m_bFailed = false;
    bool m_bStop = false;
    // The consumer's side: the block it reads and where.
    Block* m_pCurrent = nullptr;
    size_t m_nNext = 0;
    size_t m_nOffset = 0;
    std::thread m_thread;
};
