// The NATS feed client's one instance and the contract's exported pointer.
#include <utility>

#include "natsfeed/client.h"

namespace {

// Made at load, freed when the library leaves the process.
natsfeed::NatsClient* theClient = [] {
    natsfeed::atExit = [] {
        if (theClient != nullptr) theClient->stopAtExit();
    };
    return new natsfeed::NatsClient;
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
