#include <fmt/format.h>

#include "commands.h"
#include "exit_codes.h"
#include "interval.h"
#include "xrc.h"

namespace {

constexpr const char kUsernameKey[] = "Username";
constexpr const char kPasswordKey[] = "Password";

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
        fmt::print("Settings panel:   (unreadable) {}\n", error);
        return;
    }
    fmt::print("Settings panel:   {} '{}', {} controls\n", panel->className, panel->name, panel->controls.size());
    for (const PanelControl& control : panel->controls) {
        std::string details;
        if (!control.label.empty()) details += fmt::format(" label \"{}\"", control.label);
        if (!control.value.empty()) details += fmt::format(" value \"{}\"", control.value);
        if (!control.size.empty()) details += fmt::format(" size {}", control.size);
        fmt::print("  {:<14} {:<22}{}{}\n", control.className, control.name, details,
                   control.isInput() ? "   <- input, setting key" : "");
    }
}

}  // namespace

void printProviderInfo(HostSession& session, bool withPanel) {
    data::DataInterfaceFactory& factory = session.factory();
    data::ProviderAbility& ability = session.ability();
    const std::string letters = ability.abilityLetters() != nullptr ? ability.abilityLetters() : "";
    fmt::print("Plug-in:          {}\n", session.options().pluginPath);
    fmt::print("Display name:     {}\n", factory.displayName() != nullptr ? factory.displayName() : "");
    std::string meanings;
    for (char letter : letters) meanings += fmt::format("{}{} {}", meanings.empty() ? "" : ", ", letter, letterMeaning(letter));
    fmt::print("Ability letters:  {} ({})\n", letters, meanings);
    const bool flags[] = {ability.capabilityFlag1(), ability.capabilityFlag2(), ability.capabilityFlag3(),
                          ability.capabilityFlag4(), ability.capabilityFlag5()};
    std::string flagText;
    for (std::size_t i = 0; i < 5; ++i) flagText += fmt::format("{}{}={}", i == 0 ? "" : " ", i + 1, flags[i] ? "yes" : "no");
    fmt::print("Capability flags: {}\n", flagText);
    const std::int32_t* table = ability.intervalTable(0);
    fmt::print("Interval table:   {}\n", intervalPairs(table));
    fmt::print("--interval takes: {}\n", describeIntervals(offeredMinutes(table), letters));
    fmt::print("Online:           {}\n", ability.isOnline() ? "yes" : "no");
    if (withPanel) printPanel(factory.settingsPanel());
}

int runInfo(const HostOptions& host, const InfoOptions& options) {
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    printProviderInfo(session, true);
    if (!options.connect) return exitcode::kOk;
    const int code = session.connect();
    if (code != exitcode::kOk) return code;
    const char* user = session.factory().getSetting(kUsernameKey);
    const char* password = session.factory().getSetting(kPasswordKey);
    fmt::print("Connected:        as '{}' (password of {} characters), online {}\n", user != nullptr ? user : "",
               password != nullptr ? std::char_traits<char>::length(password) : 0,
               session.ability().isOnline() ? "yes" : "no");
    return exitcode::kOk;
}
