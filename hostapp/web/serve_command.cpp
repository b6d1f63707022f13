// `tellivar-host serve`: a live view in the browser. The main thread loads
// the plug-in, connects and then only pumps the session's log lines and
// online changes onto the board; the server's threads answer the pages.
// Ctrl-C stops the server first (every event stream ends), then the web
// suppliers are deleted, then the data interface and the factory.
#include <arpa/inet.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>

#include "commands.h"
#include "console.h"
#include "interval.h"
#include "options.h"
#include "web_server.h"

namespace {

bool isLoopback(const std::string& address) {
    return address == "127.0.0.1" || address == "localhost" || address == "::1";
}

// 128 random bits as hex; empty if the system gave none.
std::string makeToken() {
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
    return fmt::format("{:02x}", fmt::join(bytes, ""));
}

std::string urlHost(const std::string& address) {
    in6_addr ignored;
    return inet_pton(AF_INET6, address.c_str(), &ignored) == 1 ? "[" + address + "]" : address;
}

// Who may ask: the names that reach the bound address, and the token.
WebAccess accessOf(const ServeOptions& options, std::string token) {
    WebAccess access;
    access.token = std::move(token);
    const std::string bind = lowered(options.bind);
    access.hostNames.push_back(urlHost(bind));
    if (isLoopback(bind)) access.hostNames.insert(access.hostNames.end(), {"localhost", "127.0.0.1", "[::1]"});
    if (bind == "0.0.0.0" || bind == "::") {
        access.anyAddressLiteral = true;
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) == 0) access.hostNames.push_back(name);
        access.hostNames.push_back("localhost");
    }
    for (const std::string& name : options.allowHosts) access.hostNames.push_back(lowered(name));
    return access;
}

// Served symbols: at least one, each 1 to 32 printable characters, repeats dropped.
std::optional<std::vector<std::string>> checkSymbols(const std::vector<std::string>& symbols) {
    std::vector<std::string> out;
    for (const std::string& symbol : symbols) {
        if (!plausibleSymbol(symbol)) {
            printError(fmt::format("symbol '{}' is not 1 to {} printable characters without blanks", symbol,
                                   kMaxSymbolLength));
            return std::nullopt;
        }
        if (std::find(out.begin(), out.end(), symbol) == out.end()) out.push_back(symbol);
    }
    if (out.empty()) printError("--symbols needs at least one symbol");
    return out.empty() ? std::nullopt : std::optional(out);
}

WebInfo infoOf(HostSession& session) {
    WebInfo info;
    const char* name = session.factory().displayName();
    info.provider = name != nullptr ? name : "";
    info.minutes = offeredMinutes(session.ability().intervalTable(0));
    info.letters = session.abilityLetters();
    // The page's interval menu: every offered minute count, then one of each calendar letter.
    for (const int count : info.minutes) info.intervalChoices.push_back(std::to_string(count));
    for (const char letter : info.letters) {
        if (letter != 'm') info.intervalChoices.push_back(std::string(1, letter) + "1");
    }
    return info;
}

// Serves on `listenFd` (owned from here on) until Ctrl-C; the exit code.
int serveOn(HostSession& session, LiveBoard& board, const ServeOptions& options, int listenFd) {
    std::string token = options.token;
    if (!isLoopback(options.bind) && token.empty() && !options.noToken) token = makeToken();
    if (!isLoopback(options.bind) && token.empty() && !options.noToken) {
        close(listenFd);
        printError("no random token could be made; give one with --token");
        return exitcode::kFailure;
    }
    if (!isLoopback(options.bind)) {
        // Shown even when quiet: this decides who sees the data.
        printErr("tellivar-host: warning: serving on {}: anyone who reaches it {}\n", options.bind,
                 token.empty() ? "sees the data (--no-token)" : "with the token sees the data");
    }
    WebFeed feed(board, session.dataInterface(), session.pageContext());
    WebLimits limits;
    limits.maxStreams = options.maxPages;
    WebServer server(board, feed, infoOf(session), limits, accessOf(options, token), session.replay());
    std::string error;
    if (!server.start(listenFd, error)) {
        printError(error);
        return exitcode::kFailure;
    }
    // The token is shown once, in the address to open.
    printOut("serving http://{}:{}/{} (Ctrl-C to stop)\n", urlHost(options.bind), server.port(),
               token.empty() ? "" : "?token=" + token);
    flushOutput();
    session.pump(deadlineAfter(0), [](Event&) { return false; });
    session.printer().note("stopping the server");
    server.stop();
    session.printer().note("deleting the web pages' suppliers");
    feed.releaseAll();
    return exitcode::kOk;
}

}  // namespace

int runServe(const HostOptions& host, const ServeOptions& options) {
    const auto symbols = checkSymbols(options.symbols);
    if (!symbols) return exitcode::kBadArguments;
    // It travels in a cookie and an address: no character that needs quoting there.
    const bool plainToken = std::all_of(options.token.begin(), options.token.end(),
                                        [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; });
    if (!options.token.empty() && (options.token.size() < 16 || options.token.size() > 128 || !plainToken)) {
        printError("--token must be 16 to 128 letters, digits, '-' or '_'");
        return exitcode::kBadArguments;
    }
    // Before logging on: a busy port or an unknown address is told first.
    std::string error;
    const int listenFd = WebServer::listenOn(options.bind, options.port, error);
    if (listenFd < 0) {
        printError(error);
        return exitcode::kFailure;
    }
    LiveBoard board(*symbols, options.fields);  // declared before the session: the observer writes to it
    HostSession session(host);
    session.setObserver([&board](const Event& event) { board.onEvent(event); });
    if (const int code = session.open(); code != exitcode::kOk) {
        close(listenFd);
        return code;
    }
    const int connected = session.connect();
    if (connected == exitcode::kNotConnected && session.dataInterface() != nullptr) {
        // The page shows the state; every new supplier asks the plug-in to connect again.
        session.printer().note("serving while not online");
    } else if (connected != exitcode::kOk) {
        close(listenFd);
        return connected;
    }
    const int code = serveOn(session, board, options, listenFd);
    session.announceTeardown(true);
    session.shutdown();
    return code;
}
