// tellivar-host end to end against the stand-in feed: history with CSV and
// chart, the update stream, live quotes into a pipe, rejected symbols,
// credentials and Ctrl-C.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <regex>

#include "run_program.h"

namespace {

constexpr double kBound = 60;  // seconds for any one run

RunResult host(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return runProgram(HOST_PROGRAM, args, kBound, env);
}

// Runs `redirection` in bash around the host: "$0" is the host, "$@" `args`,
// and the exit code is the host's.
RunResult hostIn(const std::string& redirection, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}) {
    std::vector<std::string> shellArgs{"-c", redirection + "; exit ${PIPESTATUS[0]}", HOST_PROGRAM};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return runProgram("/bin/bash", shellArgs, kBound, env);
}

// Day of the week of a CSV time, 0 Monday to 6 Sunday.
int weekdayOf(const std::string& isoTime) {
    std::tm tm{};
    strptime(isoTime.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return (tm.tm_wday + 6) % 7;
}

struct CsvBar {
    std::string time;  // "YYYY-MM-DDTHH:MM:SSZ" sorts like the time itself
    double open, high, low, close;
};

std::vector<CsvBar> readCsv(const std::string& path) {
    const std::vector<std::string> lines = linesOf(readWhole(path));
    EXPECT_FALSE(lines.empty()) << path;
    if (lines.empty()) return {};
    EXPECT_EQ(lines.front(), "time,open,high,low,close,volume");
    // Prices with the stand-in's two decimals, whole ones included; volumes whole.
    const std::regex row(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ),(\d+\.\d\d),(\d+\.\d\d),(\d+\.\d\d),(\d+\.\d\d),([0-9]*))");
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
    ASSERT_EQ(ascending.size(), 25u);
    EXPECT_EQ(descending.size(), ascending.size());
    for (std::size_t i = 1; i < ascending.size(); ++i) EXPECT_LT(ascending[i - 1].time, ascending[i].time);
    for (std::size_t i = 1; i < descending.size(); ++i) EXPECT_GT(descending[i - 1].time, descending[i].time);
    EXPECT_EQ(ascending.front().time, descending.back().time);
    expectSaneBars(ascending);
    // The table on stdout has the same bars.
    EXPECT_NE(forward.out.find(ascending.back().time.substr(0, 10)), std::string::npos);
    EXPECT_NE(forward.err.find("plug-in info: TELLIVAR: Query is - ACME,D1"), std::string::npos) << forward.err;
}

TEST_F(HostData, ShouldEndHistoryAtTheRequestedTime) {
    const RunResult run = host({"history", "ACME", "--interval", "60", "--count", "10", "--end", "2024-03-05T15:00",
                                "--csv", file("end.csv")});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto bars = readCsv(file("end.csv"));
    ASSERT_FALSE(bars.empty());
    EXPECT_LE(bars.back().time, "2024-03-05T15:00:00Z");
    EXPECT_GE(bars.back().time, "2024-03-04T00:00:00Z") << "the end time reached the feed";
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
    const RunResult run = host({"stream", "ACME", "--interval", "1", "--seconds", "3"}, {"SIMFEED_MARKET=24x7"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = linesOf(run.out);
    ASSERT_GE(lines.size(), 2u) << run.err;
    const std::regex line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:00Z ACME O=\d+\.\d\d H=\d+\.\d\d L=\d+\.\d\d C=\d+\.\d\d V=\d+( first-bar| new-bar)?)");
    for (const auto& text : lines) EXPECT_TRUE(std::regex_match(text, line)) << text;
    EXPECT_NE(lines.front().find("first-bar"), std::string::npos);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const bool sameBar = lines[i].substr(0, 20) == lines[i - 1].substr(0, 20);
        EXPECT_EQ(lines[i].find("new-bar") != std::string::npos, !sameBar) << lines[i];
    }
}

TEST_F(HostData, ShouldPrintPlainQuoteLinesIntoAPipe) {
    // Symbols separated by a comma, as --fields and demo --symbols take them.
    const RunResult run = host({"quotes", "ACME,GLOBEX", "--fields", "Trade,Bid,Ask,TradeTime", "--seconds", "3"},
                               {"SIMFEED_MARKET=24x7"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (ACME|GLOBEX) Trade=\d+\.\d\d\*? Bid=\d+\.\d\d\*? )"
                          R"(Ask=\d+\.\d\d\*? TradeTime=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\*?)");
    bool seen[2] = {false, false};
    for (const auto& text : linesOf(run.out)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(text, m, line)) << text;
        if (!m.empty()) seen[m[1] == "ACME" ? 0 : 1] = true;
    }
    EXPECT_TRUE(seen[0] && seen[1]) << run.out;
    EXPECT_EQ(run.out.find("\x1b["), std::string::npos) << "no terminal codes into a pipe";
}

// The plug-in's reason, whichever channel it used, is said once, in the error.
TEST_F(HostData, ShouldReportRefusedSymbolsWithExitCodeFourTheReasonOnceAndAHint) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"quotes", "ACME", "NOT-A-SYMBOL!", "--seconds", "1"}, "no live quotes of 'NOT-A-SYMBOL!'"},
        {{"quotes", "acme", "--seconds", "1"}, "no live quotes of 'acme'"},
        {{"history", "acme", "--count", "5"}, "no history at D1 of 'acme'"},
        {{"stream", "acme", "--seconds", "1"}, "no update stream at 1 of 'acme'"},
        {{"stream", "1ACME", "--seconds", "1"}, "no update stream at 1 of '1ACME'"}};
    for (const auto& [args, what] : runs) {
        const RunResult run = host(args);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 4) << args[0] << ": " << run.err;
        EXPECT_NE(run.err.find(what + ": the plug-in made no supplier (plug-in"), std::string::npos) << run.err;
        const auto open = run.err.find("(plug-in");
        const auto colon = run.err.find(": ", open);
        const std::string reason = run.err.substr(colon + 2, run.err.find(')', colon) - colon - 2);
        EXPECT_EQ(run.err.find(reason), run.err.rfind(reason)) << "said once: " << reason << "\n" << run.err;
        EXPECT_EQ(run.err.find("gave no reason"), std::string::npos) << run.err;
        if (args[1] == "acme") {
            EXPECT_NE(run.err.find("did you mean 'ACME'?"), std::string::npos) << run.err;
        }
    }
}

// With -v, every ACE record is a line of its own, also those the plug-in
// writes without a line feed.
TEST_F(HostData, ShouldEndEveryAceRecordWithALineFeedWhenVerbose) {
    const RunResult run = host({"-v", "quotes", "ACME", "--seconds", "2"}, {"SIMFEED_MARKET=24x7"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::size_t records = 0;
    for (const std::string& line : linesOf(run.err)) {
        if (line.find("processing finished") == std::string::npos) continue;
        ++records;
        EXPECT_EQ(line, "date processing finished") << "a record ran into the next one";
    }
    EXPECT_GT(records, 0u) << run.err;
}

// A text field named alone gets a remark in the singular.
TEST_F(HostData, ShouldRemarkOnATextFieldInPlainWords) {
    const RunResult run = host({"quotes", "ACME", "--fields", "Trade,Title", "--seconds", "1"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("host: Title holds text, which the plug-in's quotes cannot deliver"), std::string::npos)
        << run.err;
}

TEST_F(HostData, ShouldGiveUpOnAStalledHistoryAtTheTimeout) {
    const RunResult run = host({"history", "ACME", "--count", "5", "--timeout", "2"}, {"SIMFEED_HISTORY=stall"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 5) << run.err;
    EXPECT_NE(run.err.find("history of 'ACME' not complete within 2 s"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("plug-in status: LogOff"), std::string::npos) << "the factory was still deleted";
}

// A failed initialisation is not a rejected symbol.
TEST_F(HostData, ShouldSayWhatFailedWhenTheFeedFailsAHistory) {
    const RunResult run = host({"history", "ACME", "--count", "5"}, {"SIMFEED_HISTORY=fail"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 4) << run.err;
    EXPECT_NE(run.err.find("tellivar-host: error: no history at D1 of 'ACME': the plug-in made no supplier (plug-in "
                           "error: TELLIVAR: Exception - Recordset initialization failure)"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("rejected"), std::string::npos) << run.err;
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

// A rejected logon ends the wait at once, with the reason.
TEST_F(HostData, ShouldEndTheWaitAtOnceWhenTheLogonIsRejected) {
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = host({"--password", "wrong", "quotes", "ACME"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 6) << run.err;
    EXPECT_LT(seconds, 5) << "not the 15 s of --connect-timeout";
    EXPECT_NE(run.err.find("tellivar-host: error: logon as user 'demo' failed: the feed logged the plug-in off "
                           "(plug-in: Logon rejected: user name or password not accepted)"),
              std::string::npos)
        << run.err;
}

TEST_F(HostData, ShouldGiveUpWhenNotOnlineWithinTheConnectTimeout) {
    const RunResult run = host({"--connect-timeout", "0.5", "quotes", "ACME"}, {"SIMFEED_CONNECT_MS=3000"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 6) << run.err;
    EXPECT_NE(run.err.find("not online within 0.5 s as user 'demo'"), std::string::npos) << run.err;
}

TEST_F(HostData, ShouldTakeThePasswordFromTheEnvironment) {
    const RunResult good = host({"info", "--connect"}, {"TELLIVAR_PASSWORD=demo"});
    ASSERT_TRUE(good.finished);
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_NE(good.out.find("as 'demo' (password set)"), std::string::npos) << "no length shown: " << good.out;
    const RunResult bad = host({"info", "--connect"}, {"TELLIVAR_PASSWORD=wrong"});
    ASSERT_TRUE(bad.finished);
    EXPECT_EQ(bad.exitCode, 6) << bad.err;
}

// A closed pipe ends each command quietly with 0; the
// files asked for are written all the same.
TEST_F(HostData, ShouldEndQuietlyWhenTheReaderOfStdoutGoesAway) {
    const std::vector<std::vector<std::string>> commands = {
        {"info"},
        {"quotes", "ACME"},
        {"stream", "ACME"},
        {"history", "ACME", "--count", "2000", "--csv", file("p.csv")}};
    for (const auto& args : commands) {
        const RunResult run = hostIn(R"("$0" "$@" | head -n 1)", args, {"SIMFEED_MARKET=24x7"});
        ASSERT_TRUE(run.finished) << args[0] << ": only the closed pipe can end it";
        EXPECT_EQ(run.exitCode, 0) << args[0] << ": " << run.err;
        EXPECT_EQ(linesOf(run.out).size(), 1u) << run.out;
        EXPECT_EQ(run.err.find("terminate"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("error"), std::string::npos) << run.err;
    }
    EXPECT_EQ(readCsv(file("p.csv")).size(), 2000u) << "the CSV is written whatever became of stdout";
}

// Any other write error is reported with its reason.
TEST_F(HostData, ShouldReportAFullStdoutWithItsReasonAndStillWriteTheFiles) {
    const std::vector<std::vector<std::string>> commands = {
        {"info"}, {"stream", "ACME", "--seconds", "2"}, {"history", "ACME", "--count", "5", "--csv", file("f.csv")}};
    for (const auto& args : commands) {
        const RunResult run = hostIn(R"("$0" "$@" > /dev/full)", args, {"SIMFEED_MARKET=24x7"});
        ASSERT_TRUE(run.finished) << args[0];
        EXPECT_EQ(run.exitCode, 1) << args[0] << ": " << run.err;
        EXPECT_NE(run.err.find("tellivar-host: error: cannot write to standard output: No space left on device"),
                  std::string::npos)
            << run.err;
    }
    EXPECT_EQ(readCsv(file("f.csv")).size(), 5u);
}

// serve's address goes through the same writer as the data: a stdout that
// refuses it stops the server, told in the host's words; line-buffered, as
// on a terminal, so that the very first line meets the failure.
TEST_F(HostData, ShouldStopServingWhenStdoutRefusesTheAddress) {
    // stdbuf preloads its library ahead of AddressSanitizer's runtime, which
    // the sanitizer refuses unless told not to check the order.
    const std::string stdbuf = R"(ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" stdbuf -oL "$0" "$@")";
    const std::vector<std::pair<std::string, std::string>> runs = {{stdbuf + " > /dev/full", "No space left on device"},
                                                                   {stdbuf + " >&-", "Bad file descriptor"}};
    for (const auto& [redirection, reason] : runs) {
        const RunResult run = hostIn(redirection, {"serve", "--port", "0"}, {"SIMFEED_MARKET=24x7"});
        ASSERT_TRUE(run.finished) << redirection << ": only the failed write can end it";
        EXPECT_EQ(run.exitCode, 1) << redirection << ": " << run.err;
        EXPECT_NE(run.err.find("tellivar-host: error: cannot write to standard output: " + reason), std::string::npos)
            << run.err;
    }
}

// A closed or full stderr aborts nothing.
TEST_F(HostData, ShouldWorkOnWhenStderrIsClosedOrFull) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
        {R"("$0" "$@" 2>&-)", {"history", "ACME", "--count", "3"}},
        {R"("$0" "$@" 2>/dev/full)", {"history", "ACME", "--count", "3"}},
        {R"("$0" "$@" 2>/dev/full)", {"quotes", "ACME", "--seconds", "2"}},
        {R"("$0" "$@" 2>&-)", {"stream", "ACME", "--seconds", "2"}},
        {R"("$0" "$@" 2>/dev/full)", {"history", "ACME", "--interval", "bad"}}};
    for (const auto& [redirection, args] : runs) {
        const RunResult run = hostIn(redirection, args, {"SIMFEED_MARKET=24x7"});
        ASSERT_TRUE(run.finished) << redirection;
        EXPECT_EQ(run.exitCode, args[2] == "--interval" ? 2 : 0) << redirection << " " << args[0];
        if (args[2] != "--interval") {
            EXPECT_FALSE(run.out.empty()) << redirection << " " << args[0];
        }
    }
}

// N bars asked, N bars shown and written, the forming one marked.
TEST_F(HostData, ShouldShowAndWriteExactlyTheBarsAskedFor) {
    const std::vector<std::vector<std::string>> runs = {
        {"--interval", "W1", "--count", "5"},
        {"--interval", "W1", "--count", "5", "--reverse"},
        {"--interval", "M1", "--count", "1"},
        {"--interval", "D1", "--count", "010"},  // decimal, not octal
        {"--interval", "60", "--count", "12", "--end", "2024-03-05T15:00"}};
    for (const auto& options : runs) {
        std::vector<std::string> args{"history", "ACME", "--csv", file("n.csv")};
        args.insert(args.end(), options.begin(), options.end());
        const RunResult run = host(args);
        ASSERT_TRUE(run.finished);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::size_t count = std::stoul(options[3]);
        EXPECT_EQ(readCsv(file("n.csv")).size(), count) << options[1];
        const auto lines = linesOf(run.out);
        EXPECT_EQ(lines.size(), count + 1) << "a header and the bars: " << run.out;
        EXPECT_NE(run.err.find("wrote " + std::to_string(count) + " bars to"), std::string::npos) << run.err;
        // The bar still forming is the newest; a past end time has none.
        const bool reverse = options.size() > 4 && options[4] == "--reverse";
        const bool past = options.size() > 4 && options[4] == "--end";
        const std::string& newest = reverse ? lines.at(1) : lines.back();
        EXPECT_EQ(newest.find("  forming") != std::string::npos, !past) << run.out;
        EXPECT_EQ(run.out.find("forming"), run.out.rfind("forming")) << "one at most";
    }
}

// ISO-8601 end times, UTC labels, ISO times with their zone in the CSV.
TEST_F(HostData, ShouldEndHistoryAtIsoTimesAndWriteThemWithTheirZone) {
    for (const char* end : {"2024-03-05T15:00", "2024-03-05T15:00:00", "2024-03-05T15:00:00Z", "2024-03-05T15:00Z"}) {
        const RunResult run = host({"history", "ACME", "--interval", "60", "--count", "3", "--end", end, "--csv",
                                    file("iso.csv")});
        ASSERT_TRUE(run.finished);
        ASSERT_EQ(run.exitCode, 0) << end << ": " << run.err;
        const auto bars = readCsv(file("iso.csv"));
        ASSERT_EQ(bars.size(), 3u) << end;
        EXPECT_EQ(bars.back().time, "2024-03-05T15:00:00Z") << "the newest bar holds the end time";
        EXPECT_EQ(run.out.rfind("Time (UTC)", 0), 0u) << run.out;
    }
}

// The market trades Monday to Friday unless told it is 24/7.
TEST_F(HostData, ShouldTradeMondayToFridayUnlessSwitchedTo24x7) {
    struct Case {
        std::string interval;
        std::vector<std::string> env;
        int count;
        bool weekends;    // bars on Saturdays and Sundays
        bool onMondays;   // every bar starts on a Monday
    };
    const std::vector<Case> cases = {{"D1", {}, 15, false, false},
                                     {"D5", {}, 6, false, true},
                                     {"60", {}, 60, false, false},
                                     {"D1", {"SIMFEED_MARKET=24x7"}, 15, true, false}};
    for (const Case& c : cases) {
        const RunResult run = host({"history", "ACME", "--interval", c.interval, "--count", std::to_string(c.count),
                                    "--end", "2024-03-04T02:00", "--csv", file("week.csv")},
                                   c.env);
        ASSERT_TRUE(run.finished);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto bars = readCsv(file("week.csv"));
        ASSERT_EQ(bars.size(), static_cast<std::size_t>(c.count)) << c.interval;
        bool weekend = false, allMondays = true;
        for (const CsvBar& bar : bars) {
            weekend = weekend || weekdayOf(bar.time) >= 5;
            allMondays = allMondays && weekdayOf(bar.time) == 0;
        }
        EXPECT_EQ(weekend, c.weekends) << c.interval << " " << bars.front().time << " to " << bars.back().time;
        EXPECT_EQ(allMondays, c.onMondays) << c.interval;
        expectSaneBars(bars);
    }
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
