// The plug-in library as the host sees it: loaded with dlopen, entered only
// through its exported init_data_interface; and the feed client library
// loaded ahead of it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/data.h"

class PluginLibrary {
public:
    // Loads `feedLibrary` (unless empty) with RTLD_GLOBAL, so that the
    // plug-in's undefined pTellivarClient binds to it, then `path`, and finds
    // init_data_interface. On failure `error()` holds the reason, with
    // dlerror's text.
    explicit PluginLibrary(const std::string& path, const std::string& feedLibrary = {});
    // The library stays mapped: the feed client's thread may still be winding
    // down when the host object goes away, and unmapping under it would crash.
    ~PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool loaded() const { return entry_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // A new factory owned by the caller, or null.
    data::DataInterfaceFactory* makeFactory() const;

    // Whether the feed client the plug-in depends on has installed its
    // instance (`pTellivarClient` non-null). Connecting without one would make
    // the plug-in call through a null pointer. Nullopt when the symbol is not
    // visible at all, in which case the host cannot tell and goes ahead.
    std::optional<bool> feedClientInstalled() const;

private:
    std::string path_;
    std::string error_;
    void* handle_ = nullptr;            // never closed, see the destructor
    InitDataInterfaceFn entry_ = nullptr;
};

// Where to look for the plug-in when --plugin is not given: next to the
// program, then in ../lib beside it (the build tree), then in
// ../lib/tellivar/plugin (installed), then `compiledDefault`. Returns the
// first existing file, or `compiledDefault`.
std::string defaultPluginPath(const std::string& compiledDefault);

// What --feed-library takes besides a path (anything with a '/'): the name of
// a feed client library and where to look for it, relative to the program's
// folder (installed first, then the build tree). "system" loads none: the
// plug-in then binds to the feed client the system has.
struct FeedLibraryName {
    const char* name;
    const char* meaning;  // for --help
    std::vector<const char*> candidates;
};
inline constexpr char kDefaultFeedLibrary[] = "simfeed";
inline constexpr char kReplayFeedLibrary[] = "replay";
const std::vector<FeedLibraryName>& feedLibraryNames();
// The file to load for `choice`: the path itself, or the first candidate of a
// name that exists ("" when none does, or for "system"). Nullopt for an
// unknown name.
std::optional<std::string> resolveFeedLibrary(const std::string& choice);
