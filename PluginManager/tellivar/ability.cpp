// The provider's ability record.
#include "PluginManager/tellivar/ability.h"

#include <algorithm>

namespace {

// The record's own table until the factory replaces it.
constexpr std::int32_t kDefaultIntervalTable[] = {1, 1, 0, 0};

}  // namespace

namespace data {

Ability_impl::Ability_impl()
    : letters(""), capability{false, false, false, false, false}, online(false), table(kDefaultIntervalTable) {}

const char* Ability_impl::abilityLetters() { return letters; }
const std::int32_t* Ability_impl::intervalTable(int) { return table; }
bool Ability_impl::capabilityFlag1() { return capability[0]; }
bool Ability_impl::capabilityFlag2() { return capability[1]; }
bool Ability_impl::capabilityFlag3() { return capability[2]; }
bool Ability_impl::capabilityFlag4() { return capability[3]; }
bool Ability_impl::capabilityFlag5() { return capability[4]; }
bool Ability_impl::isOnline() { return online.load(); }

void Ability_impl::addListener(AbilityListener* listener) {
    if (std::find(listeners.begin(), listeners.end(), listener) == listeners.end()) listeners.push_back(listener);
}

void Ability_impl::removeListener(AbilityListener* listener) {
    const auto it = std::find(listeners.begin(), listeners.end(), listener);
    if (it != listeners.end()) listeners.erase(it);
}

void Ability_impl::setOnline(bool value) {
    online = value;
    notifyListeners();
}

void Ability_impl::notifyListeners() {
    for (AbilityListener* listener : listeners) listener->abilityChanged(providerName.c_str(), this);
}

}  // namespace data
