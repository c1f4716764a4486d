#include "support/system.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "support/fd.h"
#include "support/logger.h"
#include "support/paths.h"

bool getRandomBytes(void* buffer, size_t count) {
    LOGD("requesting %zu random bytes", count);
    UniqueFd fd(open(paths::kUrandom, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        LOGE("could not open '/dev/urandom' to gather random data (%s).", errnoString().c_str());
        return false;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd.get(), out + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            LOGE("could not read from '/dev/urandom' to gather random data (%s).",
                 n < 0 ? errnoString().c_str() : "end of file");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {

// Resolves quotes and backslash escapes of one os-release value.
std::string unquoteOsReleaseValue(std::string value) {
    while (!value.empty() && isspace(static_cast<unsigned char>(value.back()))) {
        value.pop_back();
    }
    if (!value.empty() && (value[0] == '"' || value[0] == '\'')) {
        value = value.size() >= 2 ? value.substr(1, value.size() - 2) : std::string();
    }
    std::string result;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\') {
            if (i + 1 >= value.size()) {
                break;
            }
            ++i;
        }
        result += value[i];
    }
    return result;
}

// The path without trailing slashes, which would make the system follow a
// symbolic link in the last component.
std::string lastComponentPath(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

bool readOsRelease(const std::string& key, std::string& value) {
    UniqueFile file(fopen(paths::kOsRelease, "re"));
    if (!file && errno == ENOENT) {
        file.reset(fopen(paths::kOsReleaseFallback, "re"));
    }
    if (!file) {
        return false;
    }
    bool found = false;
    char line[256];
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        if (strncmp(line, key.c_str(), key.size()) != 0) {
            continue;
        }
        value = unquoteOsReleaseValue(std::string(line + key.size()));
        found = true;
    }
    return found;
}

bool isReadable(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        LOGD("file '%s' not readable (%s)", path.c_str(), errnoString().c_str());
        return false;
    }
    return true;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

bool readSmallFile(const std::string& path, size_t maxSize, std::string& content) {
    UniqueFile file(fopen(path.c_str(), "re"));
    if (!file) {
        return false;
    }
    content.clear();
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
        if (content.size() + n > maxSize) {
            errno = EFBIG;
            return false;
        }
        content.append(buffer, n);
    }
    return ferror(file.get()) == 0;  // else errno is that of the failed read
}

bool writeAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readAllAt(int fd, void* data, size_t size, off_t offset) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = pread(fd, bytes, size, offset);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void dropMappedPages(const void* begin, size_t size) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto from = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t first = (from + page - 1) & ~(page - 1);
    const uintptr_t last = (from + size) & ~(page - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }
}

bool replaceFileDurably(const std::string& path, const std::string& content) {
    const std::string temp = path + ".tmp";
    unlink(temp.c_str());
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        return false;
    }
    if (!writeAll(fd.get(), content.data(), content.size()) || fchmod(fd.get(), 0644) != 0 ||
        fsync(fd.get()) != 0 || fd.close() != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        fd.reset();
        unlink(temp.c_str());
        errno = error;
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dirFd && fsync(dirFd.get()) == 0;
}

bool makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0) {
        int error = errno;
        struct stat st;
        if (error == EEXIST && lstat(lastComponentPath(path).c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode)) {
            LOGE("refusing symbolic link '%s' in place of a directory", path.c_str());
            return false;
        }
        if (!(error == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            errno = error;
            LOGE("cannot create dir '%s' (%s)", path.c_str(), errnoString().c_str());
            return false;
        }
    }
    LOGD("successfully created dir '%s'", path.c_str());
    return true;
}

std::string baseName(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return std::string();
    }
    size_t slash = path.rfind('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

std::string extensionOf(const std::string& path) {
    std::string base = baseName(path);
    size_t dot = base.find('.');
    if (dot == std::string::npos || dot == 0) {
        return std::string();
    }
    return base.substr(dot);
}

UniqueDir openDirNoFollow(const std::string& path, int atFd) {
    UniqueFd fd(openat(atFd, lastComponentPath(path).c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        return nullptr;
    }
    UniqueDir dir(fdopendir(fd.get()));
    if (dir) {
        fd.release();
    }
    return dir;
}

UniqueFile openForWriting(const std::string& path, WriteMode mode) {
    const bool append = mode == WriteMode::APPEND;
    UniqueFd fd(open(path.c_str(),
                     O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
                     0666));
    UniqueFile file(fd ? fdopen(fd.get(), append ? "a" : "w") : nullptr);
    if (file) {
        fd.release();
    }
    return file;
}
