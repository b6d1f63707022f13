#include "chart.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "console.h"

extern char** environ;

namespace {

constexpr auto kGnuplotLimit = std::chrono::seconds(30);
constexpr std::size_t kTimeLabels = 8;  // about this many labels on the time axis

// gnuplot's single-quoted strings take a quote as two quotes.
std::string gnuplotQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// Oldest first, and the smallest gap between two bars.
long long sortAndSpacing(std::vector<Bar>& bars) {
    std::sort(bars.begin(), bars.end(), [](const Bar& a, const Bar& b) { return secondsOf(a.time) < secondsOf(b.time); });
    long long spacing = 0;
    for (std::size_t i = 1; i < bars.size(); ++i) {
        const long long gap = secondsOf(bars[i].time) - secondsOf(bars[i - 1].time);
        if (gap > 0 && (spacing == 0 || gap < spacing)) spacing = gap;
    }
    return spacing > 0 ? spacing : 60;
}

// A bar's label on the time axis: with the year always, the time of day for
// intraday bars, the month alone for monthly ones.
std::string timeLabel(const data::CalendarRecord& time, long long spacing) {
    const std::string full = formatCalendar(time);
    if (spacing < 86400) return full.substr(0, 16);
    return spacing >= 28 * 86400 ? full.substr(0, 7) : full.substr(0, 10);
}

std::string makeTempPath(const char* suffix) {
    const char* base = std::getenv("TMPDIR");
    std::string path = fmt::format("{}/tellivar-host-XXXXXX{}", base != nullptr && *base != '\0' ? base : "/tmp", suffix);
    const int fd = mkstemps(path.data(), static_cast<int>(std::char_traits<char>::length(suffix)));
    if (fd < 0) return {};
    close(fd);
    return path;
}

bool writeText(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

// gnuplot's input: slot, open, high, low, close, volume, rising (1/0).
std::string chartData(const std::vector<Bar>& bars) {
    std::string text;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& bar = bars[i];
        const bool rising = bar.open && bar.close && *bar.close >= *bar.open;
        text += fmt::format("{},{},{},{},{},{},{}\n", i, formatValue(bar.open, ""), formatValue(bar.high, ""),
                            formatValue(bar.low, ""), formatValue(bar.close, ""), formatValue(bar.volume, ""),
                            rising ? 1 : 0);
    }
    return text;
}

// "set xtics (...)" with every step-th bar's label, or empty labels.
std::string timeTics(const std::vector<Bar>& bars, long long spacing, bool withLabels) {
    const std::size_t step = std::max<std::size_t>(1, (bars.size() + kTimeLabels - 1) / kTimeLabels);
    std::string tics;
    for (std::size_t i = 0; i < bars.size(); i += step) {
        tics += fmt::format("{}{} {}", tics.empty() ? "" : ", ",
                            gnuplotQuoted(withLabels ? timeLabel(bars[i].time, spacing) : ""), i);
    }
    return "set xtics (" + tics + ")\n";
}

// Price range with a margin above and below, so no candle touches the frame.
std::pair<double, double> priceRange(const std::vector<Bar>& bars) {
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (const Bar& bar : bars) {
        for (const auto& value : {bar.open, bar.high, bar.low, bar.close}) {
            if (!value) continue;
            low = std::min(low, *value);
            high = std::max(high, *value);
        }
    }
    if (low > high) return {0, 1};
    const double margin = high > low ? (high - low) * 0.08 : std::max(0.01, std::fabs(high) * 0.01);
    return {low - margin, high + margin};
}

std::string chartScript(const std::string& png, const std::string& data, const std::vector<Bar>& bars,
                        long long spacing, const ChartTitle& title) {
    const auto [low, high] = priceRange(bars);
    const bool intraday = spacing < 86400;
    const std::string heading = fmt::format("{} {}: {} bars{}, times in UTC", title.symbol, title.interval,
                                            bars.size(), title.newestForming ? ", the newest still forming" : "");
    std::string script = fmt::format(
        "set terminal pngcairo size 1000,600 font 'sans,10'\n"
        "set output {}\n"
        "set datafile separator ','\n"
        "set multiplot title {} noenhanced\n"
        "set lmargin at screen 0.09\n"
        "set rmargin at screen 0.97\n"
        "set xrange [-0.8:{}]\n"
        "set grid xtics ytics lc rgb '#dddddd'\n"
        "set boxwidth 0.6 absolute\n"
        "set style fill solid 0.8 border -1\n"
        "set key top left opaque\n",
        gnuplotQuoted(png), gnuplotQuoted(heading), static_cast<double>(bars.size()) - 0.2);
    // The candles: the upper 70 %.
    script += fmt::format(
        "set tmargin at screen 0.92\n"
        "set bmargin at screen 0.34\n"
        "set yrange [{}:{}]\n"
        "set ylabel 'price'\n",
        low, high);
    script += timeTics(bars, spacing, false);
    if (title.newestForming && bars.back().high) {
        script += fmt::format("set label 'forming' at {},{} center offset 0,1 front\n", bars.size() - 1,
                              *bars.back().high);
    }
    script += fmt::format(
        "plot {0} using 1:($7==1?$2:1/0):4:3:5 with candlesticks lc rgb '#2a9d3a' title 'rising', \\\n"
        "     {0} using 1:($7==0?$2:1/0):4:3:5 with candlesticks lc rgb '#c0392b' title 'falling'\n"
        "unset label\n",
        gnuplotQuoted(data));
    // The volume: the lower panel, with the time axis.
    script += fmt::format(
        "set tmargin at screen 0.32\n"
        "set bmargin at screen {}\n"
        "set autoscale y\n"
        "set yrange [0:*]\n"
        "set ylabel 'volume'\n"
        "set format y '%.1s%c'\n"
        "set xlabel 'time (UTC)'\n"
        "set xtics rotate by {} {}\n"
        "unset key\n",
        intraday ? 0.14 : 0.10, intraday ? -30 : 0, intraday ? "left" : "center");
    script += timeTics(bars, spacing, true);
    script += fmt::format(
        "plot {0} using 1:($7==1?$6:1/0) with boxes lc rgb '#2a9d3a', \\\n"
        "     {0} using 1:($7==0?$6:1/0) with boxes lc rgb '#c0392b'\n"
        "unset multiplot\n",
        gnuplotQuoted(data));
    return script;
}

// gnuplot's first line of complaint, without the temporary script's name.
std::string gnuplotComplaint(const std::string& errors, const std::string& script) {
    std::string text = errors;
    for (auto at = text.find(script); at != std::string::npos; at = text.find(script)) {
        text.replace(at, script.size(), "chart script");
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const auto last = text.rfind('\n');
    return last == std::string::npos ? text : text.substr(last + 1);
}

std::string readSmallFile(const std::string& path) {
    std::string text;
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
        char buffer[4096];
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        text.assign(buffer, got);
        std::fclose(file);
    }
    return text;
}

// Runs gnuplot on the script, its messages into `errorsPath`; true when it
// exits with 0 in time.
bool runGnuplot(const std::string& program, const std::string& script, const std::string& errorsPath,
                std::string& message) {
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(script.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorsPath.c_str(), O_WRONLY | O_TRUNC, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        message = "could not start " + program + ": " + std::strerror(spawned);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kGnuplotLimit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            message = "gnuplot did not finish in 30 s";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    const std::string complaint = gnuplotComplaint(readSmallFile(errorsPath), script);
    message = complaint.empty() ? "gnuplot failed" : "gnuplot failed: " + complaint;
    return false;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool checkWritable(const std::string& path, std::string& error) {
    struct stat info {};
    const bool exists = stat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) {
        error = "cannot write '" + path + "': it is a directory";
        return false;
    }
    const std::string dir = directoryOf(path);
    if (!exists && (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        error = fmt::format("cannot write '{}': there is no directory '{}'", path, dir);
        return false;
    }
    // Try it: an existing file opened without truncating, a new one created and removed.
    const int fd = exists ? open(path.c_str(), O_WRONLY | O_CLOEXEC) : open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = fmt::format("cannot write '{}': {}", path, std::strerror(errno));
        return false;
    }
    close(fd);
    if (!exists) unlink(path.c_str());
    return true;
}

bool writeBarsCsv(const std::string& path, const std::vector<Bar>& bars, std::string& error) {
    std::string text = "time,open,high,low,close,volume\n";
    for (const Bar& bar : bars) {
        text += fmt::format("{},{},{},{},{},{}\n", formatIsoCalendar(bar.time), formatValue(bar.open, ""),
                            formatValue(bar.high, ""), formatValue(bar.low, ""), formatValue(bar.close, ""),
                            formatValue(bar.volume, ""));
    }
    errno = 0;
    if (writeText(path, text)) return true;
    error = fmt::format("cannot write '{}'{}", path, errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    return false;
}

std::string findGnuplot() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto colon = dirs.find(':', start);
        const std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/gnuplot";
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return {};
}

ChartResult writeCandlestickChart(const std::string& pngPath, const std::vector<Bar>& bars, const ChartTitle& title,
                                  std::string& message) {
    const std::string program = findGnuplot();
    if (program.empty()) {
        message = "gnuplot was not found on PATH (Debian package gnuplot-nox); no chart drawn";
        return ChartResult::NoGnuplot;
    }
    if (bars.empty()) {
        message = "there are no bars to draw";
        return ChartResult::Failed;
    }
    std::vector<Bar> sorted = bars;
    const long long spacing = sortAndSpacing(sorted);
    const std::string data = makeTempPath(".csv");
    const std::string script = makeTempPath(".gp");
    const std::string errors = makeTempPath(".txt");
    bool ok = !data.empty() && !script.empty() && !errors.empty() && writeText(data, chartData(sorted)) &&
              writeText(script, chartScript(pngPath, data, sorted, spacing, title));
    if (!ok) message = "cannot write gnuplot's input files in the temporary directory";
    ok = ok && runGnuplot(program, script, errors, message);
    for (const std::string& path : {data, script, errors}) {
        if (!path.empty()) std::remove(path.c_str());
    }
    return ok ? ChartResult::Written : ChartResult::Failed;
}
