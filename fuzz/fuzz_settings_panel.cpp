// The host's settings-panel reader: any text is read or refused with a
// reason, without a fault, however deep or odd its markup.
#include <cstdint>
#include <string>

#include "xrc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto panel = parseSettingsPanel(text, error);
    if (!panel && error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
}
