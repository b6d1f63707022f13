// The filter of repeated plug-in info lines that the console and the web
// view share: the plug-in logs some info texts on every update, and each
// should reach the reader once.
#pragma once

#include <cstddef>
#include <set>
#include <string>

// Remembers up to kRemembered distinct texts, then starts afresh (a text may
// then pass once more), so its memory stays bounded. Not synchronised: one
// thread, or its owner's lock.
class RepeatFilter {
public:
    static constexpr std::size_t kRemembered = 1000;

    // True the first time `text` is offered.
    bool firstTime(const std::string& text) {
        if (seen_.size() >= kRemembered) seen_.clear();
        return seen_.insert(text).second;
    }

private:
    std::set<std::string> seen_;
};
