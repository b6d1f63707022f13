// The host's option parsers: --interval, --end and --fields. The first byte
// picks the parser, the rest is the option's text. A refusal always says
// why; an accepted text gives values the host can hand on as they are.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <set>
#include <string>

#include "fields.h"
#include "interval.h"
#include "options.h"

namespace {

constexpr std::int32_t kTable[] = {1, 1, 2, 2, 3, 3, 5, 5, 10, 10, 15, 15, 30, 30, 60, 60, 0, 0};
constexpr const char kLetters[] = "MWDm";

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void checkInterval(const std::string& text) {
    std::string error;
    const auto minutes = offeredMinutes(kTable);
    const auto parsed = parseInterval(text, minutes, kLetters, error);
    require(parsed.has_value() || !error.empty());
    if (!parsed) return;
    // The label names the same interval.
    std::string again;
    const auto relabelled = parseInterval(intervalLabel(*parsed), minutes, kLetters, again);
    require(relabelled && relabelled->type == parsed->type && relabelled->number == parsed->number &&
            relabelled->letter == parsed->letter && relabelled->multiple == parsed->multiple);
}

void checkEndTime(const std::string& text) {
    std::string error;
    const auto end = parseEndTime(text, error);
    require(end.has_value() || !error.empty());
    if (!end) return;
    require(end->tm_year >= 1801 && end->tm_mon >= 1 && end->tm_mon <= 12 && end->tm_mday >= 1 &&
            end->tm_mday <= 31 && end->tm_hour >= 0 && end->tm_hour < 24 && end->tm_min >= 0 && end->tm_min < 60);
}

void checkFieldList(const std::string& text) {
    CLI::App app;
    std::vector<std::string> names;
    addFieldsOption(app, names);
    std::vector<std::string> args{text, "--fields"};  // CLI11 takes them last first
    try {
        app.parse(args);
    } catch (const CLI::ParseError& error) {
        require(std::string(error.what()).size() > std::string("--fields: ").size());
        return;
    }
    const std::set<std::string> known(longFieldNames().begin(), longFieldNames().end());
    const std::set<std::string> unique(names.begin(), names.end());
    require(!names.empty() && unique.size() == names.size());
    for (const std::string& name : names) require(known.count(name) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: checkInterval(text); break;
        case 1: checkEndTime(text); break;
        default: checkFieldList(text); break;
    }
    return 0;
}
