// Bars to files: CSV, and a candlestick chart drawn by gnuplot's pngcairo
// terminal. gnuplot is run as a program found on PATH; the host does not
// link it.
#pragma once

#include <string>
#include <vector>

#include "events.h"

// Writes "time,open,high,low,close,volume" and one row per bar, in the given
// order; a missing value is an empty cell. False with `error` on a write failure.
bool writeBarsCsv(const std::string& path, const std::vector<Bar>& bars, std::string& error);

// The path of the gnuplot program on PATH, or "" when there is none.
std::string findGnuplot();

enum class ChartResult { Written, NoGnuplot, Failed };

// Draws the bars (any order) into a PNG. `message` says what went wrong.
// gnuplot gets 30 s; it is killed after that.
ChartResult writeCandlestickChart(const std::string& pngPath, const std::vector<Bar>& bars,
                                  const std::string& title, std::string& message);
