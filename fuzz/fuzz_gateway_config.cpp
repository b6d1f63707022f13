// The gateway's configuration check (gateway/config_file.h) on any text:
// CLI11's reader and the key locator never crash, and every fault names a
// line of the text (or 0, the file as a whole).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gateway/config_file.h"

namespace {

struct Values {
    std::string name, servers;
    int count = 5;
    double seconds = 10;
    bool quiet = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Values values;
    const auto problems = gateway::config::checkText(text, [&values](CLI::App& app) {
        values = Values{};
        app.add_option("--name", values.name);
        app.add_option("--servers", values.servers);
        app.add_option("--count", values.count)->check(CLI::Range(1, 100));
        app.add_option("--seconds", values.seconds)->check(CLI::Range(4.0, 3600.0));
        app.add_flag("--quiet", values.quiet);
    });
    long lines = 1;
    for (char c : text) lines += c == '\n';
    for (const auto& problem : problems)
        if (problem.line < 0 || problem.line > lines || problem.text.empty()) std::abort();
    return 0;
}
