// The replay feed client's one instance, the contract's exported pointer,
// and the instance the exported controls act on.
#include <utility>

#include "replay/client.h"

namespace {

// Made at load, freed when the library leaves the process.
replay::ReplayClient* theClient = [] {
    replay::atExit = [] {
        if (theClient != nullptr) theClient->stopAtExit();
    };
    auto* client = new replay::ReplayClient;
    replay::controlled.store(client);
    return client;
}();

__attribute__((destructor)) void freeClientAtUnload();

}  // namespace

__attribute__((visibility("default"))) TellivarClient* pTellivarClient = theClient;

namespace {

void freeClientAtUnload() {
    pTellivarClient = nullptr;
    delete std::exchange(theClient, nullptr);
}

}  // namespace
