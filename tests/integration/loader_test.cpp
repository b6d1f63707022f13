// Loads the built plug-in the way a host does, several times in one process.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "feed/TellivarClient.h"
#include "host/data.h"
#include "support/host_fakes.h"

TEST(PluginLoader, ShouldFindOnlyTheEntryPointAndSurviveRepeatedLoads) {
    for (int round = 0; round < 3; ++round) {
        void* library = dlopen(TELLIVAR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto init = reinterpret_cast<InitDataInterfaceFn>(dlsym(library, "init_data_interface"));
        ASSERT_NE(init, nullptr) << dlerror();
        EXPECT_EQ(dlsym(library, "_ZN24TellivarInterfaceFactoryC1Ev"), nullptr) << "internals must stay hidden";
        EXPECT_EQ(dlsym(library, "FieldTable"), nullptr);

        data::DataInterfaceFactory* factory = init();
        ASSERT_NE(factory, nullptr);
        EXPECT_STREQ(factory->displayName(), "Tellivar");
        factory->setSetting("Username", "demo");
        QuietContext context;
        data::DataInterface* iface = factory->createDataInterface(&context);
        ASSERT_NE(iface, nullptr);
        if (pTellivarClient != nullptr) factory->connectionControl(&context, true);
        delete iface;
        factory->release();
        EXPECT_EQ(dlclose(library), 0);
    }
}
