// The bytes of a file received so far, kept across attempts and runs so that
// the next transfer asks only for the rest. They lie under
// "<destination>.part", never under the destination's own name, and the
// validator of the response they came from (its ETag, else its Last-Modified
// date) lies beside them in "<destination>.part.validator". Bytes without a
// validator cannot be continued: they are dropped when the file is opened.
// A new validator is recorded only after the file was emptied and synced, so
// a crash never pairs old bytes with the validator of another version.
#pragma once

#include <cstdint>
#include <string>

#include "support/fd.h"

class PartialDownload {
public:
    static constexpr const char* kSuffix = ".part";
    static constexpr const char* kValidatorSuffix = ".part.validator";

    PartialDownload() = default;
    PartialDownload(const PartialDownload&) = delete;
    PartialDownload& operator=(const PartialDownload&) = delete;

    // Opens (or creates) the partial file of the destination, positioned at
    // its end. expectedSize is the size the whole file has (0: unknown);
    // bytes beyond it, or bytes without a validator, are dropped. False (and
    // an Error line) when the files cannot be opened or emptied.
    bool open(const std::string& destination, int64_t expectedSize);

    int fd() const { return m_fd.get(); }
    const std::string& path() const { return m_sPath; }
    int64_t expectedSize() const { return m_nExpectedSize; }
    // The bytes held; -1 when the file cannot be examined.
    int64_t size() const;
    // Where a request continues: the bytes held, 0 without a validator.
    int64_t resumeOffset() const { return m_sValidator.empty() ? 0 : size(); }
    const std::string& validator() const { return m_sValidator; }
    // Holds as many bytes as the whole file has.
    bool isComplete() const { return m_nExpectedSize > 0 && size() == m_nExpectedSize; }

    // Empties the file for a body that starts at its first byte and records
    // that body's validator (empty: none, so that the next attempt starts
    // from the beginning again). False (with the reason in errno) on failure.
    bool restart(const std::string& validator);
    // Renames the file to the destination and drops the validator.
    bool commit();
    // Removes the file and its validator.
    void discard();

private:
    bool saveValidator(const std::string& validator);

    UniqueFd m_fd;
    std::string m_sDestination;
    std::string m_sPath;
    std::string m_sValidatorPath;
    std::string m_sValidator;
    int64_t m_nExpectedSize = 0;
};
