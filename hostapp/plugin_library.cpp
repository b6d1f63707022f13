#include "plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

namespace {

constexpr const char kEntryName[] = "init_data_interface";
constexpr const char kFeedInstanceName[] = "pTellivarClient";
constexpr const char kLibraryName[] = "libtellivar.so";

std::string lastDlError() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown dynamic loader error";
}

// The first of `names`, relative to the program's folder, that can be read,
// made absolute; "" when none can (or the folder is unknown).
std::string firstExisting(const std::vector<std::string>& names) {
    std::error_code error;
    const std::string dir = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    for (const std::string& name : names) {
        const std::string candidate = dir + "/" + name;
        if (dir.empty() || access(candidate.c_str(), R_OK) != 0) continue;
        const std::string resolved = std::filesystem::canonical(candidate, error);
        return error ? candidate : resolved;
    }
    return {};
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path, const std::string& feedLibrary) : path_(path) {
    dlerror();  // clear any stale error text
    if (!feedLibrary.empty() && dlopen(feedLibrary.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
        error_ = "cannot load feed library '" + feedLibrary + "': " + lastDlError();
        return;
    }
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = "cannot load plug-in '" + path + "': " + lastDlError();
        return;
    }
    void* symbol = dlsym(handle_, kEntryName);
    if (symbol == nullptr) {
        error_ = "plug-in '" + path + "' has no " + kEntryName + ": " + lastDlError();
        return;
    }
    entry_ = reinterpret_cast<InitDataInterfaceFn>(symbol);
}

data::DataInterfaceFactory* PluginLibrary::makeFactory() const { return entry_ != nullptr ? entry_() : nullptr; }

std::optional<bool> PluginLibrary::feedClientInstalled() const {
    if (handle_ == nullptr) return std::nullopt;
    // dlsym on the plug-in's handle also searches the libraries it depends on.
    void* symbol = dlsym(handle_, kFeedInstanceName);
    if (symbol == nullptr) return std::nullopt;
    return *static_cast<void**>(symbol) != nullptr;
}

std::string defaultPluginPath(const std::string& compiledDefault) {
    const std::string found = firstExisting({kLibraryName, std::string("../lib/") + kLibraryName,
                                             std::string("../lib/tellivar/plugin/") + kLibraryName});
    return found.empty() ? compiledDefault : found;
}

const std::vector<FeedLibraryName>& feedLibraryNames() {
    static const std::vector<FeedLibraryName> names = {
        {kDefaultFeedLibrary, "the stand-in feed",
         {"../lib/tellivar/simfeed/libTellivarClient.so.1", "../lib/libTellivarClient.so.1"}},
        {"nats", "the NATS feed client, served by a tellivar-gateway (docs/fanout.md)",
         {"../lib/tellivar/nats/libTellivarClient.so.1"}},
        {kReplayFeedLibrary, "the replay feed client: a recording played back, with its controls (docs/host.md)",
         {"../lib/tellivar/replay/libTellivarClient.so.1"}},
        {"system", "none loaded: the plug-in binds to the feed client the system has", {}},
    };
    return names;
}

std::optional<std::string> resolveFeedLibrary(const std::string& choice) {
    if (choice.find('/') != std::string::npos) return choice;
    for (const FeedLibraryName& entry : feedLibraryNames()) {
        if (choice == entry.name) return firstExisting({entry.candidates.begin(), entry.candidates.end()});
    }
    return std::nullopt;
}
