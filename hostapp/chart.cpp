#include "chart.h"

#include <fmt/format.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "console.h"

extern char** environ;

namespace {

constexpr auto kGnuplotLimit = std::chrono::seconds(30);

std::string csvCell(const std::optional<double>& value) { return value ? fmt::format("{}", *value) : std::string{}; }

// gnuplot's single-quoted strings take a quote as two quotes.
std::string gnuplotQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

long long secondsOf(const data::CalendarRecord& time) {
    std::tm tm{};
    tm.tm_year = time.tm_year;
    tm.tm_mon = time.tm_mon;
    tm.tm_mday = time.tm_mday;
    tm.tm_hour = time.tm_hour;
    tm.tm_min = time.tm_min;
    tm.tm_sec = time.tm_sec;
    return static_cast<long long>(timegm(&tm));
}

// Oldest first, and the smallest gap between two bars (the candle width).
long long sortAndSpacing(std::vector<Bar>& bars) {
    std::sort(bars.begin(), bars.end(), [](const Bar& a, const Bar& b) { return secondsOf(a.time) < secondsOf(b.time); });
    long long spacing = 0;
    for (std::size_t i = 1; i < bars.size(); ++i) {
        const long long gap = secondsOf(bars[i].time) - secondsOf(bars[i - 1].time);
        if (gap > 0 && (spacing == 0 || gap < spacing)) spacing = gap;
    }
    return spacing > 0 ? spacing : 60;
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

std::string chartScript(const std::string& png, const std::string& data, const std::string& title, long long spacing) {
    const bool daily = spacing >= 86400;
    return fmt::format(
        "set terminal pngcairo size 1000,600 font 'sans,10'\n"
        "set output {}\n"
        "set title {} noenhanced\n"
        "set datafile separator ','\n"
        "set xdata time\n"
        "set timefmt '%Y-%m-%d %H:%M:%S'\n"
        "set format x '{}'\n"
        "set xtics rotate by -30\n"
        "set grid\n"
        "set bmargin 5\n"
        "set rmargin 8\n"
        "set key top left\n"
        "set boxwidth {} absolute\n"
        "set style fill solid 0.7 border -1\n"
        "plot {} skip 1 using 1:($5>=$2?$2:1/0):3:4:($5>=$2?$5:1/0) with candlesticks lc rgb '#2a9d3a' title 'up', \\\n"
        "     '' skip 1 using 1:($5<$2?$2:1/0):3:4:($5<$2?$5:1/0) with candlesticks lc rgb '#c0392b' title 'down'\n",
        gnuplotQuoted(png), gnuplotQuoted(title), daily ? "%Y-%m-%d" : "%m-%d %H:%M", spacing * 0.7,
        gnuplotQuoted(data));
}

// Runs gnuplot on the script; true when it exits with 0 in time.
bool runGnuplot(const std::string& program, const std::string& script, std::string& message) {
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(script.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        message = "could not start " + program;
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
    message = "gnuplot failed (see its messages above)";
    return false;
}

}  // namespace

bool writeBarsCsv(const std::string& path, const std::vector<Bar>& bars, std::string& error) {
    std::string text = "time,open,high,low,close,volume\n";
    for (const Bar& bar : bars) {
        text += fmt::format("{},{},{},{},{},{}\n", formatCalendar(bar.time), csvCell(bar.open), csvCell(bar.high),
                            csvCell(bar.low), csvCell(bar.close), csvCell(bar.volume));
    }
    if (writeText(path, text)) return true;
    error = "cannot write '" + path + "'";
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

ChartResult writeCandlestickChart(const std::string& pngPath, const std::vector<Bar>& bars, const std::string& title,
                                  std::string& message) {
    const std::string program = findGnuplot();
    if (program.empty()) {
        message = "gnuplot was not found on PATH (Debian package gnuplot-nox); no chart drawn";
        return ChartResult::NoGnuplot;
    }
    std::vector<Bar> sorted = bars;
    const long long spacing = sortAndSpacing(sorted);
    const std::string data = makeTempPath(".csv");
    const std::string script = makeTempPath(".gp");
    bool ok = !data.empty() && !script.empty() && writeBarsCsv(data, sorted, message) &&
              writeText(script, chartScript(pngPath, data, title, spacing));
    if (!ok && message.empty()) message = "cannot write gnuplot's input files";
    ok = ok && runGnuplot(program, script, message);
    if (!data.empty()) std::remove(data.c_str());
    if (!script.empty()) std::remove(script.c_str());
    return ok ? ChartResult::Written : ChartResult::Failed;
}
