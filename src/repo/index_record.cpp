#include "repo/index_record.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "support/logger.h"
#include "support/paths.h"
#include "support/system.h"

namespace {

// The file holds a line for every location a repository was read from:
// far less than this.
constexpr size_t kMaxRecordFileSize = 1024 * 1024;
constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

struct RecordLine {
    std::string id;
    std::string uri;
    IndexRecord record;
};

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool hasControlCharacters(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

// a < b for two decimal numbers of any length.
bool lessDecimal(const std::string& a, const std::string& b) {
    const std::string x = a.substr(std::min(a.find_first_not_of('0'), a.size()));
    const std::string y = b.substr(std::min(b.find_first_not_of('0'), b.size()));
    return x.size() != y.size() ? x.size() < y.size() : x < y;
}

// One line: four fields separated by tabs.
bool parseLine(const std::string& line, RecordLine& out) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; fields.size() < 3 && (tab = line.find('\t', start)) != std::string::npos;
         start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    if (fields.size() != 4 || fields[0].empty() || !isDecimal(fields[1]) ||
        fields[1].size() > 18 || !(fields[2] == "-" || isDecimal(fields[2])) ||
        fields[3].empty() || hasControlCharacters(fields[3])) {
        return false;
    }
    out.id = fields[0];
    out.record.m_nSignedAt = strtoll(fields[1].c_str(), nullptr, 10);
    out.record.m_sRevision = fields[2] == "-" ? std::string() : fields[2];
    out.uri = fields[3];
    return true;
}

// Every whole line of the file (none when there is no file).
bool readRecordFile(std::vector<RecordLine>& lines) {
    std::string content;
    if (!readSmallFile(paths::kIndexRecordFile, kMaxRecordFileSize, content)) {
        if (errno == ENOENT) {
            return true;
        }
        LOGE("cannot read index record file '%s' (%s)", paths::kIndexRecordFile,
             errnoString().c_str());
        return false;
    }
    size_t number = 0;
    for (const std::string& text : splitLines(content)) {
        ++number;
        RecordLine line;
        if (parseLine(text, line)) {
            lines.push_back(line);
        } else {
            LOGW("ignoring damaged line %zu of index record file '%s'", number,
                 paths::kIndexRecordFile);
        }
    }
    return true;
}

}  // namespace

std::string recordedRevision(const std::string& revision) {
    return isDecimal(revision) ? revision : std::string();
}

bool readIndexRecord(const std::string& id, const std::string& uri,
                     std::optional<IndexRecord>& record) {
    record.reset();
    std::vector<RecordLine> lines;
    if (!readRecordFile(lines)) {
        return false;
    }
    for (const RecordLine& line : lines) {
        if (line.id == id && line.uri == uri) {
            record = line.record;
        }
    }
    return true;
}

bool writeIndexRecord(const std::string& id, const std::string& uri, const IndexRecord& record) {
    if (hasControlCharacters(uri)) {
        LOGW("not recording the index of repository '%s': its location has control characters",
             id.c_str());
        return false;
    }
    std::vector<RecordLine> lines;
    if (!readRecordFile(lines)) {
        return false;
    }
    std::string content;
    for (const RecordLine& line : lines) {
        if (line.id != id || line.uri != uri) {
            content += line.id + "\t" + std::to_string(line.record.m_nSignedAt) + "\t" +
                       (line.record.m_sRevision.empty() ? "-" : line.record.m_sRevision) + "\t" +
                       line.uri + "\n";
        }
    }
    content += id + "\t" + std::to_string(record.m_nSignedAt) + "\t" +
               (record.m_sRevision.empty() ? "-" : record.m_sRevision) + "\t" + uri + "\n";
    if (!replaceFileDurably(paths::kIndexRecordFile, content)) {
        LOGW("failed writing index record file '%s' (%s)", paths::kIndexRecordFile,
             errnoString().c_str());
        return false;
    }
    LOGD("recorded the index of repository '%s' signed at %s", id.c_str(),
         utcTimeText(record.m_nSignedAt).c_str());
    return true;
}

bool checkIndexTime(const std::optional<IndexRecord>& recorded, int64_t signedAt,
                    int32_t maxAgeDays, int64_t now) {
    if (recorded && signedAt < recorded->m_nSignedAt) {
        LOGE("refusing repository index signed at %s: an index signed at %s was accepted before",
             utcTimeText(signedAt).c_str(), utcTimeText(recorded->m_nSignedAt).c_str());
        return false;
    }
    if (maxAgeDays <= 0) {
        return true;
    }
    if (now < signedAt) {
        LOGW("device time %s is earlier than the index signature made at %s; index age not "
             "checked",
             utcTimeText(now).c_str(), utcTimeText(signedAt).c_str());
    } else if (now - signedAt > maxAgeDays * kSecondsPerDay) {
        LOGE("refusing repository index signed at %s: older than %d days at device time %s",
             utcTimeText(signedAt).c_str(), static_cast<int>(maxAgeDays),
             utcTimeText(now).c_str());
        return false;
    }
    return true;
}

void checkIndexRevision(const std::optional<IndexRecord>& recorded, const std::string& revision) {
    const std::string number = recordedRevision(revision);
    if (recorded && !number.empty() && !recorded->m_sRevision.empty() &&
        lessDecimal(number, recorded->m_sRevision)) {
        LOGW("repository index revision '%s' is lower than revision '%s' of the index accepted "
             "before",
             number.c_str(), recorded->m_sRevision.c_str());
    }
}

std::string utcTimeText(int64_t time) {
    const time_t t = static_cast<time_t>(time);
    struct tm parts;
    char text[32];
    if (gmtime_r(&t, &parts) == nullptr ||
        strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
        return std::to_string(time);
    }
    return text;
}
