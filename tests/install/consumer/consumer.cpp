// Uses an installed Tellivar the three ways a developer would: the contract
// headers, the linked stand-in feed library, and the plug-in loaded with dlopen.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "feed/TellivarClient.h"
#include "host/data.h"
#include "simfeed/control.h"

int main() {
    int year = 0, month = 0, day = 0;
    if (pTellivarClient != nullptr) pTellivarClient->GetYMD(pTellivarClient->MakeTime(2024, 3, 5, 0, 0, 0), &year, &month, &day);
    if (year != 2024 || month != 3 || day != 5) {
        std::puts("consumer: stand-in feed unusable");
        return 1;
    }
    void* library = dlopen(TELLIVAR_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    auto init = library != nullptr ? reinterpret_cast<InitDataInterfaceFn>(dlsym(library, "init_data_interface")) : nullptr;
    data::DataInterfaceFactory* factory = init != nullptr ? init() : nullptr;
    if (factory == nullptr || std::strcmp(factory->displayName(), "Tellivar") != 0) {
        std::printf("consumer: plug-in %s unusable: %s\n", TELLIVAR_PLUGIN, library == nullptr ? dlerror() : "no factory");
        return 1;
    }
    std::printf("consumer: %s loaded, %d feed sets\n", factory->displayName(), simfeed_live_sets());
    factory->release();
    return 0;
}
