#include "repo/decompress_stream.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "support/fd.h"
#include "support/logger.h"

namespace {

// Bytes read from the file per read of zlib, and bytes decompressed per block
// handed to the consumer.
constexpr unsigned kGzBufferSize = 64 * 1024;
constexpr size_t kBlockSize = 64 * 1024;
// The longest magic number a decoder is recognised by.
constexpr size_t kHeadSize = 8;

// zlib reads gzip members one after the other, and a file without the gzip
// magic as it is. Bytes after the last member that do not start another one
// are ignored; a member cut short, a wrong CRC or length, or a damaged member
// after the first fail the stream.
class ZlibDecoder : public StreamDecoder {
public:
    explicit ZlibDecoder(gzFile file) : m_file(file) { gzbuffer(m_file, kGzBufferSize); }
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

std::unique_ptr<StreamDecoder> openDecoder(DecoderKind kind, UniqueFd fd) {
    switch (kind) {
        case DecoderKind::ZLIB: {
            gzFile file = gzdopen(fd.get(), "rb");
            if (file == nullptr) {
                return nullptr;
            }
            fd.release();
            return std::make_unique<ZlibDecoder>(file);
        }
    }
    return nullptr;
}

}  // namespace

DecoderKind decoderKindOf(const unsigned char* /*head*/, size_t /*length*/) {
    // Formats with a decoder of their own are told by their magic numbers
    // here; everything else goes to zlib.
    return DecoderKind::ZLIB;
}

std::unique_ptr<DecompressStream> DecompressStream::open(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return nullptr;
    }
    // A head that cannot be read (a directory, say) leaves the failure to the
    // decoder's first read.
    unsigned char head[kHeadSize];
    const ssize_t n = pread(fd.get(), head, sizeof(head), 0);
    const DecoderKind kind = decoderKindOf(head, n > 0 ? static_cast<size_t>(n) : 0);
    std::unique_ptr<StreamDecoder> decoder = openDecoder(kind, std::move(fd));
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
