#include "net/partial_download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/logger.h"

namespace {

constexpr size_t kMaxValidator = 512;

// A validator goes back into a request header: printable ASCII only.
bool isUsableValidator(const std::string& text) {
    if (text.empty() || text.size() > kMaxValidator) {
        return false;
    }
    for (char c : text) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

// The validator file holds the value and a line feed; anything else is none.
std::string readValidator(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        return "";
    }
    char buffer[kMaxValidator + 2];
    ssize_t got;
    do {
        got = read(fd.get(), buffer, sizeof(buffer));
    } while (got < 0 && errno == EINTR);
    if (got < 2 || buffer[got - 1] != '\n') {
        return "";
    }
    std::string value(buffer, static_cast<size_t>(got - 1));
    return isUsableValidator(value) ? value : "";
}

bool removeName(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

bool PartialDownload::open(const std::string& destination, int64_t expectedSize) {
    m_sDestination = destination;
    m_sPath = destination + kSuffix;
    m_sValidatorPath = destination + kValidatorSuffix;
    m_nExpectedSize = expectedSize > 0 ? expectedSize : 0;
    m_fd.reset(::open(m_sPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    struct stat st;
    if (!m_fd || fstat(m_fd.get(), &st) != 0) {
        LOGE("failed opening file '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        m_fd.reset();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        LOGE("refusing to write '%s': not a regular file", m_sPath.c_str());
        m_fd.reset();
        return false;
    }
    m_sValidator = readValidator(m_sValidatorPath);
    const int64_t held = st.st_size;
    bool keep = true;
    if (held > 0 && m_sValidator.empty()) {
        LOGD("dropping %lld bytes of '%s' without validator", static_cast<long long>(held),
             m_sPath.c_str());
        keep = false;
    } else if (m_nExpectedSize > 0 && held > m_nExpectedSize) {
        LOGW(
            "partial file '%s' holds %lld bytes, more than the %lld of the whole file; "
            "starting again",
            m_sPath.c_str(), static_cast<long long>(held), static_cast<long long>(m_nExpectedSize));
        keep = false;
    }
    if (!keep && !restart("")) {
        LOGE("failed emptying file '%s' (%s)", m_sPath.c_str(), errnoString().c_str());
        m_fd.reset();
        return false;
    }
    lseek(m_fd.get(), 0, SEEK_END);
    return true;
}

int64_t PartialDownload::size() const {
    struct stat st;
    return m_fd && fstat(m_fd.get(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool PartialDownload::restart(const std::string& validator) {
    // The old validator goes first: bytes without one are never continued.
    m_sValidator.clear();
    if (!removeName(m_sValidatorPath) || ftruncate(m_fd.get(), 0) != 0 ||
        lseek(m_fd.get(), 0, SEEK_SET) != 0) {
        return false;
    }
    if (!isUsableValidator(validator)) {
        return true;
    }
    // The empty file reaches the disk before the new validator does.
    if (fdatasync(m_fd.get()) != 0 || !saveValidator(validator)) {
        return false;
    }
    m_sValidator = validator;
    return true;
}

bool PartialDownload::saveValidator(const std::string& validator) {
    const std::string temporary = m_sValidatorPath + ".tmp";
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(temporary.c_str(), kFlags, 0666));
    if (!fd && errno == EEXIST && unlink(temporary.c_str()) == 0) {
        fd.reset(::open(temporary.c_str(), kFlags, 0666));
    }
    const std::string line = validator + "\n";
    const bool ok = fd && write(fd.get(), line.data(), line.size()) == ssize_t(line.size()) &&
                    fdatasync(fd.get()) == 0 && fd.close() == 0 &&
                    rename(temporary.c_str(), m_sValidatorPath.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        unlink(temporary.c_str());
        errno = error;
    }
    return ok;
}

bool PartialDownload::commit() {
    m_fd.reset();
    if (rename(m_sPath.c_str(), m_sDestination.c_str()) != 0) {
        LOGE("failed renaming '%s' to '%s' (%s)", m_sPath.c_str(), m_sDestination.c_str(),
             errnoString().c_str());
        return false;
    }
    removeName(m_sValidatorPath);
    m_sValidator.clear();
    return true;
}

void PartialDownload::discard() {
    m_fd.reset();
    removeName(m_sPath);
    removeName(m_sValidatorPath);
    m_sValidator.clear();
}
