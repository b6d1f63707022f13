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
    EXPECT_NE(run.err.find("subcommand is required"), std::string::npos) << run.err;
}

TEST(HostBadInput, ShouldShowHelpOfEachCommand) {
    for (const char* command : {"info", "quotes", "history", "stream", "demo"}) {
        const RunResult run = host({command, "--help"});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_NE(run.out.find("Usage"), std::string::npos) << command << ": " << run.out;
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
    for (const char* interval : {"7", "m4", "0", "X1", "d1", "D0", "5m", ""}) {
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
    for (const char* fields : {"Trade,Bogus", "trade", "O", "Close", "Bid,,Ask"}) {
        const RunResult run = host({"quotes", "ACME", "--fields", fields});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2) << fields;
        EXPECT_NE(run.err.find("unknown field '"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("valid fields (case-sensitive): TradeTime Open High Low Trade"), std::string::npos);
        EXPECT_NE(run.err.find("BidAskSpread"), std::string::npos);
    }
}

TEST(HostBadInput, ShouldRejectBadEndTimesAndCounts) {
    for (const char* end : {"2026-02-30", "1800-01-01", "2026-1-1", "2026-01-01T25:00", "2026-01-01 10:00"}) {
        const RunResult run = host({"history", "ACME", "--end", end});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2) << end;
        EXPECT_NE(run.err.find(std::string("end time '") + end + "'"), std::string::npos) << run.err;
    }
    const RunResult run = host({"history", "ACME", "--count", "0"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2);
}

}  // namespace
