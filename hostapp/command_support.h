// What several commands share; each command unit keeps only its own work.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "interval.h"

class HostSession;

// A deadline `seconds` from now, or a year away for 0. `seconds` has been
// checked to be finite and at most a year.
std::chrono::steady_clock::time_point deadlineAfter(double seconds);
// Checks --interval against the plug-in's ability record; prints the error.
std::optional<IntervalSpec> checkInterval(HostSession& session, const std::string& text);
// Prints why the plug-in made no supplier (its error lines, a hint for a
// symbol in lower case); returns exitcode::kNoSupplier. `what` names the
// request: "history at D1", "live quotes", ...
int reportRefusal(const HostSession& session, const std::string& what, const std::string& symbol);
// Prints what `info` shows about a loaded plug-in.
void printProviderInfo(HostSession& session, bool withPanel);
