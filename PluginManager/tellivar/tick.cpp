#include "PluginManager/tellivar/init.h"

data::TickSupplier* TellivarInterface::createTickSupplier(data::SupplierRequest*, data::TickConsumer*,
                                                          data::RequestContext*) {
    return nullptr;
}
