// Reads the plug-in's settings panel (an XRC layout) into the list of its
// controls, for `info`. Handles the XML subset XRC uses: a declaration,
// comments, elements with quoted attributes, text and the five predefined
// entities.
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// Nullopt with a message in `error` when the text is not well-formed or has
// no panel object.
std::optional<SettingsPanel> parseSettingsPanel(const std::string& xrc, std::string& error);
