// Small helpers on files, paths and system sources.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support/fd.h"

// Fills the buffer from /dev/urandom.
bool getRandomBytes(void* buffer, size_t count);

// Looks up a key such as "VERSION_ID=" in the operating-system release file.
bool readOsRelease(const std::string& key, std::string& value);

bool isReadable(const std::string& path);

// Reads a whole file of at most maxSize bytes; false with errno set on
// failure (EFBIG for a larger file).
// The lines of a text, without their line feeds; a last line without one
// counts, an empty text has none.
std::vector<std::string> splitLines(const std::string& text);

bool readSmallFile(const std::string& path, size_t maxSize, std::string& content);

// Writes all the bytes, continuing a partial write and repeating one a
// signal interrupted; false with errno set on any other failure.
bool writeAll(int fd, const void* data, size_t size);
// Reads exactly `size` bytes at `offset`, repeating a read a signal
// interrupted; false when fewer are there or on any failure.
bool readAllAt(int fd, void* data, size_t size, off_t offset);

// Gives the pages that lie wholly within [begin, begin + size) of a private
// read-only file mapping back to the file; they are read again when touched.
void dropMappedPages(const void* begin, size_t size);

// Replaces the file by one holding the content (mode 0644) so that a crash
// or power loss leaves either the old or the new file, whole: written under
// the name followed by ".tmp" (created exclusively, after removing what an
// interrupted write left there), flushed, renamed into place, and the
// directory flushed. False with errno set (the temporary file removed);
// the caller reports it.
bool replaceFileDurably(const std::string& path, const std::string& content);

// Ensures that one directory level exists. A symbolic link in its place is
// refused: what is written below it would land wherever the link points.
bool makeDir(const std::string& path);

// Opens a directory for listing without following a symbolic link in its
// last component (trailing slashes ignored); null with errno set otherwise
// (ELOOP or ENOTDIR for a link). A relative path is taken from the directory
// atFd (the current one by default).
UniqueDir openDirNoFollow(const std::string& path, int atFd = AT_FDCWD);

// Opens a file for writing (created with 0666 filtered by the umask, emptied
// or appended to), never through a symbolic link at its name; null with
// errno set otherwise (ELOOP for a link).
enum class WriteMode { TRUNCATE, APPEND };
UniqueFile openForWriting(const std::string& path, WriteMode mode);

// Last path component, trailing slashes ignored.
std::string baseName(const std::string& path);

// The base name from its first dot on; empty when it has none or starts with one.
std::string extensionOf(const std::string& path);
