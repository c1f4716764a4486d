// What the device keeps of the last index it accepted from each repository
// (by ID and URI) in paths::kIndexRecordFile, and the checks of a newly
// verified index against it. A signature proves who made an index, not
// when it was published: an older index with its signature, replayed, would
// verify as well. So an index whose signature was made before that of the
// index accepted last is refused, and so, when a maximum age is configured,
// is an index whose signature is older than that (a frozen mirror).
//
// The file holds one line per repository and location:
//   ID <TAB> SIGNED <TAB> REVISION <TAB> URI
// SIGNED is the signature's creation time in seconds since 1970 (UTC),
// REVISION the index's revision when it is a decimal number, else "-".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct IndexRecord {
    int64_t m_nSignedAt = 0;
    std::string m_sRevision;  // decimal digits, or empty

    bool operator==(const IndexRecord& other) const {
        return m_nSignedAt == other.m_nSignedAt && m_sRevision == other.m_sRevision;
    }
};

// The revision as a record keeps it: the text when it is a decimal number,
// else empty (other revisions are not compared).
std::string recordedRevision(const std::string& revision);

// The record of the repository at that URI, none when there is none. False
// when the file exists but cannot be read (refusing the index is safer than
// forgetting what it held).
bool readIndexRecord(const std::string& id, const std::string& uri,
                     std::optional<IndexRecord>& record);
// Sets the record of the repository at that URI and keeps the others,
// replacing the file crash-safely; false after a warning.
bool writeIndexRecord(const std::string& id, const std::string& uri, const IndexRecord& record);

// False (after an Error line naming both times) for an index signed before
// the recorded one, or more than maxAgeDays (0: no limit) before now. A
// clock earlier than the signature (not set since boot) skips the age check
// with a warning.
bool checkIndexTime(const std::optional<IndexRecord>& recorded, int64_t signedAt,
                    int32_t maxAgeDays, int64_t now);
// Warns about a revision lower than the recorded one; such an index is still
// accepted (sites may reset their revisions), its signature being newer.
void checkIndexRevision(const std::optional<IndexRecord>& recorded, const std::string& revision);

// The time in UTC, ISO 8601: "2024-01-01T00:00:00Z".
std::string utcTimeText(int64_t time);
