// The plug-in library as the host sees it: loaded with dlopen, entered only
// through its exported init_data_interface.
#pragma once

#include <optional>
#include <string>

#include "host/data.h"

class PluginLibrary {
public:
    // Loads `path` with dlopen and finds init_data_interface. On failure
    // `error()` holds the reason, with dlerror's text.
    explicit PluginLibrary(const std::string& path);
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
// program, then in ../lib beside it, then `compiledDefault`. Returns the
// first existing file, or `compiledDefault`.
std::string defaultPluginPath(const std::string& compiledDefault);
