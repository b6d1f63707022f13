#include "console.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>
#include <date/date.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

bool quietMode = false;
std::atomic<int> stopCount{0};        // signals received
std::atomic<bool> outputStop{false};  // stdout broke: stop without an interruption
// The terminal's settings while TerminalKeys holds it in key-by-key mode, for
// the signal handler's exit at once; written before keysTaken is set.
termios savedTerminal{};
std::atomic<bool> keysTaken{false};

extern "C" void onStopSignal(int) {
    if (stopCount.fetch_add(1) > 0) {
        static const char kMessage[] = "\ninterrupted again: exiting at once\n";
        const ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        (void)ignored;
        // tcsetattr may be called in a signal handler: the terminal echoes again.
        if (keysTaken.load()) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        _exit(exitcode::kInterrupted);
    }
}

// Main thread only: how stdout fared. 0 while it works; EPIPE once its reader
// went away; any other errno once a write failed.
int outputErrno = 0;

void noteOutputFailure(int error) {
    if (outputErrno != 0) return;
    outputErrno = error != 0 ? error : EIO;
    // Drop what is still buffered, so that the exit does not try again.
    __fpurge(stdout);
    outputStop = true;
}

// Receives every ACE record, on the thread that writes it.
class AceLines final : public ACE_Log_Msg_Backend {
public:
    explicit AceLines(bool verbose) : verbose_(verbose) {}
    int open(const ACE_TCHAR*) override { return 0; }
    int reset() override { return 0; }
    int close() override { return 0; }
    ssize_t log(ACE_Log_Record& record) override {
        std::string text = record.msg_data();
        while (!text.empty() && text.back() == '\n') text.pop_back();
        const bool debug = record.type() == LM_DEBUG || record.type() == LM_TRACE;
        if (verbose_ || !debug) writeErr(text + "\n");
        std::lock_guard<std::mutex> lock(mutex_);
        if (capturing_ == std::this_thread::get_id()) captured_.push_back(std::move(text));
        return 0;
    }

    void capture(std::thread::id thread) {
        std::lock_guard<std::mutex> lock(mutex_);
        capturing_ = thread;
        captured_.clear();
    }
    std::vector<std::string> captured() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return captured_;
    }

private:
    const bool verbose_;
    mutable std::mutex mutex_;
    std::thread::id capturing_;           // guarded by mutex_; none: no capture
    std::vector<std::string> captured_;   // guarded by mutex_
};

AceLines* aceLines = nullptr;  // never freed: the feed thread may log until exit

// `value` with up to `decimals` decimals, trailing zeros cut down to kPriceDecimals.
std::string withDecimals(const std::optional<double>& value, std::string_view missing, int decimals) {
    if (!value) return std::string(missing);
    if (!std::isfinite(*value)) return fmt::format("{}", *value);
    std::string text = fmt::format("{:.{}f}", *value, decimals);
    while (text.back() == '0' && text[text.size() - 1 - kPriceDecimals] != '.') text.pop_back();
    return text;
}

}  // namespace

void routeAceRecords(bool verbose) {
    aceLines = new AceLines(verbose);
    ACE_Log_Msg::msg_backend(aceLines);
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->clr_flags(ACE_Log_Msg::STDERR);
    log->set_flags(ACE_Log_Msg::CUSTOM);
    log->priority_mask(log->priority_mask(ACE_Log_Msg::PROCESS) | LM_DEBUG | LM_TRACE, ACE_Log_Msg::PROCESS);
}

AceCapture::AceCapture() { if (aceLines != nullptr) aceLines->capture(std::this_thread::get_id()); }
AceCapture::~AceCapture() { if (aceLines != nullptr) aceLines->capture({}); }

std::vector<std::string> AceCapture::texts() const { return aceLines != nullptr ? aceLines->captured() : std::vector<std::string>{}; }

void setQuiet(bool on) { quietMode = on; }
bool quiet() { return quietMode; }

bool stdoutTakesEscapes() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) != 0 && (term == nullptr || std::strcmp(term, "dumb") != 0);
}

bool colourAllowed() {
    const char* noColour = std::getenv("NO_COLOR");
    return stdoutTakesEscapes() && (noColour == nullptr || *noColour == '\0');
}

void guardStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // stdin and stdout get a descriptor that refuses writes; stderr one that swallows them.
        const int opened = open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void writeOut(std::string_view text) {
    if (outputErrno != 0 || text.empty()) return;
    errno = 0;
    const std::size_t written = std::fwrite(text.data(), 1, text.size(), stdout);
    if (written != text.size() || std::ferror(stdout) != 0) noteOutputFailure(errno);
}

void writeErr(std::string_view text) {
    if (text.empty()) return;
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::clearerr(stderr);  // nowhere left to report it
}

bool flushOutput() {
    if (outputErrno != 0) return false;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) noteOutputFailure(errno);
    return outputErrno == 0;
}

int finishOutput(int code) {
    flushOutput();
    if (outputErrno == 0) return code;
    // A command cut short by the broken stdout reports it as an interruption.
    const bool cutShort = code == exitcode::kInterrupted && stopCount.load() == 0;
    if (outputErrno == EPIPE) return cutShort ? exitcode::kOk : code;
    printError(fmt::format("cannot write to standard output: {}", std::strerror(outputErrno)));
    return code == exitcode::kOk || cutShort ? exitcode::kFailure : code;
}

std::string formatCalendar(const data::CalendarRecord& time) {
    return fmt::format("{:04d}-{:02d}-{:02d} {}", time.tm_year + 1900, time.tm_mon + 1, time.tm_mday, formatClock(time));
}

std::string formatIsoCalendar(const data::CalendarRecord& time) {
    return fmt::format("{:04d}-{:02d}-{:02d}T{}Z", time.tm_year + 1900, time.tm_mon + 1, time.tm_mday, formatClock(time));
}

std::string formatIsoSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e12) return fmt::format("{}", seconds);
    const date::sys_seconds moment{std::chrono::seconds{static_cast<long long>(std::floor(seconds))}};
    return date::format("%FT%TZ", moment);
}

std::string formatClock(const data::CalendarRecord& time) {
    return fmt::format("{:02d}:{:02d}:{:02d}", time.tm_hour, time.tm_min, time.tm_sec);
}

long long secondsOf(const data::CalendarRecord& time) {
    // Feed times lie within 1970 to 2106; anything far outside is no time at all.
    if (time.tm_mon < 0 || time.tm_mon > 11 || time.tm_year < -1900 || time.tm_year > 8100) return 0;
    const date::sys_days day = date::year{time.tm_year + 1900} / date::month{static_cast<unsigned>(time.tm_mon + 1)} /
                               date::day{static_cast<unsigned>(std::max(0, time.tm_mday))};
    const auto moment = day + std::chrono::hours{time.tm_hour} + std::chrono::minutes{time.tm_min} +
                        std::chrono::seconds{time.tm_sec};
    return moment.time_since_epoch().count();
}

std::string formatValue(const std::optional<double>& value, std::string_view missing) {
    if (value && *value == std::floor(*value) && std::fabs(*value) < 1e15) return fmt::format("{:.0f}", *value);
    return withDecimals(value, missing, 4);
}

std::string formatPrice(const std::optional<double>& value, std::string_view missing) {
    return withDecimals(value, missing, 6);
}

void LogPrinter::note(const std::string& text) {
    if (quietMode) return;
    printErr("host: {}\n", text);
    ++lines_;
}

void LogPrinter::print(const LogEvent& event) {
    switch (event.kind) {
        case LogEvent::Kind::Status:
            if (quietMode) return;
            printErr("plug-in status: {} (code {})\n", event.text, event.code);
            break;
        case LogEvent::Kind::Error:
            printErr("plug-in error: {}\n", event.text);
            break;
        case LogEvent::Kind::Info:
            if (quietMode || (!verbose_ && !infoLines_.firstTime(event.text))) return;
            printErr("plug-in info: {}\n", event.text);
            break;
    }
    ++lines_;
}

void LogPrinter::print(const OnlineEvent& event) {
    if (!verbose_ && lastOnline_ == event.online) return;  // listeners hear every change, online or not
    lastOnline_ = event.online;
    if (quietMode) return;
    printErr("online: {} is {}\n", event.provider, event.online ? "online" : "offline");
    ++lines_;
}

void printError(const std::string& text) { printErr("tellivar-host: error: {}\n", text); }

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return stopCount.load() > 0 || outputStop.load(); }

TerminalKeys::TerminalKeys() {
    termios saved{};
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) return;
    termios keys = saved;
    // Key by key, without echo; Ctrl-C still signals.
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) return;
    savedTerminal = saved;
    keysTaken.store(true);
    active_ = true;
}

TerminalKeys::~TerminalKeys() {
    if (!active_) return;
    keysTaken.store(false);
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
}

std::string TerminalKeys::take() {
    std::string keys;
    if (!active_) return keys;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (keys.size() < 64 && poll(&input, 1, 0) == 1 && (input.revents & POLLIN) != 0) {
        char buffer[64];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) break;
        keys.append(buffer, static_cast<std::size_t>(got));
    }
    return keys;
}
