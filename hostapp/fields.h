// Live-quote field names. The plug-in subscribes to fields by their long
// names and silently drops any name it does not know, so the host checks the
// names itself. It keeps its own copy of the plug-in's dictionary of long
// names (the host never links the plug-in); a new field in the plug-in needs a
// line here too.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The long field names, in the dictionary's order (the nameless field left out).
const std::vector<std::string>& longFieldNames();

// Fields shown by `quotes` without --fields.
const std::vector<std::string>& defaultQuoteFields();

// Splits a comma-separated list, trims blanks, drops repeats (first one
// kept) and checks every name (exact case). Nullopt with a message that lists
// the valid names in `error` on an unknown or empty name.
std::optional<std::vector<std::string>> parseFieldList(const std::string& list, std::string& error);
