#include "chart.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "console.h"

extern char** environ;

namespace {

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

// "open,high,low,close,volume" of a bar as the table shows them, a missing value empty.
std::string barCells(const Bar& bar) {
    return fmt::format("{},{},{},{},{}", formatPrice(bar.open, ""), formatPrice(bar.high, ""), formatPrice(bar.low, ""),
                       formatPrice(bar.close, ""), formatValue(bar.volume, ""));
}

// gnuplot's data, the datablock $bars: slot, open, high, low, close, volume,
// rising (1/0).
std::string chartData(const std::vector<Bar>& bars) {
    std::string text = "$bars << EOD\n";
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const bool rising = bars[i].open && bars[i].close && *bars[i].close >= *bars[i].open;
        text += fmt::format("{},{},{}\n", i, barCells(bars[i]), rising ? 1 : 0);
    }
    return text + "EOD\n";
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

std::string chartScript(const std::string& png, const std::vector<Bar>& bars, long long spacing,
                        const ChartTitle& title) {
    const PriceAxis axis = priceAxis(bars);
    const bool intraday = spacing < 86400;
    const std::string heading = fmt::format("{}, bars of {}: {} bars{}, times in UTC", title.symbol, title.interval,
                                            bars.size(), title.newestForming ? ", the newest still forming" : "");
    const std::string forming =
        title.newestForming && bars.back().high
            ? fmt::format("set label 'forming' at {},{} center offset 0,1 front\n", bars.size() - 1, *bars.back().high)
            : "";
    using fmt::arg;
    return chartData(bars) + fmt::format(
        "set terminal pngcairo size 1000,600 font 'sans,10'\n"
        "set output {png}\n"
        "set datafile separator ','\n"
        "set multiplot title {heading} noenhanced\n"
        "set lmargin at screen 0.09\n"
        "set rmargin at screen 0.97\n"
        "set xrange [-0.8:{slotsEnd}]\n"
        "set grid xtics ytics lc rgb '#dddddd'\n"
        "set boxwidth 0.6 absolute\n"
        "set style fill solid 0.8 border -1\n"
        "set key top left opaque\n"
        // The candles: the upper 70 %.
        "set tmargin at screen 0.92\n"
        "set bmargin at screen 0.34\n"
        "set yrange [{low}:{high}]\n"
        "set ytics {step}\n"
        "set format y '%.{decimals}f'\n"
        "set ylabel 'price'\n"
        "{blankTics}{forming}"
        "plot $bars using 1:($7==1?$2:1/0):4:3:5 with candlesticks lc rgb '#2a9d3a' title 'rising', \\\n"
        "     $bars using 1:($7==0?$2:1/0):4:3:5 with candlesticks lc rgb '#c0392b' title 'falling'\n"
        "unset label\n"
        // The volume: the lower panel, with the time axis.
        "set tmargin at screen 0.32\n"
        "set bmargin at screen {volumeBottom}\n"
        "set autoscale y\n"
        "set yrange [0:*]\n"
        "set ylabel 'volume'\n"
        "set ytics autofreq\n"
        "set format y '%.1s%c'\n"
        "set xlabel 'time (UTC)'\n"
        "set xtics rotate by {ticsAngle} {ticsAlign}\n"
        "unset key\n"
        "{labelledTics}"
        "plot $bars using 1:($7==1?$6:1/0) with boxes lc rgb '#2a9d3a', \\\n"
        "     $bars using 1:($7==0?$6:1/0) with boxes lc rgb '#c0392b'\n"
        "unset multiplot\n",
        arg("png", gnuplotQuoted(png)), arg("heading", gnuplotQuoted(heading)),
        arg("slotsEnd", static_cast<double>(bars.size()) - 0.2), arg("low", axis.low), arg("high", axis.high),
        arg("step", axis.step), arg("decimals", kPriceDecimals), arg("blankTics", timeTics(bars, spacing, false)),
        arg("forming", forming), arg("volumeBottom", intraday ? 0.14 : 0.10), arg("ticsAngle", intraday ? -30 : 0),
        arg("ticsAlign", intraday ? "left" : "center"), arg("labelledTics", timeTics(bars, spacing, true)));
}

// A memory file, closed when it goes out of scope.
struct MemoryFile {
    MemoryFile() = default;
    MemoryFile(const MemoryFile&) = delete;
    ~MemoryFile() {
        if (fd >= 0) close(fd);
    }
    const int fd = memfd_create("gnuplot", MFD_CLOEXEC);
};

// Waits until `deadline` for the end of `pid`: on `process`, its descriptor,
// where the kernel gave one, else asking every 20 ms. False while it still
// runs; `status` is its wait status once it ended.
bool waitForEnd(pid_t pid, int process, std::chrono::steady_clock::time_point deadline, int& status) {
    for (pollfd end{process, POLLIN, 0};;) {
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (process < 0 || poll(&end, 1, static_cast<int>(left.count())) < 0) {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
        }
    }
}

}  // namespace

// Script and complaints pass through memory files, so that neither side ever
// waits on the other.
ChartResult runGnuplot(const std::string& script, std::string& message, std::chrono::milliseconds limit,
                       bool processDescriptor) {
    const MemoryFile input, errors;
    // pwrite leaves the offset at the start, where gnuplot begins to read.
    if (input.fd < 0 || errors.fd < 0 ||
        pwrite(input.fd, script.data(), script.size(), 0) != static_cast<ssize_t>(script.size())) {
        message = std::string("cannot hand the script to gnuplot: ") + std::strerror(errno);
        return ChartResult::Failed;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.fd, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errors.fd, STDERR_FILENO);
    char* argv[] = {const_cast<char*>("gnuplot"), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "gnuplot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        message = spawned == ENOENT ? "gnuplot was not found on PATH (Debian package gnuplot-nox); no chart drawn"
                                    : std::string("could not start gnuplot: ") + std::strerror(spawned);
        return spawned == ENOENT ? ChartResult::NoGnuplot : ChartResult::Failed;
    }
    const int process = processDescriptor ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    int status = -1;
    const bool ended = waitForEnd(pid, process, std::chrono::steady_clock::now() + limit, status);
    if (process >= 0) close(process);
    if (!ended) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        message = fmt::format("gnuplot did not finish in {} s", limit.count() / 1000.0);
        return ChartResult::Failed;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ChartResult::Written;
    // Its last line says what went wrong.
    char buffer[65536];
    const ssize_t size = pread(errors.fd, buffer, sizeof buffer, 0);
    std::string complaint(buffer, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    while (!complaint.empty() && (complaint.back() == '\n' || complaint.back() == ' ')) complaint.pop_back();
    complaint.erase(0, complaint.rfind('\n') + 1);
    message = complaint.empty() ? "gnuplot failed" : "gnuplot failed: " + complaint;
    return ChartResult::Failed;
}

bool checkWritable(const std::string& path, std::string& error) {
    std::error_code ignored;
    const bool exists = std::filesystem::exists(path, ignored);
    if (exists && std::filesystem::is_directory(path, ignored)) {
        error = "cannot write '" + path + "': it is a directory";
        return false;
    }
    const std::string parent = std::filesystem::path(path).parent_path();
    const std::string dir = parent.empty() ? "." : parent;
    if (!exists && !std::filesystem::is_directory(dir, ignored)) {
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
        text += fmt::format("{},{}\n", formatIsoCalendar(bar.time), barCells(bar));
    }
    errno = 0;
    std::ofstream file(path);
    file << text;
    file.close();
    if (file) return true;
    error = fmt::format("cannot write '{}'{}", path, errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    return false;
}

PriceAxis priceAxis(const std::vector<Bar>& bars) {
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (const Bar& bar : bars) {
        for (const auto& value : {bar.open, bar.high, bar.low, bar.close}) {
            if (!value) continue;
            low = std::min(low, *value);
            high = std::max(high, *value);
        }
    }
    if (low > high) return {0, 1, 0.5};
    // A step of 1, 2 or 5 times a power of ten that cuts the span into about
    // six, never finer than the prices' last decimal.
    const double minStep = std::pow(10.0, -kPriceDecimals);
    const double rough = std::max((high - low) / 6, minStep);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10 * power;
    for (double factor : {5.0, 2.0, 1.0}) {
        if (factor * power >= rough * (1 - 1e-9)) step = factor * power;  // ends with the finest that is enough
    }
    step = std::max(step, minStep);
    // Whole steps, with room above and below so that no candle touches the frame.
    const double bottom = (std::floor(low / step + 1e-9) - 1) * step;
    return {low >= 0 ? std::max(0.0, bottom) : bottom, (std::ceil(high / step - 1e-9) + 1) * step, step};
}

ChartResult writeCandlestickChart(const std::string& pngPath, const std::vector<Bar>& bars, const ChartTitle& title,
                                  std::string& message) {
    if (bars.empty()) {
        message = "there are no bars to draw";
        return ChartResult::Failed;
    }
    std::vector<Bar> sorted = bars;
    const long long spacing = sortAndSpacing(sorted);
    return runGnuplot(chartScript(pngPath, sorted, spacing, title), message);
}
