// The machine-readable record of a run: what it was asked to do, what it
// found and did, and how it ended. Written at the end of every run that took
// the cache lock to paths::kRunReportFile (JSON, replaced whole), and added
// to the short history in paths::kRunHistoryFile (one line a run, the last
// kHistoryRuns runs).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "package/package.h"

class Config;

// What became of a package of an update set, in the order a run moves it on.
enum class PackageFate { AVAILABLE, DOWNLOADED, TESTED, INSTALLED, FAILED };

class RunReport {
public:
    static constexpr int kFormat = 1;
    static constexpr size_t kHistoryRuns = 20;
    // Texts from outside (error messages) are cut to this many bytes.
    static constexpr size_t kMaxText = 1024;

    // The run starts now.
    RunReport();

    // The mode and the settings that change what a run does.
    void setRun(const char* mode, const Config& config, const std::set<std::string>& packages);
    // Only a run that took the cache lock writes a report.
    void setLockTaken() { m_bLockTaken = true; }
    bool lockTaken() const { return m_bLockTaken; }
    // The stored status or the system refused the update.
    void setRefused() { m_bRefused = true; }
    void setRepository(const std::string& id, const std::string& uri);
    // The index last read: its revision (may be empty) and the time its
    // signature was made (0: not checked).
    void setIndex(const std::string& revision, int64_t signedAt);
    // An update set a pass chose, with the installed package of each name
    // (null when none); names already reported keep their fate.
    void addOffered(const Package& package, const Package* installed);
    // Marks that the run learnt which updates there are (also none).
    void setAnalysed() { m_bAnalysed = true; }
    void setFate(const Package& package, PackageFate fate);
    void setFates(const PackageSet& packages, PackageFate fate);

    // Writes the report and the history; false after a warning. signal: the
    // termination signal that ends the process, or 0.
    bool write(int exitCode, bool rebootScheduled, int signal) const;

private:
    // The report as a JSON text of one line; with historyLine also the
    // history's entry, which leaves the options out and gives the number of
    // packages instead of their list.
    std::string text(int exitCode, bool rebootScheduled, int signal,
                     std::string* historyLine = nullptr) const;
    struct Entry {
        std::optional<std::string> m_sInstalled;
        std::string m_sOffered;
        PackageType m_nType = PackageType::NONE;
        PackageFate m_fate = PackageFate::AVAILABLE;
    };

    const char* resultName(int exitCode, int signal) const;

    std::time_t m_tStart;
    std::chrono::steady_clock::time_point m_tStartSteady;
    std::string m_sMode;
    std::vector<std::pair<const char*, bool>> m_vOptions;
    std::vector<std::string> m_vPackages;
    bool m_bLockTaken = false;
    bool m_bRefused = false;
    bool m_bAnalysed = false;
    std::optional<std::pair<std::string, std::string>> m_repository;  // ID, URI
    std::optional<std::pair<std::string, int64_t>> m_index;            // revision, signed at
    std::map<std::string, Entry> m_mPackages;
};
