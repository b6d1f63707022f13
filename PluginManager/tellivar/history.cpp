#include "PluginManager/tellivar/init.h"

data::HistorySupplier* TellivarInterface::createHistorySupplier(data::SupplierRequest*, data::HistoryConsumer*,
                                                                data::RequestContext*) {
    return nullptr;
}
