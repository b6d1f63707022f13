// The guided demo, as the README runs it, finishes within a minute.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "run_program.h"

namespace {

TEST(HostDemo, ShouldRunEveryStepAndShutDownCleanly) {
    const std::string dir = makeTempDir();
    const RunResult run = runProgram(HOST_PROGRAM, {"demo", "--out-dir", dir}, 55);
    ASSERT_TRUE(run.finished) << "demo did not finish: " << run.out << run.err;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (const char* step : {"== 1/6 Loading", "== 2/6 Connecting", "== 3/6 Live quotes", "== 4/6 Daily history",
                             "== 5/6 Update stream", "== 6/6 Shutting down", "demo finished"}) {
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
    if (system("command -v gnuplot > /dev/null 2>&1") == 0) {
        EXPECT_EQ(stat((dir + "/tellivar-demo-history.png").c_str(), &info), 0);
        EXPECT_GT(info.st_size, 8000);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
