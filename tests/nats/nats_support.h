// Support of the NATS tests: a nats-server of their own on a free loopback
// port, or a cluster of three; child processes (servers, gateways, hosts)
// that die with the test; and the feed client libraries loaded side by side.
//
// A test process that runs the gateway in-process loads both feed clients by
// path and privately (RTLD_LOCAL): each then binds its own pTellivarClient,
// and the plug-in, loaded after them, binds to the first one loaded.
#pragma once

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <memory>
#include <utility>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "feed/TellivarClient.h"

// Skips the test, with the reason, when nats-server is not installed.
#define SKIP_WITHOUT_NATS_SERVER()                                                              \
    do {                                                                                        \
        if (NatsServer::program().empty())                                                      \
            GTEST_SKIP() << "nats-server is not installed (Debian: apt-get install nats-server)"; \
    } while (false)

// A child process for tests that drive real programs: started with its
// arguments and extra environment, its output (stdout and stderr) appended to
// a file, and killed with the test (PR_SET_PDEATHSIG) even when the test dies.
// Owned by the thread that created it: the death signal follows that thread.
class ChildProcess {
public:
    ChildProcess() = default;
    // `env`: "NAME=value" entries added to (or replacing in) this process's
    // environment. `output`: a file for stdout and stderr; empty: /dev/null.
    ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                 const std::string& output = "") {
        start(args, env, output);
    }
    ~ChildProcess() { kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        if (this != &other) {
            kill();
            pid_ = std::exchange(other.pid_, 0);
            status_ = other.status_;
        }
        return *this;
    }

    // False when the program could not be started (fork failed). An exec that
    // fails shows as an exit with status 127.
    bool start(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               const std::string& output = "") {
        kill();
        if (args.empty()) return false;
        // Everything the child needs is built before fork: after it, only
        // async-signal-safe calls.
        std::vector<std::string> argStore = args;
        std::vector<char*> argv;
        for (std::string& arg : argStore) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            bool replaced = false;
            for (const std::string& extra : env) replaced = replaced || extra.substr(0, extra.find('=')) == name;
            if (!replaced) envStore.push_back(text);
        }
        envStore.insert(envStore.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (std::string& entry : envStore) envp.push_back(entry.data());
        envp.push_back(nullptr);
        const int out = open(output.empty() ? "/dev/null" : output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                             0644);
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(126);  // the test died before the line above
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            // The test may block signals on its threads; the program starts clean.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (out >= 0) close(out);
        if (pid < 0) return false;
        pid_ = pid;
        status_ = -1;
        return true;
    }

    pid_t pid() const { return pid_; }
    // True until the process has exited (and been reaped here).
    bool running() {
        if (pid_ == 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped(status);
            return false;
        }
        return true;
    }
    void signal(int number) {
        if (pid_ != 0) ::kill(pid_, number);
    }
    void pause() { signal(SIGSTOP); }
    void resume() { signal(SIGCONT); }
    // SIGKILL and reap.
    void kill() {
        if (pid_ == 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped(status);
    }
    // Waits at most `patience` for the process to exit; its wait status
    // (see WIFEXITED...), or -1 if it is still running.
    int wait(std::chrono::milliseconds patience) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (running()) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return status_;
    }
    // SIGTERM, then waits at most `patience`; SIGKILL after that. True when
    // the process exited by itself with status 0.
    bool terminate(std::chrono::milliseconds patience = std::chrono::milliseconds(10000)) {
        if (pid_ == 0) return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
        signal(SIGCONT);  // a paused process cannot act on SIGTERM
        signal(SIGTERM);
        if (wait(patience) == -1) {
            kill();
            return false;
        }
        return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    }
    // The wait status of the last exit (-1: none yet).
    int status() const { return status_; }

private:
    void reaped(int status) {
        status_ = status;
        pid_ = 0;
    }

    pid_t pid_ = 0;
    int status_ = -1;
};

// A free TCP port on the loopback interface (free when asked; the caller binds
// it soon after).
inline int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

inline bool loopbackAccepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// A nats-server on loopback ports of its own. Alone by default; with a
// cluster port and routes, a node of a cluster (NatsCluster); with a store
// directory, JetStream on. Its ports stay the same across kill() and start(),
// so a test can restart it where its clients look for it.
class NatsServer {
public:
    struct Options {
        std::string config;          // an optional nats-server configuration file
        std::string name;            // server name (needed by a JetStream cluster)
        int clusterPort = 0;         // 0: no cluster
        std::vector<int> routes;     // cluster ports of the other nodes
        std::string jetStreamStore;  // empty: no JetStream
        std::string output;          // the server's log; empty: none
    };

    explicit NatsServer(const std::string& config = "") : NatsServer(withConfig(config)) {}
    explicit NatsServer(Options options) : options_(std::move(options)) {
        if (program().empty()) return;
        port_ = freeLoopbackPort();
        monitorPort_ = freeLoopbackPort();
        start();
    }
    ~NatsServer() { stop(); }
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // Starts the server (again) on its ports; true once it accepts
    // connections (waits at most 5 s).
    bool start() {
        if (port_ == 0) return false;
        std::vector<std::string> args = {program(), "-a", "127.0.0.1", "-p", std::to_string(port_),
                                         "-m", std::to_string(monitorPort_)};
        if (!options_.config.empty()) args.insert(args.end(), {"-c", options_.config});
        if (!options_.name.empty()) args.insert(args.end(), {"-n", options_.name});
        if (options_.clusterPort != 0) {
            args.insert(args.end(), {"--cluster_name", "tellivar-test", "--cluster",
                                     "nats://127.0.0.1:" + std::to_string(options_.clusterPort)});
            std::string routes;
            for (int route : options_.routes)
                routes += (routes.empty() ? "" : ",") + std::string("nats://127.0.0.1:") + std::to_string(route);
            if (!routes.empty()) args.insert(args.end(), {"--routes", routes});
        }
        if (!options_.jetStreamStore.empty()) args.insert(args.end(), {"-js", "-sd", options_.jetStreamStore});
        process_.start(args, {}, options_.output);
        for (int i = 0; i < 200 && process_.running() && !loopbackAccepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        return running();
    }
    // SIGTERM and wait.
    void stop() { process_.terminate(std::chrono::milliseconds(10000)); }
    // SIGKILL: the server vanishes without a word to its clients.
    void kill() { process_.kill(); }
    ChildProcess& process() { return process_; }
    bool running() { return process_.running() && loopbackAccepts(port_); }
    int port() const { return port_; }
    int monitorPort() const { return monitorPort_; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

    // A monitoring endpoint's JSON ("/connz", "/routez", "/jsz"...); a null
    // value when the server does not answer.
    nlohmann::json monitor(const std::string& path) const {
        httplib::Client http("127.0.0.1", monitorPort_);
        http.set_connection_timeout(1, 0);
        http.set_read_timeout(2, 0);
        const httplib::Result answer = http.Get(path.c_str());
        if (!answer || answer->status != 200) return nullptr;
        return nlohmann::json::parse(answer->body, nullptr, false);
    }
    // The names the clients on this server gave for their connections
    // (natsOptions_SetName); unnamed clients as "".
    std::vector<std::string> clientNames() const {
        std::vector<std::string> names;
        const nlohmann::json connz = monitor("/connz?limit=4096");
        if (connz.is_object() && connz.contains("connections") && connz["connections"].is_array())
            for (const nlohmann::json& connection : connz["connections"])
                names.push_back(connection.value("name", ""));
        return names;
    }
    bool hasClient(const std::string& name) const {
        const std::vector<std::string> names = clientNames();
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    static std::string program() {
        for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin"}) {
            const std::string path = std::string(dir) + "/nats-server";
            if (access(path.c_str(), X_OK) == 0) return path;
        }
        return {};
    }

private:
    static Options withConfig(const std::string& config) {
        Options options;
        options.config = config;
        return options;
    }

    Options options_;
    ChildProcess process_;
    int port_ = 0;
    int monitorPort_ = 0;
};

// Three nats-servers on loopback with routes between them; with `jetStream`,
// JetStream on each, stores in directories below `storeRoot` (made here,
// removed at the end). Server logs go to `<storeRoot>/n<i>.log`.
class NatsCluster {
public:
    explicit NatsCluster(const std::string& storeRoot, bool jetStream = false, std::size_t size = 3)
        : root_(storeRoot) {
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        std::vector<int> clusterPorts;
        for (std::size_t i = 0; i < size; ++i) clusterPorts.push_back(freeLoopbackPort());
        for (std::size_t i = 0; i < size; ++i) {
            NatsServer::Options options;
            options.name = "n" + std::to_string(i);
            options.clusterPort = clusterPorts[i];
            for (std::size_t j = 0; j < size; ++j)
                if (j != i) options.routes.push_back(clusterPorts[j]);
            if (jetStream) options.jetStreamStore = root_ + "/" + options.name;
            options.output = root_ + "/" + options.name + ".log";
            nodes_.push_back(std::make_unique<NatsServer>(options));
        }
    }
    ~NatsCluster() {
        nodes_.clear();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::size_t size() const { return nodes_.size(); }
    NatsServer& node(std::size_t i) { return *nodes_.at(i); }
    // Every node's URL, comma-separated, as clients and the gateway take them.
    std::string urls() const {
        std::string all;
        for (const auto& node : nodes_) all += (all.empty() ? "" : ",") + node->url();
        return all;
    }
    // The index of the node a client named `name` is connected to; -1: none.
    int nodeOf(const std::string& name) const {
        for (std::size_t i = 0; i < nodes_.size(); ++i)
            if (nodes_[i]->hasClient(name)) return static_cast<int>(i);
        return -1;
    }
    // Waits, bounded, until every running node has a route to every other
    // running node and, with JetStream, the cluster has a meta leader.
    bool ready(std::chrono::seconds patience = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        for (;;) {
            std::size_t up = 0;
            for (auto& node : nodes_) up += node->running() ? 1 : 0;
            bool routed = up > 0;
            bool led = true;
            for (auto& node : nodes_) {
                if (!node->running()) continue;
                const nlohmann::json routez = node->monitor("/routez");
                routed = routed && routez.is_object() && routez.value("num_routes", 0) >= static_cast<int>(up) - 1;
                const nlohmann::json jsz = node->monitor("/jsz");
                if (jsz.is_object() && jsz.value("config", nlohmann::json::object()).contains("store_dir")) {
                    const nlohmann::json meta = jsz.value("meta_cluster", nlohmann::json::object());
                    led = led && !meta.value("leader", std::string()).empty();
                }
            }
            if (routed && led) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

private:
    std::string root_;
    std::vector<std::unique_ptr<NatsServer>> nodes_;
};

// The stand-in feed client, loaded privately by path, and its control surface.
struct StandIn {
    StandIn() {
        handle = dlopen(TELLIVAR_STANDIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        client = *static_cast<TellivarClient**>(dlsym(handle, "pTellivarClient"));
        bind(reset, "simfeed_reset");
        bind(setClock, "simfeed_set_clock");
        bind(advanceClock, "simfeed_advance_clock");
        bind(tradeNow, "simfeed_trade_now");
        bind(setRate, "simfeed_set_update_rate");
        bind(stallHistory, "simfeed_stall_history");
        bind(flush, "simfeed_flush");
        bind(liveSets, "simfeed_live_sets");
        bind(dropConnection, "simfeed_drop_connection");
        bind(setReconnectDelay, "simfeed_set_reconnect_delay_ms");
        bind(rejectNextCreate, "simfeed_reject_next_create");
        bind(failNextHistoryInit, "simfeed_fail_next_history_init");
        bind(sendMessage, "simfeed_send_message");
    }
    template <class F>
    void bind(F*& function, const char* name) {
        function = reinterpret_cast<F*>(dlsym(handle, name));
    }

    void* handle = nullptr;
    TellivarClient* client = nullptr;
    void (*reset)() = nullptr;
    void (*setClock)(unsigned, double) = nullptr;
    void (*advanceClock)(double) = nullptr;
    void (*tradeNow)() = nullptr;
    void (*setRate)(double) = nullptr;
    void (*stallHistory)(int) = nullptr;
    void (*flush)() = nullptr;
    int (*liveSets)() = nullptr;
    void (*dropConnection)() = nullptr;
    void (*setReconnectDelay)(int) = nullptr;
    void (*rejectNextCreate)(int) = nullptr;
    void (*failNextHistoryInit)(int) = nullptr;
    void (*sendMessage)(const char*) = nullptr;
};

// Runs `session` in a child process and returns what it wrote.
inline std::string inChild(const std::function<std::string()>& session) {
    char path[] = "/tmp/tellivar-child-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    const pid_t child = fork();
    if (child == 0) {
        const std::string text = session();
        std::ofstream(path) << text;
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed with status " + std::to_string(status);
    return text.str();
}

// Waits, bounded, until `condition` holds.
template <class F>
bool eventually(F condition, std::chrono::seconds patience = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
