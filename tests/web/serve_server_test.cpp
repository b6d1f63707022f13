// `tellivar-host serve` without a browser: the JSON endpoints, the event
// stream and its coalescing, bad input and the page limit, against the
// stand-in feed. Each test starts its own server on a free loopback port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string readWhole(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// tellivar-host serve --port 0 as a child; stopped with Ctrl-C's signal.
class ServeProcess {
public:
    explicit ServeProcess(std::vector<std::string> extra, std::vector<std::string> env = {},
                          const std::string& port = "0") {
        char dir[] = "/tmp/tellivar-serve-XXXXXX";
        dir_ = mkdtemp(dir) != nullptr ? dir : "/tmp";
        std::vector<std::string> args{HOST_PROGRAM, "--plugin", PLUGIN_PATH, "serve", "--port", port};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<std::string> envText(env);
        for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        for (std::string& e : envText) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, HOST_PROGRAM, &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        const std::regex served(R"(serving http://127\.0\.0\.1:(\d+)/)");
        for (int i = 0; i < 150 && pid_ != 0 && port_ == 0; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {  // ended without serving
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                pid_ = 0;
                break;
            }
            std::smatch match;
            const std::string out = readWhole(dir_ + "/out");
            if (std::regex_search(out, match, served)) port_ = std::stoi(match[1]);
            if (port_ == 0) std::this_thread::sleep_for(100ms);
        }
    }
    ~ServeProcess() { stop(); }

    int port() const { return port_; }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30, 0);
        return c;
    }
    // Ctrl-C, then the exit code (-1 if it had to be killed after 15 s).
    int stop() {
        if (pid_ == 0) return exit_;
        kill(pid_, SIGINT);
        int status = 0;
        for (int i = 0; i < 150 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(100ms);
        if (waitpid(pid_, &status, WNOHANG) == 0 && kill(pid_, SIGKILL) == 0) {
            waitpid(pid_, &status, 0);
            status = -1;
        }
        exit_ = status == -1 ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        pid_ = 0;
        return exit_;
    }
    std::string err() const { return readWhole(dir_ + "/err"); }

private:
    std::string dir_;
    pid_t pid_ = 0;
    int port_ = 0;
    int exit_ = -1;
};

// The event stream's text over `seconds`.
std::string readEvents(const ServeProcess& server, const std::string& path, std::chrono::milliseconds span) {
    std::string text;
    auto client = server.client();
    const auto end = std::chrono::steady_clock::now() + span;
    client.Get(path.c_str(), [&](const char* data, std::size_t size) {
        text.append(data, size);
        return std::chrono::steady_clock::now() < end;
    });
    return text;
}

std::size_t count(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

TEST(ServeServer, AnswersInfoHistoryAndStatusAsJson) {
    ServeProcess server({"--symbols", "ACME,GLOBEX"});
    ASSERT_NE(server.port(), 0) << server.err();
    auto client = server.client();

    const auto info = client.Get("/api/info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, 200);
    EXPECT_NE(info->body.find(R"("symbols":["ACME","GLOBEX"])"), std::string::npos) << info->body;
    EXPECT_NE(info->body.find(R"("D1")"), std::string::npos) << info->body;

    const auto history = client.Get("/api/history?symbol=ACME&interval=5&count=30");
    ASSERT_TRUE(history);
    ASSERT_EQ(history->status, 200) << history->body;
    // Exactly the bars asked for, oldest first.
    std::vector<long long> times;
    const std::regex time(R"("time":(\d+))");
    for (std::sregex_iterator it(history->body.begin(), history->body.end(), time), end; it != end; ++it) {
        times.push_back(std::stoll((*it)[1]));
    }
    ASSERT_EQ(times.size(), 30u);
    for (std::size_t i = 1; i < times.size(); ++i) EXPECT_LT(times[i - 1], times[i]);

    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("/app.js"), std::string::npos);
    const auto chartLibrary = client.Get("/lightweight-charts.js");
    ASSERT_TRUE(chartLibrary);
    EXPECT_GT(chartLibrary->body.size(), 10000u) << "the chart library is not built in";
}

TEST(ServeServer, RefusesBadInputWithAClearError) {
    ServeProcess server({});
    ASSERT_NE(server.port(), 0) << server.err();
    auto client = server.client();
    struct Case {
        const char* path;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"/api/history?symbol=ACME&interval=7", 400, "not offered"},
        {"/api/history?symbol=ACME&interval=d1", 400, "not offered"},
        {"/api/history?symbol=ACME&count=0", 400, "count must be"},
        {"/api/history?symbol=ACME&count=5001", 400, "count must be"},
        {"/api/history?symbol=ACME&count=99999999999999999999", 400, "count must be"},
        {"/api/history?symbol=ACME&count=-5", 400, "count must be"},
        {"/api/history?symbol=ACME&count=12abc", 400, "count must be"},
        {"/api/history?symbol=", 400, "symbol must be"},
        {"/api/history?interval=D1", 400, "symbol must be"},
        {"/api/history?symbol=A%00B", 400, "symbol must be"},
        {"/api/history?symbol=ACME&symbol=GLOBEX", 400, "more than once"},
        {"/api/history?symbol=ACME&bogus=1", 400, "unknown parameter 'bogus'"},
        {"/api/history?=&&=x", 400, "unknown parameter"},
        {"/api/history?symbol=acme", 404, "symbol 'acme' rejected"},
        {"/api/history?symbol=%3Cb%3Ex%3C%2Fb%3E", 404, "rejected"},
        {"/events?interval=D1", 400, "symbol must be"},
        {"/events?symbol=ACME&interval=4", 400, "not offered"},
        {"/events?symbol=acme", 404, "rejected"},
        {"/no/such/page", 404, "no such page"},
    };
    for (const Case& c : cases) {
        const auto res = client.Get(c.path);
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json") << c.path;
        EXPECT_NE(res->body.find(c.says), std::string::npos) << c.path << ": " << res->body;
    }
    const auto alive = client.Get("/api/status");
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->status, 200);
    EXPECT_EQ(server.stop(), 0) << server.err();
}

TEST(ServeServer, StreamsStateQuotesAndBarsCoalescedToFourPerSymbolPerSecond) {
    // 500 trades a second on each symbol: far more than a page may get.
    ServeProcess server({"--symbols", "ACME,GLOBEX"}, {"SIMFEED_RATE=500"});
    ASSERT_NE(server.port(), 0) << server.err();
    const std::string text = readEvents(server, "/events?symbol=ACME&interval=1", 2000ms);
    EXPECT_EQ(text.rfind("retry: ", 0), 0u) << text.substr(0, 200);
    EXPECT_NE(text.find("event: state\ndata: {\"state\":\"online\",\"online\":true}"), std::string::npos);
    EXPECT_NE(text.find("event: bar\ndata: {\"closed\":false"), std::string::npos);
    const std::size_t acme = count(text, R"("symbol":"ACME")");
    const std::size_t globex = count(text, R"("symbol":"GLOBEX")");
    EXPECT_GE(acme, 3u);
    EXPECT_GE(globex, 3u);
    // Two seconds at four flushes a second, plus the first one.
    EXPECT_LE(acme, 9u);
    EXPECT_LE(globex, 9u);
}

TEST(ServeServer, LimitsPagesAndReleasesSuppliersWithTheLastOne) {
    ServeProcess server({"--symbols", "ACME,GLOBEX", "--max-pages", "2"});
    ASSERT_NE(server.port(), 0) << server.err();
    // Asked again if a request gets no answer, so a failure reads as a message, not a crash.
    auto status = [&server] {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (const auto answer = server.client().Get("/api/status")) return answer->body;
            std::this_thread::sleep_for(200ms);
        }
        return std::string("no answer from /api/status");
    };
    std::vector<std::thread> pages;
    for (int i = 0; i < 2; ++i) {
        pages.emplace_back([&server] { readEvents(server, "/events?symbol=ACME&interval=1", 2500ms); });
    }
    std::this_thread::sleep_for(1000ms);
    // Two pages: two quote suppliers and one shared chart.
    EXPECT_NE(status().find(R"("pages":2,"suppliers":3)"), std::string::npos) << status();
    const auto third = server.client().Get("/events?symbol=GLOBEX");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->status, 503);
    EXPECT_NE(third->body.find("too many pages open: at most 2"), std::string::npos) << third->body;
    for (std::thread& page : pages) page.join();
    std::string after;
    for (int i = 0; i < 20 && after.find(R"("pages":0,"suppliers":0)") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        after = status();
    }
    EXPECT_NE(after.find(R"("pages":0,"suppliers":0)"), std::string::npos) << after;
}

TEST(ServeServer, StopsOnCtrlCInTheDeletionOrder) {
    ServeProcess server({});
    ASSERT_NE(server.port(), 0) << server.err();
    std::thread page([&server] { readEvents(server, "/events?symbol=ACME&interval=D1", 3000ms); });
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(server.stop(), 0);
    page.join();
    const std::string err = server.err();
    const auto stopping = err.find("stopping the server");
    const auto suppliers = err.find("deleting the web pages' suppliers");
    const auto factory = err.find("deleting the factory");
    ASSERT_NE(factory, std::string::npos) << err;
    EXPECT_LT(stopping, suppliers);
    EXPECT_LT(suppliers, factory);
}

TEST(ServeServer, RefusesABusyPortOrAnUnknownAddressBeforeLoggingOn) {
    ServeProcess first({});
    ASSERT_NE(first.port(), 0) << first.err();
    const std::string busy = std::to_string(first.port());
    struct Case {
        std::vector<std::string> args;
        std::string port;
        std::string says;
    };
    const Case cases[] = {
        {{}, busy, "cannot listen on 127.0.0.1:" + busy},
        {{"--bind", "no-such-host.invalid"}, "0", "cannot listen on no-such-host.invalid:0"},
    };
    for (const Case& c : cases) {
        ServeProcess refused(c.args, {}, c.port);
        EXPECT_EQ(refused.port(), 0);
        EXPECT_EQ(refused.stop(), 1);
        const std::string err = refused.err();
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find("Logon"), std::string::npos) << "logged on first: " << err;
    }
}

TEST(ServeServer, ShowsALogonRejectedAndAnswersHistoriesAtOnceWithTheReason) {
    ServeProcess server({"--connect-timeout", "1", "--password", "wrong"});
    ASSERT_NE(server.port(), 0) << server.err();
    const auto status = server.client().Get("/api/status");
    ASSERT_TRUE(status);
    EXPECT_NE(status->body.find(R"("state":"rejected")"), std::string::npos) << status->body;
    EXPECT_NE(status->body.find("Logon rejected"), std::string::npos) << status->body;
    // Not held until the history times out.
    const auto history = server.client().Get("/api/history?symbol=ACME&interval=5");
    ASSERT_TRUE(history);
    EXPECT_EQ(history->status, 503) << history->body;
    EXPECT_NE(history->body.find("not online: the feed rejected the logon"), std::string::npos) << history->body;
    EXPECT_EQ(server.stop(), 0) << server.err();
}

}  // namespace

// A replay: the test library of replay controls over the stand-in feed,
// started at 10:31 on a recording of 10:01 to 11:01; every control it hears
// goes into `calls`.
class ServeReplay : public testing::Test {
protected:
    std::vector<std::string> replayArgs() const {
        return {"--feed", FAKE_REPLAY_LIBRARY, "--replay-from", "2026-12-08T10:31:00Z", "--replay-speed", "2"};
    }
    std::vector<std::string> replayEnv() const { return {"TELLIVAR_FAKE_REPLAY_LOG=" + calls_}; }
    std::string calls() const { return readWhole(calls_); }

    void TearDown() override { std::remove(calls_.c_str()); }

private:
    std::string calls_ = "/tmp/tellivar-replay-calls-" + std::to_string(getpid());
};

TEST_F(ServeReplay, AnswersItsStateAndEveryControlAndSaysWhyOneWasRefused) {
    ServeProcess server(replayArgs(), replayEnv());
    ASSERT_NE(server.port(), 0) << server.err();
    auto client = server.client();
    const auto info = client.Get("/api/info");
    ASSERT_TRUE(info);
    EXPECT_NE(info->body.find(R"("replay":true)"), std::string::npos) << info->body;
    const auto state = client.Get("/api/replay");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->status, 200);
    EXPECT_NE(state->body.find(R"("first":"2026-12-08T10:01:00Z","firstMs":1796724060000,"last":"2026-12-08T11:01:00Z")"),
              std::string::npos)
        << state->body;
    EXPECT_NE(state->body.find(R"("speedText":"2x","playing":true)"), std::string::npos) << state->body;

    // In order: each answer is the state after it, or why it was refused.
    const struct {
        const char* path;
        int status;
        const char* says;
    } cases[] = {
        {"/api/replay/pause", 200, R"("playing":false)"},
        {"/api/replay/speed?speed=4", 200, R"("speedText":"4x")"},
        {"/api/replay/speed?speed=max", 200, R"("speedText":"max")"},
        {"/api/replay/speed?speed=100", 400, "100 is out of range"},
        {"/api/replay/speed", 400, "speed is missing"},
        {"/api/replay/step?interval=5", 200, R"("playing":false)"},
        {"/api/replay/step?seconds=90", 200, R"("playing":false)"},
        {"/api/replay/step?interval=7", 400, "not offered"},
        {"/api/replay/step", 400, "either interval (one bar of it) or seconds"},
        {"/api/replay/step?interval=5&seconds=60", 400, "either interval"},
        {"/api/replay/step?seconds=0", 400, "seconds must be a whole number"},
        {"/api/replay/seek?time=2026-12-08T10:20:00Z", 200, R"("clock":"2026-12-08T10:20:00Z")"},
        {"/api/replay/seek?time=2026-12-08T12:00:00Z", 409,
         "the replay refused to go to 2026-12-08T12:00:00Z: the time lies outside the recording"},
        {"/api/replay/seek?time=2026-12-08T10:20:00", 400, "end it in Z"},
        {"/api/replay/seek?at=2026-12-08T10:20:00Z", 400, "unknown parameter 'at'"},
        {"/api/replay/play", 200, R"("playing":true)"},
        {"/api/replay/play?now=1", 400, "unknown parameter 'now'; this takes none"},
        {"/api/replay/rewind", 404, "no such replay control"},
    };
    for (const auto& c : cases) {
        const auto res = client.Post(c.path);
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path << ": " << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json") << c.path;
        EXPECT_NE(res->body.find(c.says), std::string::npos) << c.path << ": " << res->body;
    }
    // What the host refused itself never reached the replay.
    EXPECT_EQ(calls(), "pause\nspeed 4\nspeed 0\nstep 300\nstep 90\nseek 1796725200000000000\n"
                       "seek 1796731200000000000\nplay\n");
    EXPECT_EQ(server.stop(), 0) << server.err();
}

TEST_F(ServeReplay, TakesControlsByPostOnlyAndOnlyFromThisServersPages) {
    ServeProcess server(replayArgs(), replayEnv());
    ASSERT_NE(server.port(), 0) << server.err();
    auto client = server.client();
    const std::string self = "http://127.0.0.1:" + std::to_string(server.port());
    const auto control = client.Get("/api/replay/pause");
    ASSERT_TRUE(control);
    EXPECT_EQ(control->status, 405);
    EXPECT_EQ(control->get_header_value("Allow"), "POST");
    const auto other = client.Post("/api/status");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 405);
    EXPECT_EQ(other->get_header_value("Allow"), "GET");
    const struct {
        httplib::Headers headers;
        std::string body;
        int status;
    } cases[] = {
        {{{"Origin", "http://evil.example"}}, "", 403},
        {{{"Origin", "null"}}, "", 403},
        {{{"Sec-Fetch-Site", "cross-site"}}, "", 403},
        {{{"Sec-Fetch-Site", "same-site"}}, "", 403},
        {{}, "speed=64", 413},
        {{{"Origin", self}, {"Sec-Fetch-Site", "same-origin"}}, "", 200},
    };
    for (const auto& c : cases) {
        const auto res = client.Post("/api/replay/pause", c.headers, c.body, "application/x-www-form-urlencoded");
        ASSERT_TRUE(res) << c.status;
        EXPECT_EQ(res->status, c.status) << res->body;
    }
    EXPECT_EQ(calls(), "pause\n");
}

TEST_F(ServeReplay, StreamsTheReplaysStateAndServesNoneOfItWithoutAReplay) {
    {
        ServeProcess server(replayArgs(), replayEnv());
        ASSERT_NE(server.port(), 0) << server.err();
        const std::string text = readEvents(server, "/events", 1500ms);
        EXPECT_NE(text.find("event: replay\ndata: {\"clock\":\"2026-12-08T10:3"), std::string::npos)
            << text.substr(0, 400);
    }
    ServeProcess live({});
    ASSERT_NE(live.port(), 0) << live.err();
    auto client = live.client();
    const auto info = client.Get("/api/info");
    ASSERT_TRUE(info);
    EXPECT_NE(info->body.find(R"("replay":false)"), std::string::npos) << info->body;
    const auto state = client.Get("/api/replay");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->status, 404);
    EXPECT_NE(state->body.find("not a replay"), std::string::npos);
    const auto play = client.Post("/api/replay/play");
    ASSERT_TRUE(play);
    EXPECT_EQ(play->status, 404);
    EXPECT_EQ(readEvents(live, "/events", 1000ms).find("event: replay"), std::string::npos);
}
