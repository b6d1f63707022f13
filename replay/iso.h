// Times as the replay shows and reads them: ISO 8601 in UTC,
// "2026-12-08T10:31:00Z", with ".mmm" only when the time is not whole
// seconds. Calendar arithmetic without the C library's time zones. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace replay {

std::string formatIso(std::int64_t ns);
// "YYYY-MM-DDTHH:MM:SS[.fraction]Z" (also "+00:00" for Z); nullopt otherwise.
std::optional<std::int64_t> parseIso(const std::string& text);
// A speed as the host is told it: "0.25", "1", "64", or "max" for 0.
std::string formatSpeed(double speed);
// "0.25".."64" or "max"; nullopt for anything else.
std::optional<double> parseSpeed(const std::string& text);

}  // namespace replay
