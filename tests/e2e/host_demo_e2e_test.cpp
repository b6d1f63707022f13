// The guided demo, as the README runs it, finishes within a minute.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "run_program.h"

namespace {

// A Wednesday, 15 s before a minute ends: the quotes run their 8 s, and the
// stream that follows sees the next minute's bar open.
const std::vector<std::string> kWeekday = {"SIMFEED_START=2024-03-06T14:30:45"};

// 60 bars asked, 60 written, the 50 hidden ones
// named as older, above the newest 10.
void expectBarsCountedRight(const RunResult& run, const std::string& dir) {
    EXPECT_NE(run.err.find("waiting for 60 D1 bars"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("wrote 60 bars to"), std::string::npos) << run.err;
    EXPECT_EQ(linesOf(readWhole(dir + "/tellivar-demo-history.csv")).size(), 61u) << "a header and 60 bars";
    const auto table = run.out.find("Time (UTC)");
    ASSERT_NE(table, std::string::npos) << run.out;
    const auto lines = linesOf(run.out.substr(table));
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[1], "(50 older bars not shown)");
    EXPECT_EQ(lines[11].substr(0, 10), "2024-03-06") << "the newest bar last";
}

// The update stream shows a new bar open, with the volume
// of its first trade.
void expectANewBarWithItsFirstTradesVolume(const RunResult& run) {
    std::smatch match;
    const std::regex newBar(R"(\S+ ACME O=\S+ H=\S+ L=\S+ C=\S+ V=(\d+) new-bar)");
    ASSERT_TRUE(std::regex_search(run.out, match, newBar)) << run.out;
    EXPECT_GT(std::stol(match[1]), 0) << match[0];
}

TEST(HostDemo, ShouldRunEveryStepAndShutDownCleanly) {
    const std::string dir = makeTempDir();
    const RunResult run = runProgram(HOST_PROGRAM, {"demo", "--out-dir", dir}, 55, kWeekday);
    ASSERT_TRUE(run.finished) << "demo did not finish: " << run.out << run.err;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // The live steps' headings say what they wait for.
    for (const char* step : {"== 1/6 Loading", "== 2/6 Connecting",
                             "== 3/6 Live quotes of ACME, GLOBEX, INITECH for 8 s, then until second 53 of the feed's "
                             "minute",
                             "== 4/6 Daily history",
                             "== 5/6 Update stream of ACME at 1 minute for 6 s, then until a new bar opens",
                             "== 6/6 Shutting down", "demo finished"}) {
        EXPECT_NE(run.out.find(step), std::string::npos) << step << "\n" << run.out;
    }
    EXPECT_NE(run.err.find("plug-in status: Logon (code 0)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("online: Tellivar is online"), std::string::npos);
    const auto teardown = run.err.find("deleting 5 supplier(s)");
    const auto interface = run.err.find("deleting the data interface");
    const auto factory = run.err.find("deleting the factory");
    ASSERT_NE(teardown, std::string::npos) << run.err;
    EXPECT_LT(teardown, interface);
    EXPECT_LT(interface, factory);
    EXPECT_NE(run.err.find("shut down cleanly"), std::string::npos);
    struct stat info {};
    EXPECT_EQ(stat((dir + "/tellivar-demo-history.csv").c_str(), &info), 0);
    expectBarsCountedRight(run, dir);
    expectANewBarWithItsFirstTradesVolume(run);
    if (system("command -v gnuplot > /dev/null 2>&1") == 0) {
        EXPECT_EQ(stat((dir + "/tellivar-demo-history.png").c_str(), &info), 0);
        EXPECT_GT(info.st_size, 8000);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}

// --no-wait makes a quick tour: with the feed's clock at the start of a
// minute, waiting for second 53 and for a new bar would outlast the bound.
TEST(HostDemo, ShouldMakeAQuickTourWithNoWait) {
    const std::string dir = makeTempDir();
    const RunResult run =
        runProgram(HOST_PROGRAM, {"demo", "--out-dir", dir, "--quote-seconds", "1", "--stream-seconds", "1", "--no-wait"},
                   25, {"SIMFEED_START=2024-03-06T14:30:00"});
    ASSERT_TRUE(run.finished) << "the quick tour waited for the feed's clock: " << run.out;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("== 3/6 Live quotes of ACME, GLOBEX, INITECH for 1 s ==\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("== 5/6 Update stream of ACME at 1 minute for 1 s ==\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("demo finished"), std::string::npos);
    std::system(("rm -rf '" + dir + "'").c_str());
}

// A closed pipe ends the demo quietly with 0.
TEST(HostDemo, ShouldEndQuietlyWhenTheReaderOfStdoutGoesAway) {
    const std::string dir = makeTempDir();
    const RunResult run = runProgram(
        "/bin/bash", {"-c", R"("$0" demo --out-dir "$1" | head -n 1; exit ${PIPESTATUS[0]})", HOST_PROGRAM, dir}, 55);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("shut down cleanly"), std::string::npos) << run.err;
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
