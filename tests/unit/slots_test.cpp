// The host and the feed call every class through its virtual table, so each
// operation must sit in its contract slot. Under the Itanium ABI a pointer to
// a virtual member function holds 1 + the byte offset of its vtable entry.
// A virtual destructor fills two entries but counts as one slot.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "PluginManager/tellivar/init.h"

namespace {

template <typename Pmf>
std::size_t vtableIndex(Pmf pmf) {
    static_assert(sizeof(Pmf) == 2 * sizeof(std::uintptr_t), "Itanium member function pointer");
    std::uintptr_t raw[2];
    std::memcpy(raw, &pmf, sizeof raw);
    EXPECT_EQ(raw[0] & 1U, 1U) << "not a virtual member function";
    return (raw[0] - 1) / sizeof(void*);
}

// Vtable entry of a contract slot that comes after a virtual destructor.
constexpr std::size_t afterDestructor(std::size_t slot) { return slot + 1; }

}  // namespace

TEST(SlotOrder, ShouldKeepFactorySlots) {
    using F = data::DataInterfaceFactory;
    EXPECT_EQ(vtableIndex(&F::settingsPanel), 0U);
    EXPECT_EQ(vtableIndex(&F::setSetting), 1U);
    EXPECT_EQ(vtableIndex(&F::checkSetting), 2U);
    EXPECT_EQ(vtableIndex(&F::getSetting), 3U);
    EXPECT_EQ(vtableIndex(&F::displayName), 4U);
    EXPECT_EQ(vtableIndex(&F::ability), 5U);
    EXPECT_EQ(vtableIndex(&F::createDataInterface), 6U);
    EXPECT_EQ(vtableIndex(&F::release), 7U);
    EXPECT_EQ(vtableIndex(&F::connectionControl), 8U);
    // The plug-in's overrides reuse the same entries.
    EXPECT_EQ(vtableIndex(&TellivarInterfaceFactory::connectionControl), 8U);
}

TEST(SlotOrder, ShouldKeepAbilitySlots) {
    using A = data::ProviderAbility;
    EXPECT_EQ(vtableIndex(&A::abilityLetters), 0U);
    EXPECT_EQ(vtableIndex(&A::intervalTable), 1U);
    EXPECT_EQ(vtableIndex(&A::capabilityFlag1), 2U);
    EXPECT_EQ(vtableIndex(&A::capabilityFlag5), 6U);
    EXPECT_EQ(vtableIndex(&A::isOnline), 7U);
    EXPECT_EQ(vtableIndex(&A::addListener), 8U);
    EXPECT_EQ(vtableIndex(&A::removeListener), 9U);
    EXPECT_EQ(vtableIndex(&data::Ability_impl::removeListener), 9U);
}

TEST(SlotOrder, ShouldKeepInterfaceAndSupplierSlots) {
    EXPECT_EQ(vtableIndex(&data::DataInterface::createHistorySupplier), afterDestructor(1));
    EXPECT_EQ(vtableIndex(&data::DataInterface::createTickSupplier), afterDestructor(2));
    EXPECT_EQ(vtableIndex(&data::DataInterface::createUpdateSupplier), afterDestructor(3));
    EXPECT_EQ(vtableIndex(&data::HistorySupplier::makeIterator), afterDestructor(1));
    EXPECT_EQ(vtableIndex(&data::HistorySupplier::makeReverseIterator), afterDestructor(2));
    EXPECT_EQ(vtableIndex(&data::TickSupplier::getTime), afterDestructor(1));
    EXPECT_EQ(vtableIndex(&data::TickSupplier::getValue), afterDestructor(2));
    EXPECT_EQ(vtableIndex(&data::TickSupplier::hasValue), afterDestructor(3));
    EXPECT_EQ(vtableIndex(&data::TickIterator::isValid), afterDestructor(4));
    EXPECT_EQ(vtableIndex(&data::TickIterator::setOption), afterDestructor(5));
    EXPECT_EQ(vtableIndex(&data::TickIterator::next), afterDestructor(6));
}

TEST(SlotOrder, ShouldKeepHostObjectSlots) {
    EXPECT_EQ(vtableIndex(&data::HostLogger::status), 0U);
    EXPECT_EQ(vtableIndex(&data::HostLogger::error), 2U);
    EXPECT_EQ(vtableIndex(&data::HostLogger::info), 4U);
    EXPECT_EQ(vtableIndex(&data::RequestContext::logger), 0U);
    EXPECT_EQ(vtableIndex(&data::NameList::count), 1U);
    EXPECT_EQ(vtableIndex(&data::NameList::at), 2U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::intervalNumber), 4U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::intervalType), 5U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::intervalMultiple), 6U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::intervalLetter), 7U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::endTime), 10U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::recordCount), 15U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::fieldNames), 16U);
    EXPECT_EQ(vtableIndex(&data::SupplierRequest::symbol), 18U);
    EXPECT_EQ(vtableIndex(&data::AbilityListener::abilityChanged), 0U);
    EXPECT_EQ(vtableIndex(&data::HistoryConsumer::historyReady), 1U);
    EXPECT_EQ(vtableIndex(&data::TickConsumer::ticksChanged), 1U);
}

TEST(SlotOrder, ShouldKeepFeedSinkSlots) {
    EXPECT_EQ(vtableIndex(&EConnectStatus::onSendCredentials), 0U);
    EXPECT_EQ(vtableIndex(&EConnectStatus::onLogon), 1U);
    EXPECT_EQ(vtableIndex(&EConnectStatus::onLogOff), 2U);
    EXPECT_EQ(vtableIndex(&EConnectStatus::onReady), 3U);
    EXPECT_EQ(vtableIndex(&EConnectStatus::onMessage), 4U);
    EXPECT_EQ(vtableIndex(&TellivarState::onMessage), 4U);
    EXPECT_EQ(vtableIndex(&ITRecSetSink::onRecordSetEvent), 0U);
    EXPECT_EQ(vtableIndex(&ISSSetSink::onSnapshotUpdate), 1U);
}
