// Live-quote field names. The plug-in subscribes to fields by their long
// names and silently drops any name it does not know, so the host checks the
// names itself. It keeps its own copy of the plug-in's dictionary of long
// names (the host never links the plug-in); host_dictionary_test compares the
// two, so a new field in the plug-in needs a line here too.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

// The long field names, in the dictionary's order (the nameless field left out).
const std::vector<std::string>& longFieldNames();

// Fields shown by `quotes` without --fields.
const std::vector<std::string>& defaultQuoteFields();

// What a field's value is. The plug-in delivers numbers only, so a text
// field never has a value; a time field holds a feed time (seconds since
// 1970, UTC); a price shows with the instrument's decimals (formatPrice).
enum class FieldKind { Number, Price, Time, Text };
FieldKind fieldKind(const std::string& name);

// The names of `fields` of one kind, in their order.
std::vector<std::string> fieldsOfKind(const std::vector<std::string>& fields, FieldKind kind);

// A field's value for tables and lines: a time field as an ISO-8601 UTC time,
// a price as formatPrice does, others as formatValue does.
std::string formatFieldValue(const std::string& name, const std::optional<double>& value);

// Adds --fields to `command`: long names separated by commas, blanks around
// them trimmed, each checked (exact case; a hint for a near miss, else the
// valid names), repeats dropped (the first kept). Without it `fields` keeps
// what it holds.
void addFieldsOption(CLI::App& command, std::vector<std::string>& fields);
