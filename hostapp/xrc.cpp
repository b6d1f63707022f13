#include "xrc.h"

#include <fmt/format.h>
#include <pugixml.hpp>

#include <utility>

namespace {

bool isLayoutClass(const std::string& className) {
    return className == "sizeritem" || className == "spacer" || className.find("Sizer") != std::string::npos;
}

// The deepest element nesting under `root`, walked without recursion; stops
// counting past `limit`.
std::size_t depthOf(const pugi::xml_node& root, std::size_t limit) {
    std::size_t deepest = 0;
    std::vector<std::pair<pugi::xml_node, std::size_t>> pending{{root, 1}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        if (depth > limit) return depth;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (child.type() == pugi::node_element) pending.emplace_back(child, depth + 1);
        }
    }
    return deepest;
}

// Depth-first, document order; the depth is bounded by kMaxPanelDepth.
void collectControls(const pugi::xml_node& element, std::vector<PanelControl>& out) {
    for (pugi::xml_node child : element.children("object")) {
        const std::string className = child.attribute("class").value();
        if (!isLayoutClass(className)) {
            out.push_back(PanelControl{className, child.attribute("name").value(), child.child_value("label"),
                                       child.child_value("value"), child.child_value("size")});
        }
        collectControls(child, out);
    }
}

}  // namespace

std::optional<SettingsPanel> parseSettingsPanel(const std::string& xrc, std::string& error) {
    const auto fail = [&error](const std::string& why) {
        error = "settings panel is not valid XRC: " + why;
        return std::nullopt;
    };
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xrc.data(), xrc.size(), pugi::parse_default,
                                                               pugi::encoding_utf8);
    if (!parsed) return fail(fmt::format("{} at offset {}", parsed.description(), parsed.offset));
    std::vector<pugi::xml_node> roots;
    for (pugi::xml_node node : document.children()) {
        if (node.type() == pugi::node_element) roots.push_back(node);
    }
    if (roots.size() != 1) return fail(fmt::format("{} root elements, not one", roots.size()));
    const pugi::xml_node root = roots.front();
    if (std::string(root.name()) != "resource") return fail(fmt::format("root element is <{}>, not <resource>", root.name()));
    if (depthOf(root, kMaxPanelDepth) > kMaxPanelDepth) {
        return fail(fmt::format("elements nest deeper than {} levels", kMaxPanelDepth));
    }
    const pugi::xml_node panel = root.child("object");
    if (!panel) return fail("no panel object in <resource>");
    SettingsPanel result{panel.attribute("class").value(), panel.attribute("name").value(), {}};
    collectControls(panel, result.controls);
    return result;
}
