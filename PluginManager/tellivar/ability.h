// The provider's ability record: what it can do, whether it is online, and
// the host's listeners to tell when that changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "host/data.h"

namespace data {

// Held by value in the factory, which fills in the letters, flags, table and
// name; the session sets `online`. The listener list is read on the feed
// thread without a lock: the host changes it only while no connection
// callback can run.
class Ability_impl : public ProviderAbility {
public:
    Ability_impl();

    const char* abilityLetters() override;
    const std::int32_t* intervalTable(int unused) override;
    bool capabilityFlag1() override;
    bool capabilityFlag2() override;
    bool capabilityFlag3() override;
    bool capabilityFlag4() override;
    bool capabilityFlag5() override;
    bool isOnline() override;
    void addListener(AbilityListener* listener) override;
    void removeListener(AbilityListener* listener) override;

    // Sets `online`, then tells every listener. Feed thread (the session's
    // logon, ready and log-off callbacks).
    void setOnline(bool value);
    // Tells every listener, in list order, with the provider name and this record.
    void notifyListeners();

    const char* letters;                    // abilityLetters
    bool capability[5];                     // capability flags 1 to 5
    std::atomic<bool> online;               // written on the feed thread, read by the host on any
    const std::int32_t* table;              // intervalTable: pairs ending (0, 0)
    std::string providerName;
    std::vector<AbilityListener*> listeners;  // not owned
};

}  // namespace data
