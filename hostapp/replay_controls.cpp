#include "replay_controls.h"

#include <date/date.h>
#include <dlfcn.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <regex>

#include "console.h"
#include "options.h"

namespace {

constexpr double kSlowest = 0.25;
constexpr double kFastest = 64;
constexpr std::int64_t kNanosPerSecond = 1000000000;

template <typename Function>
Function find(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

// The text of a status's fixed-size field, which the client ends with a NUL;
// cut at its size should it not.
template <std::size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace

std::optional<ReplayFunctions> findReplayFunctions() {
    const ReplayFunctions functions{
        find<int (*)()>("tellivar_replay_play"),
        find<int (*)()>("tellivar_replay_pause"),
        find<int (*)(double)>("tellivar_replay_set_speed"),
        find<int (*)(uint32_t)>("tellivar_replay_step"),
        find<int (*)(int64_t)>("tellivar_replay_seek"),
        find<int (*)(tellivar_replay_status*)>("tellivar_replay_get_status"),
    };
    const bool all = functions.play != nullptr && functions.pause != nullptr && functions.setSpeed != nullptr &&
                     functions.step != nullptr && functions.seek != nullptr && functions.getStatus != nullptr;
    return all ? std::optional(functions) : std::nullopt;
}

std::optional<tellivar_replay_status> ReplayControls::status() const {
    tellivar_replay_status status{};
    if (functions_.getStatus(&status) != 0) return std::nullopt;
    // Whatever the client wrote, the texts end inside their fields.
    status.recording[sizeof status.recording - 1] = '\0';
    status.error[sizeof status.error - 1] = '\0';
    return status;
}

std::string ReplayControls::outcome(int result, const char* what) const {
    if (result == 0) return {};
    tellivar_replay_status status{};
    const bool known = functions_.getStatus(&status) == 0;
    const std::string reason = known ? fieldText(status.error) : "";
    return fmt::format("the replay refused {}: {}", what,
                       reason.empty() ? (known ? "it gave no reason" : "no replay is connected") : reason);
}

std::string ReplayControls::play() const { return outcome(functions_.play(), "to play"); }
std::string ReplayControls::pause() const { return outcome(functions_.pause(), "to pause"); }

std::string ReplayControls::togglePause() const {
    const std::optional<tellivar_replay_status> now = status();
    return now && now->playing != 0 ? pause() : play();
}

std::string ReplayControls::setSpeed(double speed) const {
    return outcome(functions_.setSpeed(speed), fmt::format("the speed {}", replaySpeedText(speed)).c_str());
}

std::string ReplayControls::changeSpeed(int direction) const {
    const std::optional<tellivar_replay_status> now = status();
    if (!now) return "no replay is connected";
    const std::optional<double> next = nextReplaySpeed(now->speed, direction);
    if (!next) return fmt::format("the speed is already the {} ({})", direction > 0 ? "fastest" : "slowest",
                                  replaySpeedText(now->speed));
    return setSpeed(*next);
}

std::string ReplayControls::step(std::uint32_t seconds) const {
    return outcome(functions_.step(seconds), fmt::format("a step of {} s", seconds).c_str());
}

std::string ReplayControls::seek(std::int64_t timeNs) const {
    return outcome(functions_.seek(timeNs), fmt::format("to go to {}", formatIsoNanos(timeNs)).c_str());
}

const std::vector<double>& replaySpeeds() {
    static const std::vector<double> speeds{0.25, 0.5, 1, 2, 4, 8, 16, 32, 64, 0};
    return speeds;
}

std::optional<double> nextReplaySpeed(double current, int direction) {
    // 0 (as fast as possible) is the top of the ladder.
    const double rank = current <= 0 ? std::numeric_limits<double>::infinity() : current;
    const auto rankOf = [](double speed) { return speed <= 0 ? std::numeric_limits<double>::infinity() : speed; };
    const std::vector<double>& speeds = replaySpeeds();
    if (direction > 0) {
        for (const double speed : speeds) {
            if (rankOf(speed) > rank) return speed;
        }
        return std::nullopt;
    }
    for (auto it = speeds.rbegin(); it != speeds.rend(); ++it) {
        if (rankOf(*it) < rank) return *it;
    }
    return std::nullopt;
}

std::string replaySpeedText(double speed) {
    if (speed <= 0) return "max";
    return fmt::format("{}x", speed);
}

std::string formatIsoNanos(std::int64_t ns) {
    // Floor division, so that times before 1970 still read forwards.
    std::int64_t seconds = ns / kNanosPerSecond;
    std::int64_t rest = ns % kNanosPerSecond;
    if (rest < 0) {
        rest += kNanosPerSecond;
        --seconds;
    }
    const date::sys_seconds moment{std::chrono::seconds{seconds}};
    const std::int64_t millis = rest / 1000000;
    return millis == 0 ? date::format("%FT%TZ", moment) : fmt::format("{}.{:03d}Z", date::format("%FT%T", moment), millis);
}

std::string replayLine(const tellivar_replay_status& status) {
    const std::string recording = fieldText(status.recording);
    const std::string name = recording.empty() ? "" : fmt::format("  (recording {})", recording);
    if (status.connected == 0 && status.first_ns == 0) return fmt::format("REPLAY  not connected{}", name);
    const char* state = status.ended != 0 ? "ended" : status.playing != 0 ? "playing" : "paused";
    // Logged on before and lost since: the client reconnects and resumes at the clock.
    const char* link = status.connected == 0 ? "  not connected" : "";
    return fmt::format("REPLAY  {}  {}  {}{}{}", formatIsoNanos(status.clock_ns), replaySpeedText(status.speed), state,
                       link, name);
}

std::optional<std::int64_t> parseReplayTime(const std::string& text, std::string& error) {
    static const std::regex form(R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,9}))?Z)");
    const auto fail = [&](const std::string& why) {
        error = fmt::format("'{}': {}", text, why);
        return std::nullopt;
    };
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        static const std::regex offset(R"(.*T.*([+-]\d{2}(:?\d{2})?)$)");
        if (std::regex_match(text + "Z", form)) {
            return fail("end it in Z: the time is read as UTC only when it says so, such as 2026-12-08T10:31:00Z");
        }
        if (std::regex_match(text, offset)) {
            return fail("give the time in UTC, ending in Z, such as 2026-12-08T10:31:00Z (no offset)");
        }
        return fail("not a UTC time; write it as 2026-12-08T10:31:00Z (date, T, hours:minutes:seconds, Z)");
    }
    const auto number = [&m](std::size_t group) {
        long long value = 0;
        return readNumber(m[group].str(), value) ? value : 0;
    };
    const date::year_month_day day{date::year{static_cast<int>(number(1))},
                                   date::month{static_cast<unsigned>(number(2))},
                                   date::day{static_cast<unsigned>(number(3))}};
    if (!day.ok()) return fail("there is no such day");
    if (number(4) > 23 || number(5) > 59 || number(6) > 59) return fail("there is no such time of day");
    const long long seconds = (date::sys_days{day}.time_since_epoch() + std::chrono::hours{number(4)} +
                               std::chrono::minutes{number(5)} + std::chrono::seconds{number(6)})
                                  .count();
    if (seconds < 0 || seconds > kLastFeedTime) return fail("outside 1970 to 2106");
    std::string fraction = m[7].matched ? m[7].str() : "";
    fraction.resize(9, '0');
    long long nanos = 0;
    readNumber(fraction, nanos);
    return static_cast<std::int64_t>(seconds) * kNanosPerSecond + nanos;
}

std::optional<double> replaySpeedValue(const std::string& text, std::string& error) {
    if (lowered(text) == "max") return 0.0;
    double value = 0;
    const auto range = fmt::format("give a factor from {} to {}, or max (as fast as possible)", kSlowest, kFastest);
    if (!readNumber(text, value) || !std::isfinite(value)) {
        error = fmt::format("'{}' is not a speed; {}", text, range);
        return std::nullopt;
    }
    if (value < kSlowest || value > kFastest) {
        error = fmt::format("{} is out of range; {}", text, range);
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> parseReplaySpeed(const std::string& text, std::string& error) {
    const std::optional<double> value = replaySpeedValue(text, error);
    if (!value) return std::nullopt;
    return *value == 0 ? std::string("max") : fmt::format("{}", *value);
}

std::optional<std::uint32_t> barSeconds(const IntervalSpec& interval, std::int64_t clockNs) {
    const long long multiple = intervalMultiple(interval);
    long long seconds = 0;
    switch (intervalUnit(interval)) {
        case IntervalUnit::Minutes: seconds = multiple * 60; break;
        case IntervalUnit::Days: seconds = multiple * 86400; break;
        case IntervalUnit::Weeks: seconds = multiple * 7 * 86400; break;
        case IntervalUnit::Months: {
            const date::sys_days today = date::floor<date::days>(
                date::sys_time<std::chrono::nanoseconds>{std::chrono::nanoseconds{clockNs}});
            const date::year_month_day from{today};
            date::year_month_day to = from + date::months{multiple};
            if (!to.ok()) to = to.year() / to.month() / date::last;  // the 31st into a shorter month
            seconds = (date::sys_days{to} - today).count() * 86400LL;
            break;
        }
    }
    if (seconds <= 0 || seconds > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(seconds);
}

std::optional<std::string> replayKey(const ReplayControls& controls, char key) {
    switch (key) {
        case ' ': return controls.togglePause();
        case '+':
        case '=': return controls.changeSpeed(+1);
        case '-':
        case '_': return controls.changeSpeed(-1);
        default: return std::nullopt;
    }
}

void ReplayAnnouncer::tick(const ReplayControls& controls) {
    const std::optional<tellivar_replay_status> status = controls.status();
    if (!status) return;
    const std::string state = fmt::format("{} {} {} {}", status->speed, status->playing, status->ended,
                                          status->connected);
    if (state == shown_) return;
    shown_ = state;
    printErr("{}\n", replayLine(*status));
}
