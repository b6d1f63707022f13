#include "xrc.h"

#include <cctype>
#include <map>
#include <memory>
#include <stdexcept>

namespace {

struct Element {
    std::string tag;
    std::map<std::string, std::string> attributes;
    std::string text;
    std::vector<std::unique_ptr<Element>> children;

    const Element* child(const std::string& childTag) const {
        for (const auto& c : children) {
            if (c->tag == childTag) return c.get();
        }
        return nullptr;
    }
    std::string attribute(const std::string& key) const {
        const auto it = attributes.find(key);
        return it == attributes.end() ? std::string{} : it->second;
    }
    std::string childText(const std::string& childTag) const {
        const Element* c = child(childTag);
        return c != nullptr ? c->text : std::string{};
    }
};

// Recursive-descent reader; throws std::runtime_error with a position.
class XmlReader {
public:
    explicit XmlReader(const std::string& text) : text_(text) {}

    std::unique_ptr<Element> document() {
        skipMisc();
        auto root = element();
        skipMisc();
        if (pos_ != text_.size()) fail("text after the root element");
        return root;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + " at offset " + std::to_string(pos_));
    }
    bool startsWith(const char* prefix) const { return text_.compare(pos_, std::char_traits<char>::length(prefix), prefix) == 0; }
    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])) != 0) ++pos_;
    }
    void skipPast(const char* terminator) {
        const auto end = text_.find(terminator, pos_);
        if (end == std::string::npos) fail(std::string("missing '") + terminator + "'");
        pos_ = end + std::char_traits<char>::length(terminator);
    }
    // Blanks, the XML declaration and comments.
    void skipMisc() {
        for (;;) {
            skipBlanks();
            if (startsWith("<?")) {
                skipPast("?>");
            } else if (startsWith("<!--")) {
                skipPast("-->");
            } else {
                return;
            }
        }
    }
    std::string name() {
        const auto start = pos_;
        while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) != 0 ||
                                       text_[pos_] == '_' || text_[pos_] == ':' || text_[pos_] == '-' ||
                                       text_[pos_] == '.')) {
            ++pos_;
        }
        if (pos_ == start) fail("expected a name");
        return text_.substr(start, pos_ - start);
    }
    std::string decode(const std::string& raw) const {
        static const std::pair<const char*, char> kEntities[] = {
            {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
        std::string out;
        for (std::size_t i = 0; i < raw.size();) {
            bool replaced = false;
            for (const auto& [entity, character] : kEntities) {
                if (raw.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
                    out += character;
                    i += std::char_traits<char>::length(entity);
                    replaced = true;
                    break;
                }
            }
            if (!replaced) out += raw[i++];
        }
        return out;
    }
    void attributes(Element& element) {
        for (;;) {
            skipBlanks();
            if (pos_ >= text_.size()) fail("unterminated tag");
            if (text_[pos_] == '>' || text_[pos_] == '/') return;
            const std::string key = name();
            skipBlanks();
            if (pos_ >= text_.size() || text_[pos_] != '=') fail("expected '='");
            ++pos_;
            skipBlanks();
            if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) fail("expected a quote");
            const char quote = text_[pos_++];
            const auto end = text_.find(quote, pos_);
            if (end == std::string::npos) fail("unterminated attribute");
            element.attributes[key] = decode(text_.substr(pos_, end - pos_));
            pos_ = end + 1;
        }
    }
    std::unique_ptr<Element> element() {
        if (!startsWith("<")) fail("expected '<'");
        ++pos_;
        auto result = std::make_unique<Element>();
        result->tag = name();
        attributes(*result);
        if (startsWith("/>")) {
            pos_ += 2;
            return result;
        }
        ++pos_;  // '>'
        content(*result);
        return result;
    }
    void content(Element& parent) {
        for (;;) {
            if (pos_ >= text_.size()) fail("unterminated element <" + parent.tag + ">");
            if (startsWith("<!--")) {
                skipPast("-->");
            } else if (startsWith("</")) {
                pos_ += 2;
                if (name() != parent.tag) fail("mismatched end tag for <" + parent.tag + ">");
                skipBlanks();
                if (!startsWith(">")) fail("expected '>'");
                ++pos_;
                return;
            } else if (startsWith("<")) {
                parent.children.push_back(element());
            } else {
                const auto end = text_.find('<', pos_);
                parent.text += decode(text_.substr(pos_, end == std::string::npos ? std::string::npos : end - pos_));
                pos_ = end == std::string::npos ? text_.size() : end;
            }
        }
    }

    const std::string& text_;
    std::size_t pos_ = 0;
};

bool isLayoutClass(const std::string& className) {
    return className == "sizeritem" || className == "spacer" || className.find("Sizer") != std::string::npos;
}

void collectControls(const Element& element, std::vector<PanelControl>& out) {
    for (const auto& child : element.children) {
        if (child->tag != "object") continue;
        const std::string className = child->attribute("class");
        if (!isLayoutClass(className)) {
            out.push_back(PanelControl{className, child->attribute("name"), child->childText("label"),
                                       child->childText("value"), child->childText("size")});
        }
        collectControls(*child, out);
    }
}

const Element* findPanel(const Element& root) {
    for (const auto& child : root.children) {
        if (child->tag == "object") return child.get();
    }
    return nullptr;
}

}  // namespace

std::optional<SettingsPanel> parseSettingsPanel(const std::string& xrc, std::string& error) {
    try {
        const auto root = XmlReader(xrc).document();
        if (root->tag != "resource") throw std::runtime_error("root element is <" + root->tag + ">, not <resource>");
        const Element* panel = findPanel(*root);
        if (panel == nullptr) throw std::runtime_error("no panel object in <resource>");
        SettingsPanel result{panel->attribute("class"), panel->attribute("name"), {}};
        collectControls(*panel, result.controls);
        return result;
    } catch (const std::runtime_error& failure) {
        error = std::string("settings panel is not valid XRC: ") + failure.what();
        return std::nullopt;
    }
}
