// tellivar-host with a replay: the replay options' checks, and the REPLAY
// line and keys of the live table on a terminal (a pseudo-terminal here),
// against the test library that puts the replay controls over the stand-in
// feed (fake_replay_controls.cpp). Every wait is bounded; nothing is timed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kHost{"--plugin", PLUGIN_PATH};

std::vector<std::string> withHost(std::vector<std::string> args) {
    args.insert(args.begin(), kHost.begin(), kHost.end());
    return args;
}

// The parsers' every case is in host_replay_units_test; here, that their
// refusals end the program with exit code 2 before anything runs.
TEST(ReplayOptions, ShouldRefuseBadValuesAndOtherFeedsWithExitTwoAndAClearMessage) {
    const std::string fake = FAKE_REPLAY_LIBRARY;
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--feed", fake, "--replay-from", "2026-12-08 10:31:00", "info"}, "not a UTC time"},
        {{"--feed", fake, "--replay-from", "2026-12-08T11:31:00+01:00", "info"}, "no offset"},
        {{"--feed", fake, "--replay-speed", "0.1", "info"}, "--replay-speed: 0.1 is out of range"},
        {{"--feed", fake, "--replay-speed", "fast", "info"}, "'fast' is not a speed"},
        {{"--replay-speed", "2", "info"}, "--replay-speed only works with the replay feed client (--feed replay), "
                                          "not with the feed 'simfeed'"},
        {{"--feed", "nats", "--replay-from", "2026-12-08T10:31:00Z", "info"},
         "--replay-from only works with the replay feed client (--feed replay), not with the feed 'nats'"},
        // A path is looked at once loaded.
        {{"--feed", FEED_LIBRARY_PATH, "--replay-from", "2026-12-08T10:31:00Z", "info"},
         std::string("the feed library '") + FEED_LIBRARY_PATH + "' has no replay controls"},
    };
    for (const auto& c : cases) {
        const RunResult run = runProgram(HOST_PROGRAM, withHost(c.args), 30);
        ASSERT_TRUE(run.finished) << c.message;
        EXPECT_EQ(run.exitCode, 2) << c.message << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << c.message;
    }
}

// Into a pipe: the REPLAY line on stderr (even with --quiet) as the replay
// starts where and how fast the options said, and the quotes' times are the
// replay clock's.
TEST(ReplayOptions, ShouldReachTheReplayClientAndShowTheReplayInPlainLines) {
    const RunResult run = runProgram(HOST_PROGRAM,
                                     withHost({"--feed", FAKE_REPLAY_LIBRARY, "--replay-from", "2026-12-08T10:31:00Z",
                                               "--replay-speed", "0.50", "-q", "quotes", "ACME", "--seconds", "1.5"}),
                                     60);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex(R"(^REPLAY  2026-12-08T10:31:00Z  0\.5x  playing  \(recording FAKEDESK\)$)",
                                                      std::regex::multiline)))
        << run.err;
    const std::vector<std::string> lines = linesOf(run.out);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("2026-12-08T10:31:0", 0), 0u) << line;
}

// tellivar-host on a pseudo-terminal: what it draws, and the keys typed into it.
class TerminalRun {
public:
    explicit TerminalRun(const std::vector<std::string>& args) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        slaveName_ = ptsname(master_);
        errPath_ = makeTempDir() + "/err";
        logPath_ = errPath_ + ".calls";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, slaveName_.c_str(), O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclose(&actions, master_);
        std::vector<std::string> argText{HOST_PROGRAM};
        for (const std::string& arg : withHost(args)) argText.push_back(arg);
        std::vector<char*> argv;
        for (std::string& arg : argText) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> envText{"TERM=xterm", "NO_COLOR=1", "TELLIVAR_FAKE_REPLAY_LOG=" + logPath_};
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("TERM=", 0) != 0 && entry.rfind("NO_COLOR=", 0) != 0) envText.push_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& entry : envText) envp.push_back(entry.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, HOST_PROGRAM, &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TerminalRun() {
        if (pid_ != 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    bool started() const { return pid_ != 0; }
    void type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

    // Reads what it draws until a REPLAY line matches `pattern` (within 20 s);
    // that line, or "" with what was last drawn in `last`.
    std::string waitForReplayLine(const std::string& pattern, std::string& last) {
        const std::regex wanted(pattern);
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 100) == 1) {
                char buffer[4096];
                const ssize_t got = read(master_, buffer, sizeof buffer);
                if (got <= 0) break;
                screen_.append(buffer, static_cast<std::size_t>(got));
            }
            // Whole lines only; the terminal ends them with "\r\n".
            for (std::size_t end = screen_.find('\n'); end != std::string::npos; end = screen_.find('\n')) {
                std::string line = screen_.substr(0, end);
                screen_.erase(0, end + 1);
                const std::size_t at = line.find("|REPLAY|");
                if (at == std::string::npos) continue;
                line = line.substr(at, line.find_last_not_of('\r') + 1 - at);
                last = line;
                if (std::regex_search(line, wanted)) return line;
            }
        }
        return {};
    }

    // Reads and drops what it drew meanwhile, so that it never waits on a full terminal.
    void drain() {
        char buffer[4096];
        for (pollfd ready{master_, POLLIN, 0}; poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;) {
            if (read(master_, buffer, sizeof buffer) <= 0) break;
        }
        screen_.clear();
    }

    // Ctrl-C's signal; the exit code (-1 when it had to be killed).
    int interrupt() {
        kill(pid_, SIGINT);
        for (int i = 0; i < 300; ++i) {
            drain();
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

    // The terminal's line mode as the host left it.
    tcflag_t localModes() const {
        termios modes{};
        const int fd = open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(fd, &modes);
        close(fd);
        return modes.c_lflag;
    }
    std::string calls() const { return readWhole(logPath_); }
    std::string err() const { return readWhole(errPath_); }

private:
    int master_ = -1;
    pid_t pid_ = 0;
    std::string slaveName_, errPath_, logPath_, screen_;
};

TEST(ReplayLiveTable, ShouldShowTheReplayLineAndTakeSpacePlusAndMinus) {
    TerminalRun run({"--feed", FAKE_REPLAY_LIBRARY, "--replay-from", "2026-12-08T10:31:00Z", "--replay-speed", "32",
                     "quotes", "ACME", "GLOBEX", "--seconds", "60"});
    ASSERT_TRUE(run.started());
    std::string last;
    const std::string keys = R"(    \[space\] pause/play  \[\+\]\[-\] speed$)";
    ASSERT_NE(run.waitForReplayLine(R"(^\|REPLAY\|  2026-12-08T10:3\d:\d\dZ  32x  playing  \(recording FAKEDESK\))" + keys,
                                    last), "")
        << last << "\n" << run.err();
    // Each key's effect, as the line shows it and as the replay heard it.
    const struct {
        const char* keys;
        const char* shown;
    } steps[] = {
        {" ", "32x  paused"}, {"+", "64x  paused"}, {"+", "max  paused"}, {"-", "64x  paused"},
        {"--", "16x  paused"}, {" ", "16x  playing"}, {" ", "16x  paused"}, {"++", "64x  paused"},
    };
    for (const auto& step : steps) {
        run.type(step.keys);
        EXPECT_NE(run.waitForReplayLine(std::string("  ") + step.shown + "  ", last), "")
            << "after '" << step.keys << "': " << last;
    }
    // At the top of the ladder the speed stays, and the host says why.
    run.type("++");
    EXPECT_NE(run.waitForReplayLine("  max  paused  ", last), "") << last;
    const std::string told = "host: the speed is already the fastest (max)";
    for (int i = 0; i < 200 && run.err().find(told) == std::string::npos; ++i) {
        run.drain();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(run.err().find(told), std::string::npos) << run.err();
    EXPECT_EQ(run.interrupt(), 0);
    EXPECT_EQ(run.calls(),
              "pause\nspeed 64\nspeed 0\nspeed 64\nspeed 32\nspeed 16\nplay\npause\nspeed 32\nspeed 64\nspeed 0\n");
    // The terminal echoes and reads lines again.
    EXPECT_EQ(run.localModes() & (ICANON | ECHO), tcflag_t(ICANON | ECHO));
}

}  // namespace
