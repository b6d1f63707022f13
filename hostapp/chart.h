// Bars to files: CSV, and a candlestick chart with a volume panel drawn by
// gnuplot's pngcairo terminal. gnuplot is run as a program found on PATH,
// its script and data on its standard input; the host does not link it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host_objects.h"

// Whether a file can be written at `path`, tried by opening it (an existing
// file without truncating it; a new one is created and removed again).
// False with a message naming the path and the reason in `error` otherwise.
bool checkWritable(const std::string& path, std::string& error);

// Writes "time,open,high,low,close,volume" and one row per bar, in the given
// order: the time in ISO 8601 with its zone ("2026-12-07T00:00:00Z"), the
// numbers as the table shows them, a missing value as an empty cell. False
// with `error` on a write failure.
bool writeBarsCsv(const std::string& path, const std::vector<Bar>& bars, std::string& error);

enum class ChartResult { Written, NoGnuplot, Failed };

// What the chart's title says.
struct ChartTitle {
    std::string symbol;
    std::string interval;       // in words: "1 minute", "3 days"
    bool newestForming = false; // the newest bar has not ended yet
};

// The chart's price axis: whole steps of 1, 2 or 5 times a power of ten,
// never finer than kPriceDecimals, from a step below the lowest price to a
// step above the highest.
struct PriceAxis {
    double low, high, step;
};
PriceAxis priceAxis(const std::vector<Bar>& bars);

// Runs gnuplot from PATH on `script`, given on its standard input, killed after
// `limit`; `message` says what went wrong. It waits on a descriptor of the
// process (Linux 5.3 on), or, without one or `processDescriptor`, asks every 20 ms.
ChartResult runGnuplot(const std::string& script, std::string& message,
                       std::chrono::milliseconds limit = std::chrono::seconds(30), bool processDescriptor = true);

// Draws the bars (any order) into a 1000 x 600 PNG: candles over a volume
// panel, one slot per bar (no gaps for closed markets), axes labelled with
// price, volume and time (UTC). `message` says what went wrong. gnuplot gets
// 30 s; it is killed after that.
ChartResult writeCandlestickChart(const std::string& pngPath, const std::vector<Bar>& bars, const ChartTitle& title,
                                  std::string& message);
