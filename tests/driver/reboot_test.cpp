// Runs inside a sandbox: telinit and shutdown are the sandbox's recording
// stubs, and the status file is the sandbox's own.
#include "driver/reboot.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "driver/signals.h"
#include "driver/status.h"
#include "harness/sandbox.h"
#include "support/logger.h"

namespace {

const std::string kTelinit = "/usr/sbin/telinit";
const std::string kShutdown = "/usr/sbin/shutdown";
const std::string kLog = "/tmp/reboot-test.log";
const std::vector<std::string> kBothCalls = {"telinit u", "shutdown -r +1 rebooting after upgrade"};

class Reboot : public ::testing::Test {
protected:
    void SetUp() override {
        // Never anywhere but in the sandbox: these calls would reboot the host.
        m_sTelinitStub = readHostFile(kTelinit);
        m_sShutdownStub = readHostFile(kShutdown);
        ASSERT_NE(m_sTelinitStub.find("Stand-in for the real telinit"), std::string::npos)
            << "not running inside the sandbox";
        ASSERT_NE(m_sShutdownStub.find("Stand-in for the real shutdown"), std::string::npos)
            << "not running inside the sandbox";
        const char* home = getenv("HOME");
        ASSERT_NE(home, nullptr);
        m_sOut = std::string(home) + "/../out/";
        writeHostFile(m_sOut + "calls.log", "");
        unlink((m_sOut + "telinit.exit").c_str());
        ASSERT_TRUE(writeStatus(Status::READY, false));
        ASSERT_TRUE(theLogger().addFile(kLog, LogLevel::Trace, false));
    }
    void TearDown() override {
        theLogger().removeFile(kLog);
        writeHostFile(kTelinit, m_sTelinitStub, 0755);
        writeHostFile(kShutdown, m_sShutdownStub, 0755);
        unlink((m_sOut + "telinit.exit").c_str());
        // The detached shutdown children.
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    // The stub calls, once the detached shutdown has had time to record itself.
    std::vector<std::string> calls(size_t expected) const {
        std::vector<std::string> lines;
        for (int i = 0; i < 1000; ++i) {
            lines = splitLines(readHostFile(m_sOut + "calls.log"));
            if (lines.size() >= expected) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return lines;
    }
    static std::string log() { return readHostFile(kLog); }
    static Status storedStatus() {
        Status status = Status::READY;
        EXPECT_TRUE(readStatus(status));
        return status;
    }

    std::string m_sTelinitStub;
    std::string m_sShutdownStub;
    std::string m_sOut;
};

TEST_F(Reboot, ReexecsInitThenSchedulesTheShutdownAndRecordsIt) {
    EXPECT_EQ(rebootSystem(), 0);
    EXPECT_EQ(calls(2), kBothCalls);
    EXPECT_NE(log().find("INFO: rebooting for upgrades to take full effect\n"), std::string::npos);
    EXPECT_EQ(log().find("WARNING"), std::string::npos) << log();
    // The next start is refused until the machine has rebooted.
    Status status = storedStatus();
    EXPECT_EQ(status, Status::REBOOTING);
    int code = 0;
    EXPECT_FALSE(checkStartStatus(status, code));
    EXPECT_EQ(code, 1);
}

TEST_F(Reboot, TelinitProblemsAreOnlyWarnings) {
    struct Case {
        std::string script;  // empty: the stub, failing
        std::string warning;
        mode_t mode = 0755;
    } cases[] = {
        {"", "WARNING: failed re-execing init (exit code 1)\n"},
        {"#!/bin/sh\nkill -9 $$\n", "WARNING: telinit was interrupted\n"},
        {"#!/bin/sh\nexit 0\n", "WARNING: failed to call telinit\n", 0644},
    };
    for (const Case& c : cases) {
        writeHostFile(m_sOut + "calls.log", "");
        ASSERT_TRUE(writeStatus(Status::READY, false));
        if (c.script.empty()) {
            writeHostFile(m_sOut + "telinit.exit", "1\n");
        } else {
            writeHostFile(kTelinit, c.script, c.mode);
        }
        EXPECT_EQ(rebootSystem(), 0);
        EXPECT_NE(log().find(c.warning), std::string::npos) << log();
        std::vector<std::string> lines = calls(c.script.empty() ? 2 : 1);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), kBothCalls[1]);
        EXPECT_EQ(storedStatus(), Status::REBOOTING);
    }
}

TEST_F(Reboot, ShutdownThatCannotStartIsFatal) {
    ASSERT_EQ(chmod(kShutdown.c_str(), 0644), 0);
    EXPECT_EQ(rebootSystem(), 2);
    EXPECT_NE(log().find("FATAL: failed to start reboot process\n"), std::string::npos) << log();
    EXPECT_EQ(calls(1), std::vector<std::string>{"telinit u"});
    EXPECT_EQ(storedStatus(), Status::READY);
}

TEST_F(Reboot, EndOfTheProcessTurnsTheRebootRequestIntoTheExitCode) {
    // A reboot that was started is a success: a recorded signal is not raised.
    EXPECT_EXIT(
        {
            initSignals();
            raise(SIGTERM);
            _exit(finishProcess(0, true, false));
        },
        ::testing::ExitedWithCode(0), "INFO: --- EXIT OK ---\n$");
    EXPECT_EQ(storedStatus(), Status::REBOOTING);

    ASSERT_TRUE(writeStatus(Status::READY, false));
    ASSERT_EQ(chmod(kShutdown.c_str(), 0644), 0);
    EXPECT_EXIT(_exit(finishProcess(0, true, false)), ::testing::ExitedWithCode(2),
                "FATAL: failed to start reboot process\nINFO: --- EXIT FATAL ---\n$");
    EXPECT_EXIT(
        {
            initSignals();
            raise(SIGINT);
            finishProcess(0, true, true);
            _exit(98);
        },
        ::testing::KilledBySignal(SIGINT),
        "FATAL: failed to start reboot process\nERROR: terminated by signal #2: Interrupt\n$");
    EXPECT_EQ(storedStatus(), Status::READY);
}

}  // namespace
