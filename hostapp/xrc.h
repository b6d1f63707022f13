// Reads the plug-in's settings panel (an XRC layout) into the list of its
// controls, for `info`. The XML is parsed by pugixml (Debian libpugixml-dev),
// whose parser does not recurse; the reader refuses documents nested deeper
// than kMaxPanelDepth elements before walking them.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Deepest element nesting accepted; XRC panels use a dozen levels or so.
constexpr std::size_t kMaxPanelDepth = 256;

// One control of the panel: every `object` that is neither a sizer nor a
// sizer item, with the XRC properties the host shows.
struct PanelControl {
    std::string className;
    std::string name;
    std::string label;
    std::string value;
    std::string size;
    // Everything but a static text takes input; an input's name is a setting key.
    bool isInput() const { return className != "wxStaticText"; }
};

struct SettingsPanel {
    std::string className;  // of the panel object, "wxPanel"
    std::string name;
    std::vector<PanelControl> controls;  // in document order
};

// Nullopt with a message in `error` when the text is not well-formed XML,
// nests too deep, or has no panel object.
std::optional<SettingsPanel> parseSettingsPanel(const std::string& xrc, std::string& error);
