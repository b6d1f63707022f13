// The gateway program's configuration (gateway/config_file.h): a file's
// faults told with their lines, and the precedence flags > environment >
// file > default. Options of a small program of the test's own, of the kinds
// the gateway has (text, bounded whole number, bounded seconds, flag).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "gateway/config_file.h"

namespace {

namespace config = gateway::config;

constexpr const char* kPrefix = "TELLIVAR_CONFIG_TEST_";

struct Values {
    std::string name = "default";
    int count = 5;
    double seconds = 10;
    bool quiet = false;
    std::string servers;
};

void define(CLI::App& app, Values& v) {
    app.add_option("--name", v.name);
    app.add_option("--count", v.count)->check(CLI::Range(1, 100));
    app.add_option("--seconds", v.seconds)->check(CLI::Range(4.0, 3600.0));
    app.add_flag("--quiet", v.quiet);
    app.add_option("--servers", v.servers);
}

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gateway-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        for (const char* key : {"NAME", "COUNT", "SECONDS", "QUIET", "SERVERS"})
            unsetenv((std::string(kPrefix) + key).c_str());
    }
    void TearDown() override {
        for (const char* key : {"NAME", "COUNT", "SECONDS", "QUIET", "SERVERS"})
            unsetenv((std::string(kPrefix) + key).c_str());
        std::filesystem::remove_all(dir);
    }
    std::string write(const std::string& text, const std::string& name = "test.conf") {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::vector<config::Problem> check(const std::string& path) {
        return config::checkFile(path, [this](CLI::App& app) {
            scratch = Values{};
            define(app, scratch);
        });
    }
    config::Outcome parse(std::vector<std::string> args, const std::string& defaultFile = "/nonexistent/test.conf") {
        args.insert(args.begin(), "program");
        std::vector<const char*> argv;
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        config::Setup setup;
        setup.prefix = kPrefix;
        setup.defaultFile = defaultFile;
        setup.define = [this](CLI::App& app) { define(app, values); };
        setup.scratch = [this](CLI::App& app) {
            scratch = Values{};
            define(app, scratch);
        };
        CLI::App app;
        return config::parseProgram(app, static_cast<int>(argv.size()), argv.data(), setup);
    }

    std::string dir;
    Values values, scratch;
};

struct BadFile {
    const char* fault;
    const char* text;
    int line;           // the line named
    const char* says;   // a part of the message
};

void PrintTo(const BadFile& bad, std::ostream* out) { *out << bad.fault; }

class BadFiles : public ConfigFile, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFiles, ShouldNameTheLineAndWhatIsWrongWithIt) {
    const BadFile& bad = GetParam();
    const std::string path = write(bad.text);
    const std::vector<config::Problem> problems = check(path);
    ASSERT_EQ(problems.size(), 1u) << config::describe(path, problems);
    EXPECT_EQ(problems[0].line, bad.line) << problems[0].text;
    EXPECT_NE(problems[0].text.find(bad.says), std::string::npos) << problems[0].text;
    // A run with the file is refused the same way, exit status 2.
    const config::Outcome run = parse({"--config", path});
    EXPECT_FALSE(run.run);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find(path + ":" + std::to_string(bad.line) + ": "), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Gateway, BadFiles,
    ::testing::Values(BadFile{"unknown key", "name = a\ncolour = red\n", 2, "unknown key 'colour'"},
                      BadFile{"not a number", "count = many\n", 1, "count: "},
                      BadFile{"number out of range", "# comment\n\nseconds = 2\n", 3, "seconds: "},
                      BadFile{"whole number with a fraction", "count = 2.5\n", 1, "count: "},
                      BadFile{"flag neither true nor false", "quiet = maybe\n", 1, "quiet: "},
                      BadFile{"empty value", "name = a\ncount =\n", 2, "count: "},
                      BadFile{"key set twice", "name = a\ncount = 3\nname = b\n", 3, "set again (line 1"},
                      BadFile{"value cut by a comment", "name = \"pass#word\"\n", 1, "cut at '#'"},
                      BadFile{"unquoted list", "servers = nats://a:1,nats://b:2\n", 1, "double quotes"},
                      BadFile{"key in a section", "name = a\n[extra]\nname = b\n", 3, "unknown key 'extra.name'"},
                      BadFile{"line too short to be a key", "name = a\nab\n", 2, "key = value"}),
    [](const ::testing::TestParamInfo<BadFile>& info) {
        std::string name;
        for (const char* c = info.param.fault; *c != '\0'; ++c) name += std::isalnum(*c) ? *c : '_';
        return name;
    });

TEST_F(ConfigFile, ShouldAcceptEveryKindOfValueWritten) {
    const std::string path = write(
        "# the test's program\n"
        "name = \"two words\"   # a comment after a value\n"
        "count = 7\n"
        "seconds = 4.5\n"
        "quiet = true\n"
        "servers = \"nats://a:1,nats://b:2\"\n");
    const std::vector<config::Problem> problems = check(path);
    EXPECT_TRUE(problems.empty()) << config::describe(path, problems);
    const config::Outcome run = parse({"--config", path});
    ASSERT_TRUE(run.run) << run.output;
    EXPECT_EQ(values.name, "two words");
    EXPECT_EQ(values.count, 7);
    EXPECT_EQ(values.seconds, 4.5);
    EXPECT_TRUE(values.quiet);
    EXPECT_EQ(values.servers, "nats://a:1,nats://b:2");
}

struct FileFault {
    const char* fault;
    bool directory;  // the path is a directory; else it does not exist
    const char* says;
};

void PrintTo(const FileFault& fault, std::ostream* out) { *out << fault.fault; }

class UnreadableFiles : public ConfigFile, public ::testing::WithParamInterface<FileFault> {};

TEST_P(UnreadableFiles, ShouldRefuseTheFileAsAWhole) {
    const std::string path = GetParam().directory ? dir : dir + "/missing.conf";
    const std::vector<config::Problem> problems = check(path);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 0);
    EXPECT_NE(problems[0].text.find(GetParam().says), std::string::npos) << problems[0].text;
    for (const char* mode : {"--config", "--check-config"}) {
        const config::Outcome run = std::string(mode) == "--config" ? parse({"--config", path})
                                                                    : parse({"--check-config", "--config", path});
        EXPECT_FALSE(run.run) << mode;
        EXPECT_EQ(run.status, 2) << mode;
        EXPECT_EQ(run.output.rfind(path + ": ", 0), 0u) << run.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Gateway, UnreadableFiles,
                         ::testing::Values(FileFault{"missing", false, "No such file"},
                                           FileFault{"directory", true, "directory"}),
                         [](const ::testing::TestParamInfo<FileFault>& info) { return info.param.fault; });

// Where an option's value comes from, by what sets it.
struct Precedence {
    const char* sources;
    const char* file;  // the file's value; null: not in the file
    const char* env;   // the environment's; null: unset
    const char* flag;  // the command line's; null: not given
    const char* expected;
};

void PrintTo(const Precedence& p, std::ostream* out) { *out << p.sources; }

class Precedences : public ConfigFile, public ::testing::WithParamInterface<Precedence> {};

TEST_P(Precedences, ShouldTakeTheFlagThenTheEnvironmentThenTheFileThenTheDefault) {
    const Precedence& p = GetParam();
    std::string text = "count = 9\n";  // another key of the file: always read
    if (p.file != nullptr) text += std::string("name = ") + p.file + "\n";
    const std::string path = write(text);
    if (p.env != nullptr) setenv((std::string(kPrefix) + "NAME").c_str(), p.env, 1);
    std::vector<std::string> args = {"--config", path};
    if (p.flag != nullptr) args.insert(args.end(), {"--name", p.flag});
    const config::Outcome run = parse(args);
    ASSERT_TRUE(run.run) << run.output;
    EXPECT_EQ(values.name, p.expected);
    EXPECT_EQ(values.count, 9);
}

INSTANTIATE_TEST_SUITE_P(Gateway, Precedences,
                         ::testing::Values(Precedence{"none", nullptr, nullptr, nullptr, "default"},
                                           Precedence{"file", "from-file", nullptr, nullptr, "from-file"},
                                           Precedence{"env", nullptr, "from-env", nullptr, "from-env"},
                                           Precedence{"file_env", "from-file", "from-env", nullptr, "from-env"},
                                           Precedence{"file_flag", "from-file", nullptr, "from-flag", "from-flag"},
                                           Precedence{"env_flag", nullptr, "from-env", "from-flag", "from-flag"},
                                           Precedence{"all", "from-file", "from-env", "from-flag", "from-flag"}),
                         [](const ::testing::TestParamInfo<Precedence>& info) { return info.param.sources; });

TEST_F(ConfigFile, ShouldReadTheDefaultFileWhenPresentAndRunWithoutOneOtherwise) {
    const std::string path = write("name = from-default-file\n", "default.conf");
    config::Outcome run = parse({}, path);
    ASSERT_TRUE(run.run) << run.output;
    EXPECT_EQ(values.name, "from-default-file");

    values = Values{};
    run = parse({}, dir + "/absent.conf");
    ASSERT_TRUE(run.run) << run.output;
    EXPECT_EQ(values.name, "default");
}

TEST_F(ConfigFile, ShouldRefuseABadDefaultFileWithItsLine) {
    const std::string path = write("count = 3\ncolour = red\n", "default.conf");
    const config::Outcome run = parse({}, path);
    EXPECT_FALSE(run.run);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find(path + ":2: unknown key 'colour'"), std::string::npos) << run.output;
}

TEST_F(ConfigFile, ShouldShowTheHelpWhateverTheFileHolds) {
    const std::string path = write("colour = red\n");
    const config::Outcome run = parse({"--config", path, "--help"});
    EXPECT_FALSE(run.run);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("--check-config"), std::string::npos) << run.output;
}

TEST_F(ConfigFile, ShouldCheckAGoodFileWithoutRunningAndExitZero) {
    const std::string path = write("name = a\n");
    const config::Outcome run = parse({"--check-config", "--config", path});
    EXPECT_FALSE(run.run);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("good"), std::string::npos) << run.output;
}

TEST_F(ConfigFile, ShouldFailTheCheckOfABadEnvironmentValue) {
    const std::string path = write("name = a\n");
    setenv((std::string(kPrefix) + "SECONDS").c_str(), "1", 1);
    const config::Outcome run = parse({"--check-config", "--config", path});
    EXPECT_FALSE(run.run);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("--seconds"), std::string::npos) << run.output;
}

TEST_F(ConfigFile, ShouldFailTheCheckWhenThereIsNoFile) {
    const config::Outcome run = parse({"--check-config"}, dir + "/absent.conf");
    EXPECT_FALSE(run.run);
    EXPECT_EQ(run.status, 2);
}

TEST(ConfigEnvironment, ShouldNameAnOptionsVariableByThePrefixAndTheOptionInCapitals) {
    EXPECT_EQ(config::environmentName("TELLIVAR_GATEWAY_", "--feed-library"), "TELLIVAR_GATEWAY_FEED_LIBRARY");
    EXPECT_EQ(config::environmentName("TELLIVAR_GATEWAY_", "--history-in-flight"),
              "TELLIVAR_GATEWAY_HISTORY_IN_FLIGHT");
}

}  // namespace
