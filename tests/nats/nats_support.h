// Support of the NATS tests: a nats-server of their own on a free loopback
// port, and the feed client libraries loaded side by side.
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

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "feed/TellivarClient.h"

// Skips the test, with the reason, when nats-server is not installed.
#define SKIP_WITHOUT_NATS_SERVER()                                                              \
    do {                                                                                        \
        if (NatsServer::program().empty())                                                      \
            GTEST_SKIP() << "nats-server is not installed (Debian: apt-get install nats-server)"; \
    } while (false)

class NatsServer {
public:
    // `config`: an optional nats-server configuration file.
    explicit NatsServer(const std::string& config = "") {
        const std::string path = program();
        if (path.empty()) return;
        port_ = freePort();
        const std::string portText = std::to_string(port_);
        std::vector<std::string> args = {path, "-a", "127.0.0.1", "-p", portText};
        if (!config.empty()) {
            args.push_back("-c");
            args.push_back(config);
        }
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // The server ends with the test, also when the test dies.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        if (pid_ < 0) pid_ = 0;
        // Ready once it accepts connections; bounded.
        for (int i = 0; i < 200 && pid_ != 0 && !accepts(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ~NatsServer() { stop(); }
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    void stop() {
        if (pid_ == 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
    }
    bool running() const { return pid_ != 0 && accepts(); }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

    static std::string program() {
        for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin"}) {
            const std::string path = std::string(dir) + "/nats-server";
            if (access(path.c_str(), X_OK) == 0) return path;
        }
        return {};
    }

private:
    static int freePort() {
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
    bool accepts() const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return ok;
    }

    pid_t pid_ = 0;
    int port_ = 0;
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
};

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
