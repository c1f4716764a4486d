#include "driver/run_report.h"

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>

#include "config/config.h"
#include "driver/status.h"
#include "net/url_fetcher.h"
#include "repo/index_record.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/system.h"
#include "support/version.h"

namespace {

using Json = nlohmann::ordered_json;

// A history line longer than this is not one of ours and is dropped.
constexpr size_t kMaxHistoryLine = 16384;

const char* fateName(PackageFate fate) {
    switch (fate) {
        case PackageFate::AVAILABLE:
            return "available";
        case PackageFate::DOWNLOADED:
            return "downloaded";
        case PackageFate::TESTED:
            return "tested";
        case PackageFate::INSTALLED:
            return "installed";
        case PackageFate::FAILED:
            return "failed";
    }
    return "available";
}

const char* kindName(PackageType type) {
    switch (type) {
        case PackageType::RPM:
            return "rpm";
        case PackageType::VTXPKG:
            return "device";
        default:
            return "other";
    }
}

// A text, cut to the report's bound, or null when empty.
Json textOrNull(const std::string& text) {
    if (text.empty()) {
        return nullptr;
    }
    return text.substr(0, RunReport::kMaxText);
}

// Never throws: bytes that are not UTF-8 (an error text may carry any)
// become U+FFFD.
std::string dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The history with the new line last and at most `keep` lines in all; the
// lines of the file that are not JSON objects are dropped.
std::string appendToHistory(const std::string& old, const std::string& line, size_t keep) {
    std::vector<std::string> lines;
    for (std::string& entry : splitLines(old)) {
        if (entry.size() <= kMaxHistoryLine) {
            Json parsed = Json::parse(entry, nullptr, false);
            if (!parsed.is_discarded() && parsed.is_object()) {
                lines.push_back(std::move(entry));
            }
        }
    }
    lines.push_back(line);
    const size_t first = lines.size() > keep ? lines.size() - keep : 0;
    std::string history;
    for (size_t i = first; i < lines.size(); ++i) {
        history += lines[i] + "\n";
    }
    return history;
}

}  // namespace

RunReport::RunReport()
    : m_tStart(std::time(nullptr)), m_tStartSteady(std::chrono::steady_clock::now()) {}

void RunReport::setRun(const char* mode, const Config& config,
                       const std::set<std::string>& packages) {
    m_sMode = mode;
    m_vOptions = {
        {"install", config.m_bInstall},
        {"ignore_recommends", config.m_bIgnoreRecommends},
        {"no_reboot", config.m_bNoReboot},
        {"cache_only", config.m_bCacheOnly},
        {"no_cache_clean", config.m_bNoCacheClean},
        {"no_pkg_sig_check", config.m_bNoPkgSigCheck},
        {"no_md_sig_check", config.m_bNoMdSigCheck},
        {"check_db_headers", config.m_bCheckDbHeaders},
        {"background", config.m_bBackground},
    };
    m_vPackages.assign(packages.begin(), packages.end());
}

void RunReport::setRepository(const std::string& id, const std::string& uri) {
    m_repository.emplace(id, uri);
}

void RunReport::setIndex(const std::string& revision, int64_t signedAt) {
    m_index.emplace(revision, signedAt);
}

void RunReport::addOffered(const Package& package, const Package* installed) {
    Entry entry;
    if (installed != nullptr) {
        entry.m_sInstalled = evrToString(installed->m_evr);
    }
    entry.m_sOffered = evrToString(package.m_evr);
    entry.m_nType = package.m_nType;
    m_mPackages.emplace(package.m_sName.str(), std::move(entry));
}

void RunReport::setFate(const Package& package, PackageFate fate) {
    auto it = m_mPackages.find(package.m_sName.str());
    if (it != m_mPackages.end()) {
        it->second.m_fate = fate;
    }
}

void RunReport::setFates(const PackageSet& packages, PackageFate fate) {
    for (const Package& package : packages) {
        setFate(package, fate);
    }
}

const char* RunReport::resultName(int exitCode, int signal) const {
    if (m_bRefused) {
        return "refused";
    }
    if (signal != 0) {
        return "terminated";
    }
    if (exitCode == 2) {
        return "fatal";
    }
    if (exitCode != 0) {
        return "failed";
    }
    bool tested = false;
    for (const auto& [name, entry] : m_mPackages) {
        if (entry.m_fate == PackageFate::INSTALLED) {
            return "updated";
        }
        tested = tested || entry.m_fate == PackageFate::TESTED;
    }
    return tested ? "tested" : m_mPackages.empty() ? "no-updates" : "updates-available";
}

std::string RunReport::text(int exitCode, bool rebootScheduled, int signal,
                            std::string* historyLine) const {
    const auto ended = std::time(nullptr);
    const std::chrono::duration<double> duration =
        std::chrono::steady_clock::now() - m_tStartSteady;
    Json report;
    report["format"] = kFormat;
    report["version"] = UPDATER_VERSION;
    report["started"] = utcTimeText(m_tStart);
    report["ended"] = utcTimeText(ended);
    report["duration_seconds"] = std::round(duration.count() * 1000) / 1000;
    report["mode"] = m_sMode;
    Json options = Json::object();
    for (const auto& [name, on] : m_vOptions) {
        options[name] = on;
    }
    options["packages"] = m_vPackages;
    report["options"] = std::move(options);
    report["exit_code"] = exitCode;
    report["result"] = resultName(exitCode, signal);
    report["signal"] = signal != 0 ? Json(signal) : Json(nullptr);

    Status status = Status::READY;
    report["status"] = readStatus(status) ? Json(statusName(status)) : Json(nullptr);
    const UpdateState state = readUpdateState();
    report["update_state"] =
        state == UpdateState::NONE ? Json(nullptr) : Json(updateStateName(state));

    report["repository"] = nullptr;
    if (m_repository) {
        report["repository"] = {{"id", m_repository->first.substr(0, kMaxText)},
                                {"uri", m_repository->second.substr(0, kMaxText)}};
    }
    report["index"] = nullptr;
    if (m_index) {
        report["index"] = {
            {"revision", textOrNull(m_index->first)},
            {"signed_at", m_index->second != 0 ? Json(utcTimeText(m_index->second)) : nullptr}};
    }

    // Known once the run worked out its updates: some of them are not installed.
    report["updates_available"] = nullptr;
    if (m_bAnalysed) {
        bool available = false;
        for (const auto& [name, entry] : m_mPackages) {
            available = available || entry.m_fate != PackageFate::INSTALLED;
        }
        report["updates_available"] = available;
    }
    Json packages = Json::array();
        for (const auto& [name, entry] : m_mPackages) {
            packages.push_back({{"name", name},
                                {"installed", entry.m_sInstalled ? Json(*entry.m_sInstalled)
                                                                 : Json(nullptr)},
                                {"offered", entry.m_sOffered},
                                {"kind", kindName(entry.m_nType)},
                            {"fate", fateName(entry.m_fate)}});
    }
    report["packages"] = std::move(packages);
    report["bytes_downloaded"] = URLFetcher::bytesReceived();
    report["reboot_scheduled"] = rebootScheduled;
    report["first_error"] = textOrNull(theLogger().firstError());
    report["last_error"] = textOrNull(theLogger().lastError());
    const std::string full = dump(report);
    if (historyLine != nullptr) {
        // Bounded: the texts from outside are cut, the lists left out.
        report.erase("options");
        report["packages"] = m_mPackages.size();
        *historyLine = dump(report);
    }
    return full;
}

bool RunReport::write(int exitCode, bool rebootScheduled, int signal) const {
    bool ok = true;
    std::string line;
    const std::string full = text(exitCode, rebootScheduled, signal, &line);
    if (!replaceFileDurably(paths::kRunReportFile, full + "\n")) {
        LOGW("failed writing run report '%s' (%s)", paths::kRunReportFile, errnoString().c_str());
        ok = false;
    }
    std::string old;
    if (!readSmallFile(paths::kRunHistoryFile, kHistoryRuns * (kMaxHistoryLine + 1), old) &&
        errno != ENOENT) {
        LOGW("starting the run history '%s' anew (%s)", paths::kRunHistoryFile,
             errnoString().c_str());
        old.clear();
    }
    if (!replaceFileDurably(paths::kRunHistoryFile, appendToHistory(old, line, kHistoryRuns))) {
        LOGW("failed writing run history '%s' (%s)", paths::kRunHistoryFile,
             errnoString().c_str());
        ok = false;
    }
    return ok;
}
