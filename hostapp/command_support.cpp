// What several commands share: deadlines, the interval check against the
// plug-in's ability record, the report of a refused supplier, and the
// provider's description that `info` and the demo print.
#include "command_support.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cctype>
#include <string>

#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "fields.h"
#include "hints.h"
#include "interval.h"
#include "xrc.h"

std::chrono::steady_clock::time_point deadlineAfter(double seconds) {
    const auto now = std::chrono::steady_clock::now();
    if (seconds <= 0) return now + std::chrono::hours(24 * 365);
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

std::optional<IntervalSpec> checkInterval(HostSession& session, const std::string& text) {
    data::ProviderAbility& ability = session.ability();
    std::string error;
    const std::optional<IntervalSpec> parsed = parseInterval(text, offeredMinutes(ability.intervalTable(0)),
                                                           ability.abilityLetters() != nullptr ? ability.abilityLetters() : "",
                                                           error);
    if (!parsed) printError(error);
    return parsed;
}

int reportRefusal(const HostSession& session, const std::string& what, const std::string& symbol) {
    const std::string& reason = session.refusalReason();
    std::string upper = symbol;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string hint = upper != symbol ? fmt::format("; symbols are upper case: did you mean '{}'?", upper) : "";
    const bool error = reason.rfind("plug-in error: ", 0) == 0;
    printError(fmt::format("no {} of '{}': the plug-in made no supplier{}{}{}", what, symbol,
                           reason.empty() ? " and gave no reason" : " (" + reason + ")",
                           error ? "" : "; the feed may not know the symbol", hint));
    return exitcode::kNoSupplier;
}

namespace {


const char* letterMeaning(char letter) {
    switch (letter) {
        case 'M': return "months";
        case 'W': return "weeks";
        case 'D': return "days";
        case 'm': return "minutes";
        default: return "?";
    }
}

std::string intervalPairs(const std::int32_t* table) {
    std::string text;
    const std::vector<int> minutes = offeredMinutes(table);
    for (std::size_t i = 0; i < minutes.size(); ++i) {
        text += fmt::format("{}({},{})", text.empty() ? "" : " ", table[2 * i], table[2 * i + 1]);
    }
    return text;
}

void printPanel(const char* xrc) {
    std::string error;
    const std::optional<SettingsPanel> panel = parseSettingsPanel(xrc != nullptr ? xrc : "", error);
    if (!panel) {
        printOut("Settings panel:   (unreadable) {}\n", error);
        return;
    }
    printOut("Settings panel:   {} '{}', {} controls\n", panel->className, panel->name, panel->controls.size());
    for (const PanelControl& control : panel->controls) {
        std::string details;
        if (!control.label.empty()) details += fmt::format(" label \"{}\"", control.label);
        if (!control.value.empty()) details += fmt::format(" value \"{}\"", control.value);
        if (!control.size.empty()) details += fmt::format(" size {}", control.size);
        printOut("  {:<14} {:<22}{}{}\n", control.className, control.name, details,
                   control.isInput() ? "   <- input, setting key" : "");
    }
}

// Names joined by blanks into lines of at most kFieldLine characters, indented.
void printWrapped(const std::vector<std::string>& names) {
    constexpr std::size_t kFieldLine = 100;
    std::string line;
    for (const std::string& name : names) {
        if (!line.empty() && line.size() + 1 + name.size() > kFieldLine) {
            printOut("                  {}\n", line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + name;
    }
    if (!line.empty()) printOut("                  {}\n", line);
}

std::vector<std::string> namesOfKind(FieldKind kind) {
    std::vector<std::string> names;
    for (const std::string& name : longFieldNames()) {
        if (fieldKind(name) == kind) names.push_back(name);
    }
    return names;
}

// The names `quotes --fields` takes, from the host's copy of the plug-in's dictionary.
void printQuoteFields() {
    const std::vector<std::string> times = namesOfKind(FieldKind::Time);
    const std::vector<std::string> texts = namesOfKind(FieldKind::Text);
    printOut("Quote fields:     {} names for quotes --fields (case-sensitive); times, shown in UTC: {};\n"
             "                  text, which the plug-in's quotes cannot carry: {}\n",
             longFieldNames().size(), fmt::join(times, ", "), fmt::join(texts, ", "));
    printWrapped(longFieldNames());
}

}  // namespace

void printProviderInfo(HostSession& session, bool withPanel) {
    data::DataInterfaceFactory& factory = session.factory();
    data::ProviderAbility& ability = session.ability();
    const std::string letters = ability.abilityLetters() != nullptr ? ability.abilityLetters() : "";
    printOut("Plug-in:          {}\n", session.options().pluginPath);
    printOut("Display name:     {}\n", factory.displayName() != nullptr ? factory.displayName() : "");
    std::string meanings;
    for (char letter : letters) meanings += fmt::format("{}{} {}", meanings.empty() ? "" : ", ", letter, letterMeaning(letter));
    printOut("Ability letters:  {} ({})\n", letters, meanings);
    const bool flags[] = {ability.capabilityFlag1(), ability.capabilityFlag2(), ability.capabilityFlag3(),
                          ability.capabilityFlag4(), ability.capabilityFlag5()};
    std::string flagText;
    std::size_t set = 0;
    for (std::size_t i = 0; i < 5; ++i) {
        flagText += fmt::format("{}{}={}", i == 0 ? "" : " ", i + 1, flags[i] ? "yes" : "no");
        set += flags[i] ? 1 : 0;
    }
    printOut("Capability flags: {}\n", flagText);
    printOut("                  (the host framework's five flags, {} set; what they enable is the\n"
             "                  framework's business, and this host relies on none of them)\n",
             set == 5 ? "all" : std::to_string(set));
    const std::int32_t* table = ability.intervalTable(0);
    const std::vector<int> minutes = offeredMinutes(table);
    std::vector<std::string> numbers;
    for (int count : minutes) numbers.push_back(std::to_string(count));
    printOut("Interval table:   {}\n", intervalPairs(table));
    printOut("                  (pairs of a bar length in minutes and its number: minute bars of {}\n"
             "                  minutes; day, week and month bars come from the ability letters)\n",
             spokenList(numbers));
    printOut("--interval takes: {}\n", describeIntervals(minutes, letters));
    printOut("Online:           {}\n", ability.isOnline() ? "yes" : "no");
    if (!withPanel) return;
    printQuoteFields();
    printPanel(factory.settingsPanel());
}

