// Power loss at any moment of a real update: the updater and everything it
// started are killed with SIGKILL at many points of a full run (32, or as many
// as UPDATER_POWER_LOSS_KILLS says: bench/driver/power_loss_soak.sh). After each,
// the status file must hold a whole status name, the index record whole
// lines and the run report, when there is one, a whole JSON document (its
// history whole lines), the next start must react
// to it as the status says, and an allowed next run must complete and leave
// no temporary or partial file in the cache.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "appliance.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::set<std::string> kWhole = {
    "",          "READY\n",    "DELAYING\n", "ANALYZING\n", "DOWNLOADING\n",
    "TESTING\n", "UPDATING\n", "PKGSDONE\n", "CORRUPTED\n", "REBOOTING\n"};

// One repository for all runs: eight components with large payloads, a
// release, an add-on and a device package, newer than those installed.
struct Fixture {
    ScratchDir work{"power-loss"};
    RepoBuilder repo{work.file("repo")};
    std::unique_ptr<HttpServer> server;
    Lines installed;
    Fixture() {
        std::vector<TestPackage> offered, old;
        for (int i = 0; i < 8; ++i) {
            const std::string name = "component" + std::to_string(i);
            offered.push_back(TestPackage(name, "2.0-1").payload(400000));
            old.push_back(TestPackage(name, "1.0-1").payload(1000));
        }
        offered.insert(offered.end(), {TestPackage("player-release", "5.0-1"),
                                       TestPackage("codec-addon", "2.0-1").payload(200000)});
        old.insert(old.end(),
                   {TestPackage("player-release", "4.0-1"), TestPackage("codec-addon", "1.0-1")});
        repo.signWith(&indexKey(), &indexKey());
        repo.add(offered).addDevicePackage(DevicePackage("dsp-firmware", "2.0-1").content("dsp"));
        EXPECT_TRUE(repo.build());
        HttpServer::Options options;
        options.root = repo.dir();
        server = std::make_unique<HttpServer>(options);
        installed = PackageBuilder(work.file("installed-build")).build(old, work.file("installed"));
    }
    // A fresh appliance with the old packages installed.
    std::unique_ptr<Appliance> prepare() const {
        auto a = std::make_unique<Appliance>();
        a->checkIndexSignature = true;
        EXPECT_TRUE(importKey(a->sandbox.rpmDbPath(), indexKey().publicKeyFile()));
        a->installFiles(installed);
        a->configure(kProduct, server->url("/"));
        a->writeHook();
        a->sandbox.writeFile("/usr/libexec/vtxpkg/install", "#!/bin/sh\nsleep 0.1\n", 0755);
        return a;
    }
};

// The index record: absent, or the one line of the repository.
bool wholeRecord(const Sandbox& sandbox) {
    return !sandbox.exists(kIndexRecord) ||
           std::regex_match(sandbox.readFile(kIndexRecord),
                            std::regex("base\t[0-9]+\t([0-9]+|-)\thttp://[^\n]*\n"));
}

// Temporary files left in the cache.
std::vector<std::string> leftovers(const Sandbox& sandbox) {
    std::vector<std::string> found;
    for (const std::string dir :
         {"/var/cache/updater/base/", "/var/cache/updater/base/packages/"}) {
        for (const std::string& name : sandbox.listDir(dir)) {
            if (std::regex_search(name, std::regex("\\.(tmp|new|part|part\\.validator)$"))) {
                found.push_back(dir + name);
            }
        }
    }
    return found;
}

TEST(PowerLoss, KilledAtAnyMomentTheNextStartKnowsWhatHappened) {
    const Fixture f;
    // How long an undisturbed run takes.
    double duration;
    {
        auto a = f.prepare();
        auto start = Clock::now();
        RunResult r = a->update();
        duration = std::chrono::duration<double>(Clock::now() - start).count();
        ASSERT_EQ(r.exitCode, 0) << r.describe();
        ASSERT_EQ(a->status(), "REBOOTING\n");
    }

    const char* kills = std::getenv("UPDATER_POWER_LOSS_KILLS");
    const int kRuns = kills != nullptr && std::atoi(kills) > 0 ? std::atoi(kills) : 32;
    std::set<std::string> seen;
    // What the soak counts: status, record or report files that are not whole, next starts that
    // did not react as the status says, allowed next runs that did not complete.
    int badStatus = 0, wrongReaction = 0, incomplete = 0;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        auto a = f.prepare();
        Sandbox& sandbox = a->sandbox;
        SandboxProcess process = a->start({});
        pid_t pid = process.programPid();
        ASSERT_GT(pid, 0);
        if (run % 2 == 0) {
            // Spread the moments over the whole run, a little beyond its end.
            double delay = duration * 1.1 * (run + 0.5) / kRuns;
            std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        } else {
            // Or strike shortly after a chosen phase has begun.
            static const char* const kTargets[] = {"ANALYZING", "DOWNLOADING", "UPDATING",
                                                   "PKGSDONE", "REBOOTING"};
            std::string target = std::string(kTargets[(run / 2) % 5]) + "\n";
            auto deadline = Clock::now() + std::chrono::seconds(60);
            while (sandbox.readFile("/var/lib/updater/status") != target &&
                   Clock::now() < deadline && kill(pid, 0) == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds((run * 7) % 40));
        }
        kill(-pid, SIGKILL);  // the updater with rpm, hooks and installers
        process.wait();

        // The status file is whole: absent, or one name and a line feed.
        const std::string status = sandbox.readFile("/var/lib/updater/status");
        const bool whole =
            kWhole.count(status) && (status != "" || !sandbox.exists("/var/lib/updater/status"));
        EXPECT_TRUE(whole) << "status file holds '" << status << "'";
        EXPECT_TRUE(wholeRecord(sandbox)) << sandbox.readFile(kIndexRecord);
        const Lines report = reportFields(sandbox, {"format"});
        const bool wholeReport = report == Lines{"absent"} || report == Lines{"format 1"};
        EXPECT_TRUE(wholeReport) << report[0];
        if (!whole || !wholeRecord(sandbox) || !wholeReport) {
            ++badStatus;
            continue;
        }
        seen.insert(status.empty() ? "(none)" : status.substr(0, status.size() - 1));

        RunResult next = a->update({"--no-reboot"});
        if (status == "UPDATING\n" || status == "CORRUPTED\n" || status == "REBOOTING\n") {
            const bool reacted =
                status == "REBOOTING\n"
                    ? next.exitCode == 1 &&
                          next.errHas("INFO: machine is rebooting after update, cannot start\n")
                    : next.exitCode == 2 && a->status() == "CORRUPTED\n" &&
                          a->updateState() == "CORRUPTED\n";
            EXPECT_TRUE(reacted) << "after " << status << next.describe();
            wrongReaction += reacted ? 0 : 1;
        } else {
            RunResult check = a->update({"--check-only"});
            const bool completed = next.exitCode == 0 && a->status() == "READY\n" &&
                                   leftovers(sandbox).empty() && check.errHas("INFO: no updates\n") &&
                                   sandbox.exists(kIndexRecord) && wholeRecord(sandbox);
            EXPECT_TRUE(completed) << "after " << status << next.describe() << check.describe();
            incomplete += completed ? 0 : 1;
        }
        if (kRuns > 32) {
            std::printf(
                "kill %d/%d: status %s; bad status, record or report files %d, wrong reactions %d, "
                "incomplete next runs %d\n",
                run + 1, kRuns,
                status.empty() ? "(none)" : status.substr(0, status.size() - 1).c_str(), badStatus,
                wrongReaction, incomplete);
            std::fflush(stdout);
        }
    }
    std::printf(
        "kills %d: bad status, record or report files %d, next starts that did not react as the status "
        "says %d, allowed next runs that did not complete %d\n",
        kRuns, badStatus, wrongReaction, incomplete);
    // The moments chosen reached the phases that matter.
    std::string phases;
    for (const std::string& s : seen) {
        phases += s + " ";
    }
    EXPECT_TRUE(seen.count("UPDATING") && seen.count("REBOOTING")) << phases;
    RecordProperty("statuses", phases);
    std::printf("statuses seen after the kills: %s\n", phases.c_str());
}

}  // namespace
