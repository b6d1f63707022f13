// Field dictionary: the fixed vocabulary of quote fields and the process-wide
// maps built from it. Snapshot sets name a field by a 16-bit id, record sets
// and consumers by name; the tick supplier turns names into ids and back, and
// the history suppliers turn one-letter bar names into the feed's names.
//
// Threads: the builders run on a host thread inside the factory constructor;
// the lookups run afterwards on any thread and never change the maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

// One row of the fixed field vocabulary.
struct FieldEntry {
    std::int16_t id;
    const char* shortName;
    const char* longName;
};

constexpr std::size_t kFieldTableSize = 95;
extern const FieldEntry FieldTable[kFieldTableSize];

// Process-wide maps, built by the factory constructor and only read after it.
// Ordered with transparent comparison so lookups need no temporary string.
extern std::map<std::int16_t, std::string> FieldNameById;
extern std::map<std::string, std::int16_t, std::less<>> FieldIdByName;
extern std::map<std::string, std::string, std::less<>> HistoryFieldNames;

void buildFieldDictionary();
void buildHistoryFieldNames();

// Long name of a field id; the empty text for an id without a row (and id 41,
// whose name is empty). The reference stays valid until the library unloads.
const std::string& fieldNameById(std::int16_t id);
// True and the id in `id` when `name` is a long field name.
bool findFieldIdByName(std::string_view name, std::int16_t& id);
// The long bar field name ("Close") of a short one ("C"), or null.
const std::string* findHistoryField(std::string_view shortName);
