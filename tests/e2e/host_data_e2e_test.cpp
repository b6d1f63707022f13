// tellivar-host end to end against the stand-in feed: history with CSV and
// chart, the update stream, live quotes into a pipe, rejected symbols,
// credentials and Ctrl-C.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "run_program.h"

namespace {

constexpr double kBound = 60;  // seconds for any one run

RunResult host(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return runProgram(HOST_PROGRAM, args, kBound, env);
}

struct CsvBar {
    std::string time;  // "YYYY-MM-DD HH:MM:SS" sorts like the time itself
    double open, high, low, close;
};

std::vector<CsvBar> readCsv(const std::string& path) {
    const std::vector<std::string> lines = linesOf(readWhole(path));
    EXPECT_FALSE(lines.empty()) << path;
    if (lines.empty()) return {};
    EXPECT_EQ(lines.front(), "time,open,high,low,close,volume");
    const std::regex row(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d),([-0-9.e]+),([-0-9.e]+),([-0-9.e]+),([-0-9.e]+),([-0-9.e]*))");
    std::vector<CsvBar> bars;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(lines[i], m, row)) << "row " << i << ": " << lines[i];
        if (m.empty()) continue;
        bars.push_back({m[1], std::stod(m[2]), std::stod(m[3]), std::stod(m[4]), std::stod(m[5])});
    }
    return bars;
}

void expectSaneBars(const std::vector<CsvBar>& bars) {
    for (const CsvBar& bar : bars) {
        EXPECT_LE(bar.low, bar.high) << bar.time;
        EXPECT_LE(bar.low, std::min(bar.open, bar.close)) << bar.time;
        EXPECT_GE(bar.high, std::max(bar.open, bar.close)) << bar.time;
    }
}

class HostData : public ::testing::Test {
protected:
    void SetUp() override { dir_ = makeTempDir(); }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(HostData, ShouldWriteHistoryOldestFirstAndNewestFirstWithReverse) {
    const RunResult forward = host({"history", "ACME", "--interval", "D1", "--count", "25", "--csv", file("f.csv")});
    ASSERT_TRUE(forward.finished);
    ASSERT_EQ(forward.exitCode, 0) << forward.err;
    const RunResult reverse =
        host({"history", "ACME", "--interval", "D1", "--count", "25", "--reverse", "--csv", file("r.csv")});
    ASSERT_TRUE(reverse.finished);
    ASSERT_EQ(reverse.exitCode, 0) << reverse.err;

    const auto ascending = readCsv(file("f.csv"));
    const auto descending = readCsv(file("r.csv"));
    ASSERT_GE(ascending.size(), 20u);
    ASSERT_LE(ascending.size(), 26u);
    EXPECT_EQ(descending.size(), ascending.size());
    for (std::size_t i = 1; i < ascending.size(); ++i) EXPECT_LT(ascending[i - 1].time, ascending[i].time);
    for (std::size_t i = 1; i < descending.size(); ++i) EXPECT_GT(descending[i - 1].time, descending[i].time);
    EXPECT_EQ(ascending.front().time, descending.back().time);
    expectSaneBars(ascending);
    // The table on stdout has the same bars.
    EXPECT_NE(forward.out.find(ascending.back().time), std::string::npos);
    EXPECT_NE(forward.err.find("plug-in info: TELLIVAR: Query is - ACME,D1"), std::string::npos) << forward.err;
}

TEST_F(HostData, ShouldEndHistoryAtTheRequestedTime) {
    const RunResult run = host({"history", "ACME", "--interval", "60", "--count", "10", "--end", "2024-03-05T15:00",
                                "--csv", file("end.csv")});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto bars = readCsv(file("end.csv"));
    ASSERT_FALSE(bars.empty());
    EXPECT_LE(bars.back().time, "2024-03-05 15:00:00");
    EXPECT_GE(bars.back().time, "2024-03-04 00:00:00") << "the end time reached the feed";
    EXPECT_NE(run.err.find("ACME,60,&EndETime="), std::string::npos) << run.err;
}

TEST_F(HostData, ShouldDrawThePngChartWhenGnuplotIsThere) {
    if (system("command -v gnuplot > /dev/null 2>&1") != 0) GTEST_SKIP() << "gnuplot is not installed";
    const RunResult run = host({"history", "GLOBEX", "--interval", "D1", "--count", "40", "--chart", file("c.png")});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string png = readWhole(file("c.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    // The IHDR chunk holds the width and height, big-endian.
    auto be32 = [&png](std::size_t at) {
        return (static_cast<unsigned char>(png[at]) << 24) | (static_cast<unsigned char>(png[at + 1]) << 16) |
               (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
    };
    EXPECT_EQ(be32(16), 1000u);
    EXPECT_EQ(be32(20), 600u);
    EXPECT_GT(png.size(), 8000u) << "a chart with 40 candles is more than a blank image";
    EXPECT_LT(png.size(), 2000000u);
}

TEST_F(HostData, ShouldStillWriteTheCsvWithoutGnuplot) {
    const RunResult run = host({"history", "ACME", "--count", "5", "--csv", file("n.csv"), "--chart", file("n.png")},
                               {"PATH=/nonexistent"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("gnuplot was not found on PATH"), std::string::npos) << run.err;
    EXPECT_FALSE(readCsv(file("n.csv")).empty());
    struct stat info {};
    EXPECT_NE(stat(file("n.png").c_str(), &info), 0);
}

TEST_F(HostData, ShouldPrintOneLinePerUpdateOfTheNewestBar) {
    const RunResult run = host({"stream", "ACME", "--interval", "1", "--seconds", "3"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = linesOf(run.out);
    ASSERT_GE(lines.size(), 2u) << run.err;
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:00 ACME O=\S+ H=\S+ L=\S+ C=\S+ V=\S+( first-bar| new-bar)?)");
    for (const auto& text : lines) EXPECT_TRUE(std::regex_match(text, line)) << text;
    EXPECT_NE(lines.front().find("first-bar"), std::string::npos);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const bool sameBar = lines[i].substr(0, 19) == lines[i - 1].substr(0, 19);
        EXPECT_EQ(lines[i].find("new-bar") != std::string::npos, !sameBar) << lines[i];
    }
}

TEST_F(HostData, ShouldPrintPlainQuoteLinesIntoAPipe) {
    const RunResult run = host({"quotes", "ACME", "GLOBEX", "--fields", "Trade,Bid,Ask", "--seconds", "3"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::regex line(R"(\d\d:\d\d:\d\d (ACME|GLOBEX) Trade=[-0-9.]+\*? Bid=[-0-9.]+\*? Ask=[-0-9.]+\*?)");
    bool seen[2] = {false, false};
    for (const auto& text : linesOf(run.out)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(text, m, line)) << text;
        if (!m.empty()) seen[m[1] == "ACME" ? 0 : 1] = true;
    }
    EXPECT_TRUE(seen[0] && seen[1]) << run.out;
    EXPECT_EQ(run.out.find("\x1b["), std::string::npos) << "no terminal codes into a pipe";
}

TEST_F(HostData, ShouldEndCleanlyWhenThePipeReaderGoesAway) {
    // No --seconds: only the closed pipe can end the run.
    const RunResult run = runProgram(
        "/bin/bash", {"-c", "\"$0\" quotes ACME 2>/dev/null | head -n 2; exit ${PIPESTATUS[0]}", HOST_PROGRAM}, kBound);
    ASSERT_TRUE(run.finished) << "the host noticed the closed pipe";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(linesOf(run.out).size(), 2u) << run.out;
}

TEST_F(HostData, ShouldReportRejectedSymbolsWithExitCodeFour) {
    const std::vector<std::vector<std::string>> runs = {
        {"quotes", "ACME", "not a symbol", "--seconds", "1"},
        {"history", "acme", "--count", "5"},
        {"stream", "acme", "--seconds", "1"}};
    for (const auto& args : runs) {
        const RunResult run = host(args);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 4) << args[0] << ": " << run.err;
        EXPECT_NE(run.err.find("rejected: the plug-in returned no"), std::string::npos) << run.err;
    }
}

TEST_F(HostData, ShouldGiveUpOnAStalledHistoryAtTheTimeout) {
    const RunResult run = host({"history", "ACME", "--count", "5", "--timeout", "2"}, {"SIMFEED_HISTORY=stall"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 5) << run.err;
    EXPECT_NE(run.err.find("history of 'ACME' not complete within 2 s"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("plug-in status: LogOff"), std::string::npos) << "the factory was still deleted";
}

TEST_F(HostData, ShouldShowThePluginsReasonWhenAHistoryFails) {
    const RunResult run = host({"history", "ACME", "--count", "5"}, {"SIMFEED_HISTORY=fail"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 4) << run.err;
    const auto reason = run.err.find("plug-in error: TELLIVAR: Exception - Recordset initialization failure");
    const auto verdict = run.err.find("symbol 'ACME' rejected");
    ASSERT_NE(reason, std::string::npos) << run.err;
    EXPECT_LT(reason, verdict) << "the plug-in's reason comes first";
}

TEST_F(HostData, ShouldShowTheOnlineFlagAsTheConnectionDropsAndReturns) {
    const RunResult run = host({"quotes", "ACME", "--seconds", "4"}, {"SIMFEED_DROP_EVERY=1", "SIMFEED_RECONNECT_MS=200"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto offline = run.err.find("online: Tellivar is offline");
    ASSERT_NE(offline, std::string::npos) << run.err;
    EXPECT_NE(run.err.find("online: Tellivar is online", offline), std::string::npos) << run.err;
    EXPECT_FALSE(run.out.empty());
}

TEST_F(HostData, ShouldShowStatusReportsAndOnlineFlagWhenConnecting) {
    const RunResult run = host({"info", "--connect"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("plug-in status: Connect (code 2)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("plug-in status: Logon (code 0)"), std::string::npos);
    EXPECT_NE(run.err.find("online: Tellivar is online"), std::string::npos);
    EXPECT_NE(run.out.find("Connected:        as 'demo'"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find("tellivar_setup ENTER"), std::string::npos) << "ACE debug records hidden";
    const RunResult verbose = host({"--verbose", "info", "--connect"});
    ASSERT_TRUE(verbose.finished);
    EXPECT_NE(verbose.err.find("tellivar_setup ENTER"), std::string::npos) << verbose.err;
}

TEST_F(HostData, ShouldFailToConnectWithWrongPassword) {
    const RunResult run = host({"--password", "wrong", "--connect-timeout", "3", "quotes", "ACME"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 6) << run.err;
    EXPECT_NE(run.err.find("not online within 3 s as user 'demo'"), std::string::npos) << run.err;
}

TEST_F(HostData, ShouldStopCleanlyOnCtrlC) {
    const RunResult quotes = runProgram(HOST_PROGRAM, {"quotes", "ACME"}, kBound, {}, 2.0);
    ASSERT_TRUE(quotes.finished) << "Ctrl-C ends an open-ended table";
    EXPECT_EQ(quotes.exitCode, 0) << quotes.err;
    EXPECT_FALSE(quotes.out.empty());
    const RunResult stream = runProgram(HOST_PROGRAM, {"stream", "ACME"}, kBound, {}, 2.0);
    ASSERT_TRUE(stream.finished);
    EXPECT_EQ(stream.exitCode, 0) << stream.err;
}

}  // namespace
