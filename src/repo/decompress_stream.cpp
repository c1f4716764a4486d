#include "repo/decompress_stream.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <system_error>

#include "support/fd.h"
#include "support/logger.h"

namespace {

// Bytes read from the file at a time by each decoder, and bytes decompressed
// per block handed to the consumer.
constexpr unsigned kInputSize = 64 * 1024;
constexpr size_t kBlockSize = 64 * 1024;
// The longest magic number a decoder is recognised by.
constexpr size_t kHeadSize = 8;
// What the history of a stream may take, so that reading any file needs
// bounded memory: zstd frames with windows up to 32 MiB (the zstd program's
// levels up to 20, not --long or the higher --ultra levels), xz streams
// whose decoder needs up to 40 MiB (presets up to -8; the default preset
// needs 9 MiB). bzip2 never needs more than 3.5 MiB. A file compressed with
// more fails as a damaged one does.
constexpr int kMaxZstdWindowLog = 25;
constexpr uint64_t kMaxXzMemory = 40 << 20;

// zlib reads gzip members one after the other, and a file without the gzip
// magic as it is. Bytes after the last member that do not start another one
// are ignored; a member cut short, a wrong CRC or length, or a damaged member
// after the first fail the stream.
class ZlibDecoder : public StreamDecoder {
public:
    explicit ZlibDecoder(gzFile file) : m_file(file) { gzbuffer(m_file, kInputSize); }
    ~ZlibDecoder() override { gzclose(m_file); }
    ZlibDecoder(const ZlibDecoder&) = delete;
    ZlibDecoder& operator=(const ZlibDecoder&) = delete;

    void prepare() override {
        // zlib allocates its buffers on the first look at the file.
        gzdirect(m_file);
    }
    int read(char* buffer, size_t length) override {
        const int n = gzread(m_file, buffer, static_cast<unsigned>(length));
        return n < 0 || (n == 0 && failed()) ? -1 : n;
    }

private:
    // A stream cut short shows only in zlib's error state.
    bool failed() const {
        int error = Z_OK;
        gzerror(m_file, &error);
        return error != Z_OK;
    }

    gzFile m_file;
};

// The decoders of the other formats read the file through a buffer of their
// own and run their library step by step: each step takes from the buffer
// what it can and writes decompressed bytes.
class BufferedDecoder : public StreamDecoder {
public:
    explicit BufferedDecoder(UniqueFd fd) : m_fd(std::move(fd)), m_vInput(kInputSize) {}

    int read(char* buffer, size_t length) final {
        size_t produced = 0;
        while (produced < length && m_eState == State::DECODING) {
            if (m_nAvailable == 0 && !m_bEof && !fill()) {
                m_eState = State::FAILED;
                break;
            }
            const size_t before = produced;
            m_eState = step(buffer, length, produced);
            // All input used and nothing more comes out: the file ends inside
            // a frame or stream.
            if (m_eState == State::DECODING && m_bEof && m_nAvailable == 0 &&
                produced == before) {
                m_eState = State::FAILED;
            }
        }
        if (produced > 0) {
            return static_cast<int>(produced);
        }
        return m_eState == State::FAILED ? -1 : 0;
    }

protected:
    enum class State { DECODING, END, FAILED };

    // One run of the library: input from m_pNext (m_nAvailable bytes; m_bEof
    // once the file has no more), output into buffer from produced up to
    // length. Advances both and tells how the stream stands.
    virtual State step(char* buffer, size_t length, size_t& produced) = 0;

    void consume(size_t n) {
        m_pNext += n;
        m_nAvailable -= n;
    }

    const unsigned char* m_pNext = nullptr;
    size_t m_nAvailable = 0;
    bool m_bEof = false;

private:
    // The next piece of the file; false on a read error.
    bool fill() {
        ssize_t n;
        do {
            n = ::read(m_fd.get(), m_vInput.data(), m_vInput.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            return false;
        }
        m_pNext = m_vInput.data();
        m_nAvailable = static_cast<size_t>(n);
        m_bEof = n == 0;
        return true;
    }

    UniqueFd m_fd;
    std::vector<unsigned char> m_vInput;
    State m_eState = State::DECODING;
};

// zstd: frames one after the other; skippable frames are passed over. Bytes
// after the last frame that start none fail the stream.
class ZstdDecoder : public BufferedDecoder {
public:
    ZstdDecoder(UniqueFd fd, ZSTD_DStream* stream)
        : BufferedDecoder(std::move(fd)), m_pStream(stream) {}
    ~ZstdDecoder() override { ZSTD_freeDStream(m_pStream); }
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

private:
    State step(char* buffer, size_t length, size_t& produced) override {
        if (!m_bFrameDone || !m_bEof || m_nAvailable > 0) {
            ZSTD_inBuffer in = {m_pNext, m_nAvailable, 0};
            ZSTD_outBuffer out = {buffer, length, produced};
            const size_t result = ZSTD_decompressStream(m_pStream, &out, &in);
            consume(in.pos);
            produced = out.pos;
            if (ZSTD_isError(result)) {
                return State::FAILED;
            }
            // 0: a frame is complete and all of it is out.
            m_bFrameDone = result == 0;
        }
        return m_bFrameDone && m_bEof && m_nAvailable == 0 ? State::END : State::DECODING;
    }

    ZSTD_DStream* m_pStream;
    bool m_bFrameDone = false;
};

// xz: streams one after the other, with the zero padding the format allows
// between them; anything else after the last stream fails.
class XzDecoder : public BufferedDecoder {
public:
    XzDecoder(UniqueFd fd, const lzma_stream& stream)
        : BufferedDecoder(std::move(fd)), m_stream(stream) {}
    ~XzDecoder() override { lzma_end(&m_stream); }
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

private:
    State step(char* buffer, size_t length, size_t& produced) override {
        m_stream.next_in = m_pNext;
        m_stream.avail_in = m_nAvailable;
        m_stream.next_out = reinterpret_cast<uint8_t*>(buffer) + produced;
        m_stream.avail_out = length - produced;
        // Finishing once the file ends makes a stream cut short an error.
        const lzma_ret result = lzma_code(&m_stream, m_bEof ? LZMA_FINISH : LZMA_RUN);
        consume(m_nAvailable - m_stream.avail_in);
        produced = length - m_stream.avail_out;
        return result == LZMA_STREAM_END ? State::END
               : result == LZMA_OK       ? State::DECODING
                                         : State::FAILED;
    }

    lzma_stream m_stream;
};

// bzip2: streams one after the other; bytes after the last stream that do
// not start another fail.
class Bzip2Decoder : public BufferedDecoder {
public:
    explicit Bzip2Decoder(UniqueFd fd) : BufferedDecoder(std::move(fd)) {}
    ~Bzip2Decoder() override { end(); }
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    bool begin() {
        m_stream = bz_stream();
        m_bOpen = BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK;
        return m_bOpen;
    }

private:
    void end() {
        if (m_bOpen) {
            BZ2_bzDecompressEnd(&m_stream);
            m_bOpen = false;
        }
    }

    State step(char* buffer, size_t length, size_t& produced) override {
        if (m_bStreamDone) {
            if (m_bEof && m_nAvailable == 0) {
                return State::END;
            }
            // Another stream follows.
            end();
            if (!begin()) {
                return State::FAILED;
            }
            m_bStreamDone = false;
        }
        m_stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(m_pNext));
        m_stream.avail_in = static_cast<unsigned>(m_nAvailable);
        m_stream.next_out = buffer + produced;
        m_stream.avail_out = static_cast<unsigned>(length - produced);
        const int result = BZ2_bzDecompress(&m_stream);
        consume(m_nAvailable - m_stream.avail_in);
        produced = length - m_stream.avail_out;
        if (result == BZ_STREAM_END) {
            m_bStreamDone = true;
            return m_bEof && m_nAvailable == 0 ? State::END : State::DECODING;
        }
        return result == BZ_OK ? State::DECODING : State::FAILED;
    }

    bz_stream m_stream = bz_stream();
    bool m_bOpen = false;
    bool m_bStreamDone = false;
};

std::unique_ptr<StreamDecoder> makeDecoder(DecoderKind kind, UniqueFd fd) {
    switch (kind) {
        case DecoderKind::ZLIB: {
            gzFile file = gzdopen(fd.get(), "rb");
            if (file == nullptr) {
                return nullptr;
            }
            fd.release();
            return std::make_unique<ZlibDecoder>(file);
        }
        case DecoderKind::ZSTD: {
            ZSTD_DStream* stream = ZSTD_createDStream();
            if (stream == nullptr) {
                return nullptr;
            }
            auto decoder = std::make_unique<ZstdDecoder>(std::move(fd), stream);
            if (ZSTD_isError(
                    ZSTD_DCtx_setParameter(stream, ZSTD_d_windowLogMax, kMaxZstdWindowLog))) {
                return nullptr;
            }
            return decoder;
        }
        case DecoderKind::XZ: {
            lzma_stream stream = LZMA_STREAM_INIT;
            if (lzma_stream_decoder(&stream, kMaxXzMemory, LZMA_CONCATENATED) != LZMA_OK) {
                return nullptr;
            }
            return std::make_unique<XzDecoder>(std::move(fd), stream);
        }
        case DecoderKind::BZIP2: {
            auto decoder = std::make_unique<Bzip2Decoder>(std::move(fd));
            if (!decoder->begin()) {
                return nullptr;
            }
            return decoder;
        }
    }
    return nullptr;
}

bool startsWith(const unsigned char* head, size_t length,
                std::initializer_list<unsigned char> magic) {
    return length >= magic.size() && std::equal(magic.begin(), magic.end(), head);
}

}  // namespace

DecoderKind decoderKindOf(const unsigned char* head, size_t length) {
    // zstd frames, or a skippable frame (magic 0x184d2a50 to 0x184d2a5f,
    // little-endian) before them.
    if (startsWith(head, length, {0x28, 0xb5, 0x2f, 0xfd}) ||
        (length >= 4 && (head[0] & 0xf0) == 0x50 && startsWith(head + 1, 3, {0x2a, 0x4d, 0x18}))) {
        return DecoderKind::ZSTD;
    }
    if (startsWith(head, length, {0xfd, '7', 'z', 'X', 'Z', 0x00})) {
        return DecoderKind::XZ;
    }
    // "BZh" and the block size, 1 to 9.
    if (startsWith(head, length, {'B', 'Z', 'h'}) && length >= 4 && head[3] >= '1' &&
        head[3] <= '9') {
        return DecoderKind::BZIP2;
    }
    // gzip, and everything else, which zlib reads as it is.
    return DecoderKind::ZLIB;
}

std::unique_ptr<StreamDecoder> openStreamDecoder(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return nullptr;
    }
    // A head that cannot be read (a directory, say) leaves the failure to the
    // decoder's first read.
    unsigned char head[kHeadSize];
    const ssize_t n = pread(fd.get(), head, sizeof(head), 0);
    const DecoderKind kind = decoderKindOf(head, n > 0 ? static_cast<size_t>(n) : 0);
    std::unique_ptr<StreamDecoder> decoder = makeDecoder(kind, std::move(fd));
    if (!decoder) {
        errno = ENOMEM;
    }
    return decoder;
}

std::unique_ptr<DecompressStream> DecompressStream::open(const std::string& path) {
    std::unique_ptr<StreamDecoder> decoder = openStreamDecoder(path);
    if (!decoder) {
        return nullptr;
    }
    return std::make_unique<DecompressStream>(std::move(decoder));
}

DecompressStream::DecompressStream(std::unique_ptr<StreamDecoder> decoder)
    : m_pDecoder(std::move(decoder)) {
    for (Block& block : m_aBlocks) {
        block.m_vData.resize(kBlockSize);
    }
    m_pDecoder->prepare();
    // The thread handles no signals: they stay with the main thread.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        m_thread = std::thread(&DecompressStream::run, this);
    } catch (const std::system_error& error) {
        // Out of threads or memory for a stack: decompress in the reading thread.
        LOGD("decompressing in the parser's thread (%s)", error.what());
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

DecompressStream::~DecompressStream() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cvFree.notify_one();
    m_thread.join();
}

void DecompressStream::run() {
    size_t index = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvFree.wait(lock, [this] { return m_bStop || m_nFilled < kBlocks; });
            if (m_bStop) {
                return;
            }
        }
        // Each side works on a block of its own without holding the lock.
        Block& block = m_aBlocks[index];
        const int n = m_pDecoder->read(block.m_vData.data(), kBlockSize);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (n <= 0) {
                m_bFailed = n < 0;
                m_bEnd = true;
            } else {
                block.m_nSize = static_cast<size_t>(n);
                ++m_nFilled;
            }
        }
        m_cvFilled.notify_one();
        if (n <= 0) {
            return;
        }
        index = (index + 1) % kBlocks;
    }
}

int DecompressStream::read(char* buffer, size_t length) {
    if (!m_thread.joinable()) {
        return m_pDecoder->read(buffer, length);
    }
    if (m_pCurrent == nullptr) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cvFilled.wait(lock, [this] { return m_nFilled > 0 || m_bEnd; });
        if (m_nFilled == 0) {
            return m_bFailed ? -1 : 0;
        }
        m_pCurrent = &m_aBlocks[m_nNext];
        m_nOffset = 0;
    }
    const size_t n = std::min(length, m_pCurrent->m_nSize - m_nOffset);
    std::memcpy(buffer, m_pCurrent->m_vData.data() + m_nOffset, n);
    m_nOffset += n;
    if (m_nOffset == m_pCurrent->m_nSize) {
        m_pCurrent = nullptr;
        m_nNext = (m_nNext + 1) % kBlocks;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_nFilled;
        }
        m_cvFree.notify_one();
    }
    return static_cast<int>(n);
}

bool DecompressStream::drain() {
    char rest[4096];
    int n;
    while ((n = read(rest, sizeof(rest))) > 0) {
    }
    return n == 0;
}
