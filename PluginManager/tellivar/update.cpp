#include "PluginManager/tellivar/init.h"

data::TickSupplier* TellivarInterface::createUpdateSupplier(data::SupplierRequest*, data::TickConsumer*,
                                                            data::RequestContext*) {
    return nullptr;
}
