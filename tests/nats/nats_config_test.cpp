// The NATS settings both sides share (server URLs, TLS, what a failure
// says) and the NATS feed client's configuration file: where it is found,
// what it sets, and every kind of bad file refused with its name and line.
// No server: a logon with a bad file fails before any connect.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "natsfeed/client.h"
#include "natsfeed/config_file.h"
#include "wire/nats_config.h"

namespace {

namespace fs = std::filesystem;

// A folder of its own for each test, removed at the end.
class ConfigFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tellivar-nats-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        write("ca.pem", "not checked here: libnats loads it at connect\n");
        write("client.pem", "certificate\n");
        write("client.key", "key\n");
        write("user.creds", "credentials\n");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
        return path;
    }
    std::string dir;
};

TEST_F(ConfigFolder, ShouldReadEveryKeyWithRelativeFilesBesideTheFile) {
    const std::string path = write("nats.conf",
                                   "# the desk's servers\n"
                                   "servers = [\"nats://a.example:4222\",\n  \"tls://b.example:4443\"]\n"
                                   "\n"
                                   "tls-ca = ca.pem\n"
                                   "tls-cert = \"" + dir + "/client.pem\"\n"
                                   "tls-key = client.key   # beside the certificate\n"
                                   "tls-server-name = nats.example\n"
                                   "credentials = user.creds\n"
                                   "name = \"desk 7\"\n");
    natsconfig::Settings settings;
    std::string error;
    ASSERT_TRUE(natsfeed::readConfigFile(path, &settings, &error)) << error;
    EXPECT_EQ(settings.servers, (std::vector<std::string>{"nats://a.example:4222", "tls://b.example:4443"}));
    EXPECT_EQ(settings.tlsCa, dir + "/ca.pem");
    EXPECT_EQ(settings.tlsCert, dir + "/client.pem");
    EXPECT_EQ(settings.tlsKey, dir + "/client.key");
    EXPECT_EQ(settings.tlsServerName, "nats.example");
    EXPECT_EQ(settings.credentialsFile, dir + "/user.creds");
    EXPECT_EQ(settings.name, "desk 7");
}

TEST_F(ConfigFolder, ShouldReadTheExampleAsShippedAndWithEveryKeyOn) {
    natsconfig::Settings settings;
    std::string error;
    ASSERT_TRUE(natsfeed::readConfigFile(TELLIVAR_NATS_EXAMPLE_CONF, &settings, &error)) << error;
    // On: every "# key = value" line of it, with its files made beside the copy.
    std::ifstream example(TELLIVAR_NATS_EXAMPLE_CONF);
    std::string on, keys;
    for (std::string line; std::getline(example, line);) {
        const std::size_t equals = line.find(" = ");
        if (line.rfind("# ", 0) != 0 || equals == std::string::npos || line.find(' ', 2) != equals) continue;
        const std::string key = line.substr(2, equals - 2), value = line.substr(equals + 3);
        if (value.find('/') == std::string::npos && value.find('.') != std::string::npos) write(value, "x\n");
        on += key + " = " + (key == "tls-ca" ? "ca.pem" : value) + "\n";
        keys += key + " ";
    }
    EXPECT_EQ(keys, "servers tls-ca tls-cert tls-key tls-server-name credentials name ");
    ASSERT_TRUE(natsfeed::readConfigFile(write("on.conf", on), &settings, &error)) << error << "\n" << on;
    EXPECT_EQ(settings.servers.size(), 3u);
    EXPECT_EQ(settings.tlsKey, dir + "/desk.key");
}

// A case's name for gtest: its description without spaces and punctuation.
template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* c = info.param.what; *c != '\0'; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c)) != 0) name += *c;
    return name;
}

struct BadFile {
    const char* what;
    const char* text;  // the file's contents
    int line;          // the line the error names
    const char* says;  // part of the error after "PATH:LINE: "
};

class BadConfigFile : public ConfigFolder, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadConfigFile, ShouldRefuseTheFileNamingItsLine) {
    const BadFile& bad = GetParam();
    const std::string path = write("nats.conf", bad.text);
    natsconfig::Settings settings;
    std::string error;
    EXPECT_FALSE(natsfeed::readConfigFile(path, &settings, &error));
    const std::string where = path + ":" + std::to_string(bad.line) + ": ";
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(bad.says), std::string::npos) << error;
}

const BadFile kBadFiles[] = {
    {"unknown key", "servers = nats://a:1\ntls-cafe = ca.pem\n", 2, "unknown key tls-cafe"},
    {"key in a section", "[tls]\nca = ca.pem\n", 2, "unknown key tls.ca"},
    {"short unknown key CLI11 skips", "name = n\nx=\n", 2, "unknown key x"},
    {"key given twice", "name = a\n# again\nname = b\n", 3, "name is given twice (first on line 1)"},
    {"key given twice in a row", "tls-ca = ca.pem\ntls-ca = ca.pem\n", 2, "given twice"},
    {"line without =", "servers = nats://a:1\ntls-ca ca.pem\n", 2, "not a key = value line"},
    {"no value", "name = a\ntls-ca =\n", 2, "tls-ca has no value"},
    {"two values", "tls-ca = ca.pem other.pem\n", 1, "takes one value, not 2"},
    {"unreadable CA path", "\ntls-ca = missing/ca.pem\n", 2, "cannot read the tls-ca file"},
    {"unreadable credentials", "credentials = /nonexistent/user.creds\n", 1, "No such file or directory"},
    {"key without cert", "tls-ca = ca.pem\ntls-key = client.key\n", 2, "tls-key is given without tls-cert"},
    {"cert without key", "tls-cert = client.pem\n", 1, "tls-cert is given without tls-key"},
    {"server name without TLS", "servers = nats://a:1\ntls-server-name = a\n", 2,
     "tls-server-name is given without TLS"},
    {"server URL without scheme", "servers = a.example:4222\n", 1, "bad server URL a.example:4222"},
    {"server URL of another scheme", "servers = nats://a:1,http://b:2\n", 1, "http:// is neither"},
    {"server URL with a bad port", "servers = nats://a:42x\n", 1, "the port 42x is not a number"},
    {"server URL with port 0", "servers = nats://a:0\n", 1, "not between 1 and 65535"},
    {"server URL with a path", "name = n\nservers = nats://a:1/x\n", 2, "text after the host and port ('/x')"},
    {"server URL's password kept out", "servers = nats://u:secret@:1\n", 1, "nats://u:***@:1: no host"},
};

INSTANTIATE_TEST_SUITE_P(Cases, BadConfigFile, ::testing::ValuesIn(kBadFiles),
                         caseName<BadFile>);

// findConfigFile with an environment of the test's own.
struct Lookup {
    const char* what;
    std::map<std::string, std::string> env;  // "{dir}" is the test's folder
    std::vector<const char*> files;          // made below the folder
    const char* found;                       // "{dir}/..." or "" for none
    bool named;
};

class ConfigLookup : public ConfigFolder, public ::testing::WithParamInterface<Lookup> {};

std::string inDir(std::string text, const std::string& dir) {
    if (const std::size_t at = text.find("{dir}"); at != std::string::npos) text.replace(at, 5, dir);
    return text;
}

TEST_P(ConfigLookup, ShouldFindTheFileInOrderVariableUserSystem) {
    const Lookup& c = GetParam();
    for (const char* file : c.files) write(file, "name = x\n");
    std::map<std::string, std::string> env;
    for (const auto& [name, value] : c.env) env[name] = inDir(value, dir);
    const auto getenv = [&env](const char* name) -> const char* {
        const auto found = env.find(name);
        return found == env.end() ? nullptr : found->second.c_str();
    };
    const natsfeed::ConfigFile file = natsfeed::findConfigFile(getenv, dir + "/etc/nats.conf");
    EXPECT_EQ(file.path, inDir(c.found, dir));
    EXPECT_EQ(file.namedByVariable, c.named);
}

const Lookup kLookups[] = {
    {"variable", {{"TELLIVAR_NATS_CONFIG", "{dir}/mine.conf"}}, {"mine.conf", "etc/nats.conf"}, "{dir}/mine.conf",
     true},
    {"variable naming a missing file", {{"TELLIVAR_NATS_CONFIG", "{dir}/gone.conf"}}, {"etc/nats.conf"},
     "{dir}/gone.conf", true},
    {"empty variable", {{"TELLIVAR_NATS_CONFIG", ""}, {"XDG_CONFIG_HOME", "{dir}/xdg"}}, {"xdg/tellivar/nats.conf"},
     "{dir}/xdg/tellivar/nats.conf", false},
    {"XDG folder", {{"XDG_CONFIG_HOME", "{dir}/xdg"}, {"HOME", "{dir}/home"}},
     {"xdg/tellivar/nats.conf", "home/.config/tellivar/nats.conf"}, "{dir}/xdg/tellivar/nats.conf", false},
    {"home without XDG", {{"HOME", "{dir}/home"}}, {"home/.config/tellivar/nats.conf", "etc/nats.conf"},
     "{dir}/home/.config/tellivar/nats.conf", false},
    {"empty XDG means home", {{"XDG_CONFIG_HOME", ""}, {"HOME", "{dir}/home"}}, {"home/.config/tellivar/nats.conf"},
     "{dir}/home/.config/tellivar/nats.conf", false},
    {"system when the user has none", {{"XDG_CONFIG_HOME", "{dir}/xdg"}, {"HOME", "{dir}/home"}}, {"etc/nats.conf"},
     "{dir}/etc/nats.conf", false},
    {"none anywhere", {{"XDG_CONFIG_HOME", "{dir}/xdg"}, {"HOME", "{dir}/home"}}, {}, "", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConfigLookup, ::testing::ValuesIn(kLookups),
                         caseName<Lookup>);

TEST(NatsSettings, ShouldCheckServerURLs) {
    const struct {
        const char* url;
        const char* wrong;  // "" when good
    } cases[] = {
        {"nats://127.0.0.1:4222", ""},
        {"tls://nats.example:4443", ""},
        {"nats://nats.example", ""},
        {"nats://user:pw@h:1", ""},
        {"nats://[::1]:4222", ""},
        {"nats://[::1]", ""},
        {"nats://[::1", "without its closing bracket"},
        {"nats://[::1]x", "text after the IPv6 address"},
        {"nats://h:", "an empty port"},
        {"nats://:4222", "no host"},
        {"nats://h:65536", "not between 1 and 65535"},
        {"nats://h:99999999999999999999", "not between 1 and 65535"},
        {"nats://h:-1", "not a number"},
        {"nats://h i:1", "a host name with ' '"},
        {"ws://h:1", "neither nats:// nor tls://"},
        {"h:1", "not a server URL"},
    };
    for (const auto& c : cases) {
        const std::string wrong = natsconfig::checkServer(c.url);
        if (*c.wrong == '\0') EXPECT_EQ(wrong, "") << c.url;
        else EXPECT_NE(wrong.find(c.wrong), std::string::npos) << c.url << ": " << wrong;
    }
}

TEST(NatsSettings, ShouldHideThePasswordOfAServerURL) {
    const struct {
        const char* url;
        const char* shown;
    } cases[] = {
        {"nats://u:secret@h:1", "nats://u:***@h:1"},
        {"tls://u:p@ss@h:1", "tls://u:***@h:1"},
        {"nats://token@h:1", "nats://token@h:1"},
        {"nats://h:1", "nats://h:1"},
        {"u:secret@h:1", "u:***@h:1"},
    };
    for (const auto& c : cases) EXPECT_EQ(natsconfig::redactServer(c.url), c.shown) << c.url;
    EXPECT_EQ(natsconfig::joinServers({"nats://a:1", "nats://u:pw@b:2"}), "nats://a:1,nats://u:***@b:2");
}

TEST(NatsSettings, ShouldSayWhatAConnectTried) {
    natsconfig::Settings plain;
    plain.servers = {"nats://h:1"};
    natsconfig::Settings tls = plain;
    tls.tlsCa = "/ca.pem";
    natsconfig::Settings mutual = tls;
    mutual.tlsCert = "/c.pem";
    mutual.tlsKey = "/c.key";
    mutual.tlsServerName = "n.example";
    mutual.credentialsFile = "/u.creds";
    natsconfig::Settings byScheme = plain;
    byScheme.servers = {"nats://h:1", "tls://h:2"};
    byScheme.user = "bob";
    byScheme.password = "bob-secret";
    const struct {
        const natsconfig::Settings* settings;
        const char* text;
    } cases[] = {
        {&plain, "without TLS settings"},
        {&tls, "TLS, the server verified against the CA /ca.pem, no client certificate"},
        {&mutual,
         "TLS, the server verified against the CA /ca.pem as n.example, client certificate /c.pem, "
         "credentials file /u.creds"},
        {&byScheme, "TLS, the server verified against the default CAs, no client certificate, user bob"},
    };
    for (const auto& c : cases) EXPECT_EQ(natsconfig::describeSecurity(*c.settings), c.text);
    EXPECT_NE(natsconfig::connectFailure(plain, "SSL handshake error").find("the server requires TLS"),
              std::string::npos);
    EXPECT_NE(natsconfig::connectFailure(tls, "Expected 'PONG', got ''").find("requires a client certificate"),
              std::string::npos);
    EXPECT_EQ(natsconfig::connectFailure(mutual, "x").find("requires"), std::string::npos);
}

TEST(NatsSettings, ShouldRefuseToMakeOptionsFromInconsistentOrUnloadableTls) {
    const auto tls = [](const char* ca, const char* cert, const char* key) {
        natsconfig::Settings settings;
        settings.servers = {"nats://h:1"};
        settings.tlsCa = ca;
        settings.tlsCert = cert;
        settings.tlsKey = key;
        return settings;
    };
    const struct {
        const char* what;
        natsconfig::Settings settings;
        const char* error;
    } cases[] = {
        {"key alone", tls("", "", "/k"), "tls-key is given without tls-cert"},
        {"CA that is no certificate", tls("/dev/null", "", ""), "cannot load the CA file /dev/null: "},
        {"missing client certificate", tls("", "/nonexistent.pem", "/nonexistent.key"),
         "cannot load the client certificate /nonexistent.pem"},
    };
    for (const auto& c : cases) {
        natsOptions* options = nullptr;
        std::string error;
        EXPECT_NE(natsconfig::makeOptions(c.settings, &options, &error), NATS_OK) << c.what;
        EXPECT_EQ(options, nullptr) << c.what;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.what << ": " << error;
    }
    natsOptions* options = nullptr;
    natsconfig::Settings good;
    good.servers = {"nats://h:1"};
    good.tlsServerName = "h";
    good.servers.push_back("tls://h:2");
    ASSERT_EQ(natsconfig::makeOptions(good, &options), NATS_OK);
    natsOptions_Destroy(options);
}

// A logon with a bad configuration file: onMessage names the file and the
// line, then onLogOff; the client asks for nothing more and stays usable.
class Recorder : public EConnectStatus {
public:
    void onSendCredentials(std::int32_t, std::int32_t) override { client->SendLogon("trader", "secret"); }
    void onLogon(std::int32_t) override { add("logon"); }
    void onLogOff() override { add("logoff"); }
    void onReady() override { add("ready"); }
    void onMessage(const char* text) override { add(std::string("message: ") + text); }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mu);
        return all;
    }
    TellivarClient* client = nullptr;

private:
    void add(std::string event) {
        std::lock_guard<std::mutex> lock(mu);
        all.push_back(std::move(event));
    }
    std::mutex mu;
    std::vector<std::string> all;
};

struct BadLogon {
    const char* what;
    const char* file;  // written to {dir}/nats.conf; null: the variable names a missing file
    const char* says;  // after "Logon failed: bad NATS configuration file "
};

class BadLogonFile : public ConfigFolder, public ::testing::WithParamInterface<BadLogon> {};

TEST_P(BadLogonFile, ShouldFailTheLogonNamingTheFileAndLine) {
    const BadLogon& c = GetParam();
    const std::string path = c.file != nullptr ? write("nats.conf", c.file) : dir + "/missing.conf";
    setenv("TELLIVAR_NATS_CONFIG", path.c_str(), 1);
    // Nothing listens here: a connect would fail differently.
    setenv("TELLIVAR_NATS_URL", "nats://127.0.0.1:1", 1);
    std::vector<std::string> events;
    {
        natsfeed::NatsClient client;
        Recorder status;
        status.client = &client;
        client.Connect(&status);
        for (int i = 0; i < 2000 && status.events().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Anything more the client would say comes on the same pass.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client.Disconnect();
        client.Shutdown();
        events = status.events();
    }
    unsetenv("TELLIVAR_NATS_CONFIG");
    unsetenv("TELLIVAR_NATS_URL");
    const std::string expected = "message: Logon failed: bad NATS configuration file " + inDir(c.says, dir);
    ASSERT_EQ(events.size(), 2u) << (events.empty() ? "nothing" : events.front());
    EXPECT_EQ(events[0], expected);
    EXPECT_EQ(events[1], "logoff");
}

const BadLogon kBadLogons[] = {
    {"unknown key", "name = a\nserver = nats://h:1\n", "{dir}/nats.conf:2: unknown key server (known: servers, "
                                                        "tls-ca, tls-cert, tls-key, tls-server-name, credentials, name)"},
    {"missing file named by the variable", nullptr,
     "{dir}/missing.conf: cannot read it: No such file or directory (named by TELLIVAR_NATS_CONFIG)"},
    {"unreadable CA path", "tls-ca = /nonexistent/ca.pem\n",
     "{dir}/nats.conf:1: cannot read the tls-ca file /nonexistent/ca.pem: No such file or directory"},
    {"key without cert", "tls-ca = ca.pem\n\ntls-key = client.key\n",
     "{dir}/nats.conf:3: tls-key is given without tls-cert"},
    {"bad server URL", "servers = nats://h:1, nats//h:2\n",
     "{dir}/nats.conf:1: bad server URL nats//h:2: not a server URL (nats://HOST:PORT or tls://HOST:PORT)"},
};

INSTANTIATE_TEST_SUITE_P(Cases, BadLogonFile, ::testing::ValuesIn(kBadLogons),
                         caseName<BadLogon>);

}  // namespace
