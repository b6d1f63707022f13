// What the suppliers make alike from host and feed values: the five bar
// fields and their one-letter keys, the interval part of a query text, and a
// feed time as a calendar record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "feed/TellivarClient.h"
#include "host/data.h"

// One bar field: its name in a record set and the one-letter key a host asks for.
struct BarFieldName {
    const char* longName;
    const char* key;
};

// In the order O, H, L, C, V; the update stream reads them in this order.
constexpr std::size_t kBarFieldCount = 5;
inline constexpr BarFieldName barFieldNames[kBarFieldCount] = {
    {"Open", "O"}, {"High", "H"}, {"Low", "L"}, {"Close", "C"}, {"Volume", "V"},
};

namespace detail {
// Position + 1 of each bar key's letter in barFieldNames; 0 for other characters.
inline constexpr std::array<std::uint8_t, 256> kBarKeySlots = [] {
    std::array<std::uint8_t, 256> slots{};
    for (std::size_t i = 0; i < kBarFieldCount; ++i) {
        slots[static_cast<unsigned char>(barFieldNames[i].key[0])] = static_cast<std::uint8_t>(i + 1);
    }
    return slots;
}();
}  // namespace detail

// Position of a one-letter bar key ("O", "H", "L", "C", "V") in
// barFieldNames; -1 for any other name, and for null.
inline int barFieldOf(const char* name) {
    if (name == nullptr) return -1;
    const int slot = detail::kBarKeySlots[static_cast<unsigned char>(name[0])];
    return slot != 0 && name[1] == '\0' ? slot - 1 : -1;
}

// The interval of a query: `intervalNumber` in decimal for interval type 1,
// otherwise `intervalLetter` followed by `intervalMultiple` in decimal.
std::string intervalText(data::SupplierRequest& request);

// A feed time split by the feed client's GetYMD and GetHMS (in that order):
// years since 1900, month 0-11, and zero day of week, day of year and
// daylight-saving flag.
data::CalendarRecord calendarRecordOf(FeedTime time);
