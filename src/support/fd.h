// RAII owners of file descriptors, stdio streams and directory streams.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_nFd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_nFd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_nFd; }
    explicit operator bool() const { return m_nFd >= 0; }
    int release() {
        int fd = m_nFd;
        m_nFd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_nFd >= 0) {
            ::close(m_nFd);
        }
        m_nFd = fd;
    }
    // Closes now and reports the result of close().
    int close() {
        int fd = release();
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_nFd = -1;
};

struct FileCloser {
    void operator()(FILE* f) const {
        if (f != nullptr) {
            fclose(f);
        }
    }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR* dir) const {
        if (dir != nullptr) {
            closedir(dir);
        }
    }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
