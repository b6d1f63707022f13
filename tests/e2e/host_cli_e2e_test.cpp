// tellivar-host end to end, for what needs no feed connection: `info` and the
// handling of bad input (messages and exit codes).
#include <gtest/gtest.h>

#include "run_program.h"

namespace {

constexpr double kBound = 30;  // seconds; none of these runs connects

RunResult host(const std::vector<std::string>& args) { return runProgram(HOST_PROGRAM, args, kBound); }

TEST(HostInfo, ShouldShowNameAbilitiesIntervalTableAndPanelControls) {
    const RunResult run = host({"info"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Display name:     Tellivar"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Ability letters:  MWDm"), std::string::npos);
    EXPECT_NE(run.out.find("Capability flags: 1=yes 2=yes 3=yes 4=yes 5=yes"), std::string::npos);
    EXPECT_NE(run.out.find("(1,1) (2,2) (3,3) (5,5) (10,10) (15,15) (30,30) (60,60)"), std::string::npos);
    EXPECT_NE(run.out.find("Online:           no"), std::string::npos);
    // The panel is read control by control, inputs marked as setting keys.
    EXPECT_NE(run.out.find("wxPanel 'Tellivar', 5 controls"), std::string::npos);
    EXPECT_NE(run.out.find("ovkTextCtrl    Username               value \"login name\" size 200,-1   <- input"),
              std::string::npos);
    EXPECT_NE(run.out.find("Passwordfield  Password"), std::string::npos);
    EXPECT_NE(run.out.find("label \"user name:\""), std::string::npos);
    EXPECT_EQ(run.out.find("<object"), std::string::npos) << "the XRC text is not dumped as it is";
}

TEST(HostInfo, ShouldLoadThePluginGivenExplicitly) {
    const RunResult run = host({"--plugin", PLUGIN_PATH, "info"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Display name:     Tellivar"), std::string::npos);
}

TEST(HostBadInput, ShouldRejectUnknownCommandWithTheCommandList) {
    const RunResult run = host({"--verbose", "chart", "X"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("unknown command 'chart'; commands are: info, quotes, history, stream, demo"),
              std::string::npos)
        << run.err;
}

TEST(HostBadInput, ShouldRejectUnknownOptionAndMissingCommand) {
    RunResult run = host({"history", "X", "--bogus"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("--bogus"), std::string::npos) << run.err;
    run = host({});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("a command is required: info, quotes, history, stream, demo or serve"), std::string::npos)
        << run.err;
}

// Each command's help lists the global options too: errors about them point there.
TEST(HostBadInput, ShouldShowHelpOfEachCommandWithTheGlobalOptions) {
    for (const char* command : {"info", "quotes", "history", "stream", "demo", "serve"}) {
        const RunResult run = host({command, "--help"});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_NE(run.out.find("Usage"), std::string::npos) << command << ": " << run.out;
        const auto globals = run.out.find("Global options");
        ASSERT_NE(globals, std::string::npos) << command << ": " << run.out;
        for (const char* option : {"--connect-timeout", "--plugin", "--feed-library", "--user", "--verbose"}) {
            EXPECT_NE(run.out.find(option, globals), std::string::npos) << command << " " << option;
        }
    }
}

TEST(HostBadInput, ShouldReportDlerrorForPluginThatDoesNotLoad) {
    const std::string dir = makeTempDir();
    const std::string bogus = dir + "/libnot-a-plugin.so";
    { std::ofstream(bogus) << std::string(4096, 'x'); }  // long enough to be read as ELF
    RunResult run = host({"--plugin", bogus, "info"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("cannot load plug-in '" + bogus + "': "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("invalid ELF header"), std::string::npos) << "dlerror's text is shown: " << run.err;

    run = host({"--plugin", dir + "/missing.so", "quotes", "ACME"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;
    std::remove(bogus.c_str());
    rmdir(dir.c_str());
}

TEST(HostBadInput, ShouldReportLibraryWithoutEntryPoint) {
    // The feed client library loads fine but is no plug-in.
    const RunResult run = host({"--plugin", FEED_LIBRARY_PATH, "info"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("has no init_data_interface"), std::string::npos) << run.err;
}

TEST(HostBadInput, ShouldRejectIntervalsTheTableDoesNotOffer) {
    for (const char* interval : {"7", "m4", "0", "X1", "D0"}) {
        const RunResult run = host({"history", "ACME", "--interval", interval});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2) << interval;
        EXPECT_NE(run.err.find(std::string("interval '") + interval + "' is not offered by the plug-in; use minutes "
                                                                      "1|2|3|5|10|15|30|60"),
                  std::string::npos)
            << run.err;
    }
    const RunResult run = host({"stream", "ACME", "--interval", "45"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2);
}

TEST(HostBadInput, ShouldRejectUnknownFieldListingTheValidNames) {
    for (const char* fields : {"Trade,Bogus", "O", "Close"}) {
        const RunResult run = host({"quotes", "ACME", "--fields", fields});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2) << fields;
        EXPECT_NE(run.err.find("unknown field '"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("valid fields (case-sensitive): TradeTime Open High Low Trade"), std::string::npos);
        EXPECT_NE(run.err.find("BidAskSpread"), std::string::npos);
    }
}

// One style, ranges that read as ranges, syntax errors
// with hints, typo hints; every error a single line.
TEST(HostBadInput, ShouldReportEveryErrorInOneStyleWithRangesAndHints) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--connect-timeout", "0", "info", "--connect"},
         "--connect-timeout: 0 s is out of range; give a number of seconds from 0.1 to 86400"},
        {{"history", "ACME", "--count", "abc"}, "--count: 'abc' is not a whole number; give one from 1 to 100000"},
        {{"history", "ACME", "--count", "0"}, "--count: 0 is out of range; give a whole number from 1 to 100000"},
        {{"history", "ACME", "--interval", "1h"}, "interval '1h' is not written as an interval (did you mean '60'?)"},
        {{"history", "ACME", "--interval", "d1"}, "interval 'd1' is not offered by the plug-in (did you mean 'D1'?)"},
        {{"history", "ACME", "--interval", ""}, "interval '' is not written as an interval"},
        {{"quotes", "ACME", "--fields", "trade"}, "unknown field 'trade' (did you mean 'Trade'?)"},
        {{"quotes", "ACME", "--fields", ""}, "--fields: a field name is empty"},
        {{"quotes", "ACME", "--fields", ","}, "--fields needs a value"},
        {{"histroy", "ACME"}, "unknown command 'histroy' (did you mean 'history'?)"},
        {{"history", "ACME,GLOBEX"}, "'ACME,GLOBEX' is not one symbol"},
        {{"history", "X", "--bogus"}, "unknown option '--bogus'; see 'tellivar-host history --help'"},
        {{"history", "ACME", "5", "--cnt"}, "unexpected argument '5'; unknown option '--cnt'; see 'tellivar-host history"},
        {{"history", "ACME", "--cuont", "5"}, "unknown option '--cuont' (did you mean '--count'?)"},
        {{"history", "ACME", "--count"}, "--count needs a value; see 'tellivar-host history --help'"},
        {{"quotes"}, "'quotes' needs symbols; for example 'tellivar-host quotes ACME'"},
        {{"stream"}, "'stream' needs a symbol; for example 'tellivar-host stream ACME'"},
        {{"--feed-library", "nosuch", "info"}, "--feed-library: 'nosuch' is neither a path"},
        {{"--user", "", "info"}, "--user: the user name is empty"},
        {{"serve", "--port", "70000"}, "--port: 70000 is out of range; give a whole number from 0 to 65535"},
    };
    for (const auto& [args, expected] : cases) {
        const RunResult run = host(args);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2) << args.front();
        EXPECT_EQ(run.err.rfind("tellivar-host: error: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
        EXPECT_EQ(linesOf(run.err).size(), 1u) << run.err;
    }
}

// No silent demo account for an empty user name, and no prompt without a terminal.
TEST(HostBadInput, ShouldRefuseAnEmptyUserFromTheEnvironmentAndAPromptWithoutATerminal) {
    RunResult run = runProgram(HOST_PROGRAM, {"info", "--connect"}, kBound, {"TELLIVAR_USER="});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("TELLIVAR_USER is set but empty"), std::string::npos) << run.err;
    run = host({"--prompt", "info", "--connect"});  // stdin is /dev/null
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("--prompt needs a terminal"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("plug-in status"), std::string::npos) << "nothing connected: " << run.err;
}

// Durations that are not finite, sensible seconds.
TEST(HostBadInput, ShouldRefuseDurationsThatAreNotFiniteSensibleSeconds) {
    const std::vector<std::vector<std::string>> commands = {
        {"quotes", "ACME", "--seconds"}, {"stream", "ACME", "--seconds"}, {"history", "ACME", "--timeout"},
        {"info", "--connect", "--connect-timeout"}, {"demo", "--stream-seconds"}};
    for (const auto& command : commands) {
        for (const char* value : {"1e10", "1e300", "nan", "-5"}) {
            std::vector<std::string> args = command;
            args.push_back(value);
            const RunResult run = host(args);
            ASSERT_TRUE(run.finished);
            EXPECT_EQ(run.exitCode, 2) << command.back() << " " << value;
            EXPECT_NE(run.err.find(command.back() + ": "), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(" from 0.1 to "), std::string::npos) << run.err;
        }
    }
}

// ISO-8601 end times, refused with the reason.
TEST(HostBadInput, ShouldRefuseEndTimesThatDoNotExistOrThatTheFeedCannotHold) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2024-02-30", "February 2024 has 29 days"},
        {"2024-01-01T24:00", "there is no hour 24"},
        {"2024-03-05 15:30", "put a T between the date and the time"},
        {"2024-03-05T15:30+01:00", "times are UTC"},
        {"1969-12-31", "outside the times the feed can represent, 1970-01-01T00:00:00Z to 2106-02-07T06:28:15Z"},
        {"1800-01-01", "outside the times the feed can represent"},
        {"2106-02-07T06:28:16Z", "outside the times the feed can represent"},
    };
    for (const auto& [end, why] : cases) {
        const RunResult run = host({"history", "ACME", "--end", end});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2) << end;
        EXPECT_NE(run.err.find("--end '" + end + "': " + why), std::string::npos) << run.err;
    }
}

// Text fields never carry a value, so no quote would come.
TEST(HostBadInput, ShouldRefuseQuotesOfTextFieldsOnlyAtOnce) {
    const RunResult run = runProgram(HOST_PROGRAM, {"quotes", "ACME", "--fields", "Title,Symbol"}, 10);
    ASSERT_TRUE(run.finished) << "no wait for quotes that cannot come";
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("--fields Title,Symbol: text fields only"), std::string::npos) << run.err;
}

// Output paths are checked before anything connects.
TEST(HostBadInput, ShouldCheckOutputPathsBeforeConnecting) {
    const std::string dir = makeTempDir();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"history", "ACME", "--csv", "/nonexistent/a.csv"}, "cannot write '/nonexistent/a.csv': there is no directory"},
        {{"history", "ACME", "--chart", "/etc/passwd/a.png"}, "cannot write '/etc/passwd/a.png': there is no directory"},
        {{"history", "ACME", "--chart", dir}, "cannot write '" + dir + "': it is a directory"},
        {{"demo", "--out-dir", "/proc"}, "cannot write '/proc/tellivar-demo-history.csv': "},
    };
    for (const auto& [args, expected] : cases) {
        const RunResult run = host(args);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2) << args.back();
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("plug-in status"), std::string::npos) << "nothing connected: " << run.err;
    }
    rmdir(dir.c_str());
}

// The help says that times are UTC.
TEST(HostBadInput, ShouldSayInTheHelpThatTimesAreUtc) {
    for (const char* command : {"quotes", "history", "stream"}) {
        const RunResult run = host({command, "--help"});
        ASSERT_TRUE(run.finished);
        EXPECT_NE(run.out.find("UTC"), std::string::npos) << command << ": " << run.out;
    }
    const RunResult run = host({"history", "--help"});
    EXPECT_NE(run.out.find("UTC time the newest bar holds: 2024-03-05, 2024-03-05T15:30"), std::string::npos)
        << run.out;
}

}  // namespace
