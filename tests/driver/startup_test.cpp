// The start-up of the real binary: command line, configuration layers,
// repository selection, logging, the stored status and the "no run" file.
// Nothing is configured to update from unless a row says so.
#include <syslog.h>

#include <regex>

#include "appliance.h"

namespace {

const std::string kStatus = "/var/lib/updater/status";
const std::string kDefaults = "/usr/share/resources/default/updater/defaults.conf";
const std::string kNoRepository = "ERROR: no active repository, nothing to do\n";

// Every option in the help, the default configuration file named.
const char* const kHelp =
    "-q, --quiet\n-l, --log-level=STRING\n-r, --repo=repo-id\n--repo-url=repo-id:url\n"
    "--log-to-stderr\n--log-to=file\n-n, --check-only\n-N, --test\n--no-sig-check\n"
    "--no-pkg-sig-check\n--no-md-sig-check\n--install\n--ignore-recommends\n--no-reboot\n"
    "-b, --background\n-C, --cache-only\n--no-cache-clean\n--check-db-headers\n"
    "--max-wait-time=seconds\n--lock-timeout=seconds\n--cache-dir=<dir>\n--clear-rebooting\n"
    "--version Print the program name and version and exit.\n"
    "--conf-file=<file> Specify a configuration file other than the default '/etc/updater.conf'.\n"
    "Help options: -?, --help Show this help message --usage Display brief usage message";

// The run went past the start-up and found nothing to update from.
Scenario& proceeded(Scenario& s) {
    return s.exits(1).logs({"INFO: --- MODE update ---\n", kNoRepository});
}

// Standard error holds the logger's lines only: nothing of libxml2's own.
void onlyLogLines(Appliance&, const RunResult& r) {
    for (const std::string& line : splitLines(r.err)) {
        EXPECT_TRUE(std::regex_search(line, std::regex("^(DEBUG|INFO|WARNING|ERROR): ")))
            << line << "\n"
            << r.err;
    }
}

std::vector<Scenario> rows() {
    Scenario badOptions = bare("BadCommandLinesAreRefused");
    for (const auto& c : std::vector<std::pair<Lines, std::string>>{
             {{"--bogus"}, "updater: --bogus: unknown option"},
             {{"--repo"}, "updater: --repo: missing argument"},
             {{"--max-wait-time=abc"}, "updater: --max-wait-time=abc: invalid numeric value"},
             {{"--lock-timeout", "12x"}, "updater: 12x: invalid numeric value"}}) {
        badOptions.run(c.first).exits(1).logs({c.second}).absent({kStatus});
    }
    Scenario permitted = bare("PermittedStatusHandsOverToTheRun");
    for (const char* stored :
         {"", "READY\n", "TESTING\n", "PKGSDONE\n", "DOWNLOADING\n", "  PKGSDONE more words\n"}) {
        proceeded(*stored != '\0' ? permitted.run().put(kStatus, stored) : permitted.run())
            .lacks({"cannot"})
            .status("READY\n");
    }
    Scenario unreadable = bare("UnreadableStatusAborts");
    for (const char* stored : {"garbage\n", "", "\n\n", "updating\n", "READYX\n", "\x01\xff\n"}) {
        unreadable.run({}, 1)
            .put(kStatus, stored)
            .logs({"ERROR: cannot recover status, aborting\n"})
            .status(stored);
    }
    Scenario repoOptions = bare("RepositoryOptionsAndTheirExitCodes");
    repoOptions.config = R"(<updater><log><logger type="stderr"/></log>
  <repository id="main"><name>Main</name><location href="http://127.0.0.1:1/main"/></repository>
  <repository id="spare"><name>Spare</name><location href="file:///var/no-such-repo"/></repository>
</updater>)";
    for (const auto& c : std::vector<std::pair<Lines, std::string>>{
             {{}, "ERROR: only one active repository supported"},
             {{"--repo-url", ":http://x"}, "ERROR: missing ID in --repo-url option"},
             {{"--repo-url", "main:"}, "ERROR: missing URL in --repo-url option"},
             {{"--repo-url", "main"}, "ERROR: missing ':' in --repo-url option"},
             {{"--repo", "nosuch"}, "ERROR: no repository with ID 'nosuch'"}}) {
        repoOptions.run(c.first)
            .exits(1)
            .count(c.second, 1)
            .logs({"INFO: --- EXIT ERROR ---"}, {"--- MODE"});
    }
    // The chosen repository alone is used; an override for an unknown one is ignored.
    repoOptions.run({"--repo", "spare", "--repo-url", "gone:file:/x"}, 1)
        .count("WARNING: ignoring URL override for non-existing repo 'gone'", 1)
        .logs({"INFO: --- MODE update ---", "/var/no-such-repo"}, {"127.0.0.1"});
    // The reason comes right before the summary, also when the file cannot be
    // read (the sandbox's /dev/log is a socket).
    Scenario brokenConfig = bare("BrokenConfigurationEndsTheRun");
    for (const auto& [content, reason] : std::vector<std::pair<const char*, std::string>>{
             {"<updater><repository id=\"a\"/></updater>", "no URI for repository 'a'"},
             {"<<<", "cannot parse XML file '/etc/updater.conf' line 1: no root element"},
             {"<other/>", "bad top-level element, 'other' instead of 'updater'"}}) {
        brokenConfig.run({}, 1)
            .put("/etc/updater.conf", content)
            .logs({"ERROR: " + reason +
                   "\nERROR: failed parsing configuration file '/etc/updater.conf'\n"},
                  {"--- MODE"})
            .check(onlyLogLines);
    }
    for (const auto& [file, reason] : std::vector<std::pair<std::string, std::string>>{
             {"/etc/none.conf", "No such file or directory"},
             {"/dev/log", "No such device or address"}}) {
        brokenConfig.run({"--conf-file", file}, 1)
            .logs({"ERROR: cannot read XML file '" + file + "' (" + reason +
                   ")\nERROR: could not open configuration file '" + file +
                   "'\nERROR: failed parsing configuration file '" + file +
                   "'\nINFO: --- EXIT ERROR ---\n"})
            .absent({kStatus})
            .check(onlyLogLines);
    }
    // A broken defaults or proxy file: the reason, and the run goes on.
    proceeded(brokenConfig.run({"--log-level", "debug"})
                  .put(kDefaults, "<broken")
                  .put("/etc/network/vtxproxy.conf", "<proxyconf>\n<proxy server=\"p\" port=\"1\">")
                  .put("/etc/updater.conf", Sandbox::simpleConfig()))
        .logs({"ERROR: cannot parse XML file '" + kDefaults +
                   "' line 1: couldn't find end of Start Tag broken\n"
                   "DEBUG: missing or incorrect defaults file '" +
                   kDefaults + "'\n",
               "ERROR: cannot parse XML file '/etc/network/vtxproxy.conf' line 2: premature end "
               "of document inside element 'proxy'\n"})
        .check(onlyLogLines);
    // A mistyped element is warned about, where the run would otherwise only
    // find nothing to do.
    proceeded(brokenConfig.run().put(
                  "/etc/updater.conf",
                  Sandbox::simpleConfig("", "info",
                                        "  <repositry id=\"main\"><location href=\"/x\"/>"
                                        "</repositry>\n")))
        .logs({"WARNING: unknown element 'repositry' in '/etc/updater.conf' line 4, ignored\n"});
    // A missing defaults file is a debug note only.
    Scenario quiet = bare("QuietSuppressesOnlyBannerAndSummary");
    quiet.run({}, 1)
        .before([](Appliance& a) { a.sandbox.remove(kDefaults); })
        .lacks({"could not open configuration file"})
        .logs({"INFO: updater version 1.17, product \n", "INFO: --- MODE update ---\n",
               "INFO: --- EXIT ERROR ---\n"});
    quiet.run({"--quiet", "--check-only"}, 1)
        .logs({kNoRepository})  // errors always show
        .lacks({"version 1.17", "--- MODE", "--- EXIT"});

    return {
        bare("HelpListsEveryOptionWithItsText")
            .run({"--help"})
            .check([](Appliance&, const RunResult& r) {
                const std::string help = std::regex_replace(r.out, std::regex("\\s+"), " ");
                for (const std::string& text : splitLines(kHelp)) {
                    EXPECT_NE(help.find(text), std::string::npos) << text << "\n" << r.out;
                }
                EXPECT_EQ(r.err, "");
            }),
        // Nothing but the version: no configuration (a broken one here), log,
        // lock or status.
        bare("VersionIsPrintedBeforeAnythingElse")
            .run({"--version", "--log-to", "/tmp/extra.log"})
            .put("/etc/updater.conf", "<<<")
            .put(kStatus, "UPDATING\n")
            .check([](Appliance&, const RunResult& r) {
                EXPECT_EQ(r.out, "updater 1.17\n");
                EXPECT_EQ(r.err, "");
            })
            .status("UPDATING\n")
            .absent({"/tmp/extra.log", "/var/lock/updater", "/var/log/updater/lastlog",
                     "/var/lib/updater/update-state"}),
        badOptions,
        permitted,
        unreadable,
        repoOptions,
        brokenConfig,
        quiet,
        bare("NoRunFileStopsBeforeAnythingElse")
            .run({"--test"}, 1)
            .put("/var/run/updater.norun", "")
            .logs({"ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'\n"
                   "INFO: --- EXIT ERROR ---"},
                  {"--- MODE"})
            .absent({"/var/log/updater/lastlog", "/var/lock/updater", kStatus}),
        // A refusing status is reported by the parent: no child was started.
        bare("BackgroundRefusalsAreReportedInTheForeground")
            .run({"--background"}, 2)
            .put(kStatus, "UPDATING\n")
            .logs({"FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting\n",
                   "INFO: --- EXIT FATAL ---\n"},
                  {"BACKGROUND", "--- MODE"})
            .absent({"/var/lock/updater", "/var/log/updater/lastlog"})
            .ends("CORRUPTED\n", "CORRUPTED\n")
            .run({"--background"}, 1)
            .put(kStatus, "garbage\n")
            .logs({"ERROR: cannot recover status, aborting\nINFO: --- EXIT ERROR ---\n"},
                  {"BACKGROUND", "--- MODE"})
            .absent({"/var/lock/updater", "/var/log/updater/lastlog"})
            .status("garbage\n"),
        bare("CheckOnlyWinsOverTest").run({"-n", "-N"}, 1).logs({"MODE check ---\n"}),
        // The history keeps the last runs whatever the file held: lines that
        // are not JSON objects go, and a file too large to be ours starts anew.
        bare("RunHistoryKeepsTheLastTwentyRuns").with([](Scenario& s) {
            std::string history = "not json\n[1]\n{\"long\": \"" + std::string(20000, 'x') + "\"}\n";
            for (int i = 0; i < 23; ++i) {
                history += "{\"n\": " + std::to_string(i) + "}\n";
            }
            const std::string path = "/var/lib/updater/run-history.jsonl";
            s.run({}, 1).put(path, history).reports({{"history.#", "20"}, {"history.0.n", "4"}});
            s.run({"--test"}, 1).reports({{"history.#", "20"},
                                          {"history.0.n", "5"},
                                          {"history.18.mode", "\"update\""},
                                          {"history.19.mode", "\"test\""},
                                          {"history.19.result", "\"failed\""},
                                          {"last_error", "\"" + kNoRepository.substr(7, 35) + "\""}});
            s.run({}, 1)
                .put(path, std::string(400000, '\n'))
                .logs({"WARNING: starting the run history '" + path + "' anew (File too large)\n"})
                .reports({{"history.#", "1"}});
        }),
        bare("LogToFileAppendsEverythingAboveTheThreshold")
            .run({"--log-to", "/tmp/extra.log", "--log-level", "trace"}, 1)
            .put("/tmp/extra.log", "earlier run\n")
            .fileHas("/tmp/extra.log", {"earlier run\n", "DEBUG: initialized OK\n",
                                        "TRACE: ", "INFO: --- EXIT ERROR ---\n"})
            // Messages of the configuration reading reach the file too.
            .run({"--log-to", "/tmp/extra.log", "--log-level", "debug"}, 1)
            .before([](Appliance& a) { a.sandbox.remove(kDefaults); })
            .logs({"DEBUG: could not open configuration file '" + kDefaults + "'"})
            .fileHas("/tmp/extra.log", {"DEBUG: missing or incorrect defaults file"}),
        bare("LastLogHoldsOnlyTheLastRunAtInfo")
            .run({"--log-level", "debug"}, 1)
            .put("/var/log/updater/lastlog", "stale content\n")
            .run({"--log-level", "debug", "--check-only"}, 1)
            .fileHas("/var/log/updater/lastlog",
                     {"INFO: --- MODE check ---\n", "INFO: --- EXIT ERROR ---\n"},
                     {"stale content", "--- MODE update ---", "DEBUG:"}),
        bare("SyslogGetsMessagesWithoutLevelPrefix")
            .with([](Scenario& s) {
                s.config =
                    "<updater><log level=\"info\"><logger "
                    "type=\"syslog\"><facility>local3</facility>"
                    "</logger></log></updater>";
            })
            .run({}, 1)
            .check([](Appliance&, const RunResult& r) {
                EXPECT_EQ(r.err, "") << r.describe();
                bool found = false;
                for (const SyslogRecord& rec : r.syslog) {
                    EXPECT_EQ(rec.ident, "updater");
                    EXPECT_EQ(rec.facility, LOG_LOCAL3 >> 3);
                    EXPECT_GT(rec.pid, 0);
                    EXPECT_EQ(rec.text.find("INFO"), std::string::npos) << rec.text;
                    found =
                        found || (rec.text == "--- MODE update ---" && rec.priority == LOG_INFO);
                }
                EXPECT_TRUE(found) << r.syslog.size();
            }),
        // stderr from the defaults file stays on; level and syslog come from the file.
        bare("LoggingFollowsTheConfigurationFile")
            .with([](Scenario& s) {
                s.config =
                    R"(<updater><log level="debug"><logger type="syslog"><facility>local6</facility></logger>
  <logger type="carrier-pigeon"/></log></updater>)";
            })
            .run({"--check-only"}, 1)
            .put(kDefaults, R"(<updater><log><logger type="stderr"/></log></updater>)")
            // Reading notes need the option; a logger type it does not know is a warning.
            .logs(
                {"WARNING: unknown value 'carrier-pigeon' of attribute 'type' of element "
                 "'logger' in '/etc/updater.conf' line 2, logger ignored\nDEBUG: initialized OK\n"},
                {"DEBUG: ignoring unknown"})
            .check([](Appliance&, const RunResult& r) {
                bool sawDebug = false;
                for (const SyslogRecord& rec : r.syslog) {
                    EXPECT_EQ(rec.facility, LOG_LOCAL6 >> 3) << rec.text;
                    sawDebug =
                        sawDebug || (rec.text == "initialized OK" && rec.priority == LOG_DEBUG);
                }
                EXPECT_TRUE(sawDebug);
            })
            .run({"--log-level", "debug"}, 1)
            .logs({"DEBUG: ignoring unknown 'carrier-pigeon' logger type\n"}),
        bare("NoOutputConfiguredSwitchesStderrOn")
            .with([](Scenario& s) { s.config = "<updater/>"; })
            .run({"--log-to", "/tmp/x.log"}, 1)
            .logs({"ERROR: no log output! enabling stderr\n", "INFO: --- MODE update ---\n"})
            .fileHas("/tmp/x.log", {"no log output! enabling stderr"}),
        bare("UnknownLogLevelFallsBackToInfo")
            .run({"--log-level", "verbose"}, 1)
            .count("ERROR: unrecognized logger level 'verbose' using 'info'", 1)
            .logs({"INFO: --- MODE update ---"}, {"DEBUG:"}),
        bare("CacheDirOptionIsNormalised")
            .run({"--cache-dir", "var/cache"}, 1)
            .logs({"WARNING: cache dir 'var/cache' is not an absolute path\n"})
            .run({"--cache-dir", ""}, 1)
            .logs({"WARNING: cache dir empty, assuming './'\n"}),
        bare("HomeIsTakenFromTheUserDatabaseWhenUnset")
            .with([](Scenario& s) {
                s.config = Sandbox::simpleConfig("", "debug");
                RunOptions noHome;
                noHome.unsetEnv = {"HOME"};
                s.run({}, 1).options(noHome).logs({"DEBUG: HOME set to '/root' in environment\n"});
            })
            .run({}, 1)
            .lacks({"HOME set"}),
        bare("OsReleaseCanDisableUpdates")
            .run({"--check-only"}, 1)
            .put("/etc/os-release", "NAME=\"Player OS\"\nVTX_NO_UPDATE=\"service mode\"\n")
            .logs({"ERROR: firmware update is disabled: service mode\n"})
            .absent({kStatus})
            .run({"--check-only"}, 1)
            .put("/etc/os-release", "NAME=\"Player OS\"\nVTX_NO_UPDATEX=1\n")
            .lacks({"firmware update is disabled"}),
    };
}

}  // namespace

SCENARIOS(Startup, rows());
