#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "PluginManager/tellivar/init.h"
#include "support/test_support.h"

namespace {

class FactoryTest : public ::testing::Test {
protected:
    FakeFeedScope feed;
    std::unique_ptr<TellivarInterfaceFactory> factory = std::make_unique<TellivarInterfaceFactory>();
    data::DataInterfaceFactory& host = *factory;  // the face the host sees
};

}  // namespace

TEST_F(FactoryTest, ShouldStoreAndReturnTheTwoCredentialKeys) {
    EXPECT_STREQ(host.getSetting("Username"), "");
    EXPECT_STREQ(host.getSetting("Password"), "");
    EXPECT_EQ(host.setSetting("Username", "alice"), 0);
    EXPECT_EQ(host.setSetting("Password", "s3cret"), 0);
    EXPECT_STREQ(host.getSetting("Username"), "alice");
    EXPECT_STREQ(host.getSetting("Password"), "s3cret");
    EXPECT_EQ(host.setSetting("Password", ""), 0);
    EXPECT_STREQ(host.getSetting("Password"), "");
}

TEST_F(FactoryTest, ShouldIgnoreOtherKeysAndOtherCase) {
    host.setSetting("Username", "alice");
    EXPECT_EQ(host.setSetting("username", "bob"), 0);
    EXPECT_EQ(host.setSetting("Server", "x"), 0);
    EXPECT_STREQ(host.getSetting("Username"), "alice");
    EXPECT_EQ(host.getSetting("username"), nullptr);
    EXPECT_EQ(host.getSetting("Server"), nullptr);
    EXPECT_EQ(host.getSetting(""), nullptr);
}

TEST_F(FactoryTest, ShouldTolerateNullKeysAndValues) {
    host.setSetting("Username", "alice");
    EXPECT_EQ(host.setSetting(nullptr, "x"), 0);
    EXPECT_EQ(host.setSetting("Username", nullptr), 0);
    EXPECT_STREQ(host.getSetting("Username"), "alice");
    EXPECT_EQ(host.getSetting(nullptr), nullptr);
    EXPECT_TRUE(feed.client().calls().empty());
}

TEST_F(FactoryTest, ShouldAnswerTheConstantOperations) {
    EXPECT_EQ(host.checkSetting(nullptr), 1);
    EXPECT_EQ(host.checkSetting(&host), 1);
    EXPECT_STREQ(host.displayName(), "Tellivar");
    EXPECT_EQ(host.ability(), &factory->abilityRecord);
}

TEST_F(FactoryTest, ShouldDescribeTheProviderInItsAbilityRecord) {
    data::ProviderAbility* ability = host.ability();
    EXPECT_STREQ(ability->abilityLetters(), "MWDm");
    EXPECT_TRUE(ability->capabilityFlag1());
    EXPECT_TRUE(ability->capabilityFlag2());
    EXPECT_TRUE(ability->capabilityFlag3());
    EXPECT_TRUE(ability->capabilityFlag4());
    EXPECT_TRUE(ability->capabilityFlag5());
    EXPECT_FALSE(ability->isOnline());
    EXPECT_EQ(factory->abilityRecord.providerName, "Tellivar");

    const std::int32_t* table = ability->intervalTable(0);
    EXPECT_EQ(ability->intervalTable(-7), table);
    const std::vector<std::int32_t> expected{1, 1, 2, 2, 3, 3, 5, 5, 10, 10, 15, 15, 30, 30, 60, 60, 0, 0};
    EXPECT_EQ(std::vector<std::int32_t>(table, table + expected.size()), expected);
}

TEST(AbilityRecord, ShouldStartWithItsOwnDefaults) {
    data::Ability_impl record;
    EXPECT_FALSE(record.isOnline());
    EXPECT_EQ(record.providerName, "");
    const std::int32_t* table = record.intervalTable(0);
    EXPECT_EQ(std::vector<std::int32_t>(table, table + 4), (std::vector<std::int32_t>{1, 1, 0, 0}));
}

TEST_F(FactoryTest, ShouldKeepListenersUniqueAndInOrder) {
    RecordingListener a, b, c, stranger;
    std::vector<std::string> order;
    for (auto [listener, tag] : {std::pair{&a, "a"}, {&b, "b"}, {&c, "c"}}) {
        listener->order = &order;
        listener->tag = tag;
    }
    data::ProviderAbility* ability = host.ability();
    ability->addListener(&a);
    ability->addListener(&b);
    ability->addListener(&a);
    ability->addListener(&c);
    ability->removeListener(&stranger);
    EXPECT_EQ(factory->abilityRecord.listeners, (std::vector<data::AbilityListener*>{&a, &b, &c}));

    ability->removeListener(&b);
    factory->abilityRecord.notifyListeners();
    EXPECT_EQ(order, (std::vector<std::string>{"a", "c"}));
    ASSERT_EQ(a.calls().size(), 1U);
    EXPECT_EQ(a.calls()[0].providerName, "Tellivar");
    EXPECT_EQ(a.calls()[0].ability, ability);
    EXPECT_TRUE(b.calls().empty());
}

TEST_F(FactoryTest, ShouldCreateInterfacesWithoutConnecting) {
    FakeContext first, second;
    std::unique_ptr<data::DataInterface> one(host.createDataInterface(&first));
    std::unique_ptr<data::DataInterface> two(host.createDataInterface(&second));
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_NE(one.get(), two.get());
    EXPECT_EQ(static_cast<TellivarInterface*>(one.get())->factory, factory.get());
    EXPECT_EQ(factory->requestContext, &second);
    EXPECT_TRUE(feed.client().calls().empty());
    EXPECT_EQ(factory->session.state(), nullptr);
}

TEST_F(FactoryTest, ShouldOnlyDisconnectWhenToldToDisconnectWithoutSession) {
    FakeContext context;
    host.connectionControl(&context, false);
    EXPECT_EQ(feed.client().calls(), (std::vector<std::string>{"Disconnect"}));
    EXPECT_EQ(factory->session.state(), nullptr);
    EXPECT_EQ(factory->requestContext, &context);
    EXPECT_TRUE(context.log.lines().empty());
}

TEST_F(FactoryTest, ShouldMakeNoFeedCallWhenDestroyedWithoutSession) {
    factory.reset();
    EXPECT_TRUE(feed.client().calls().empty());
}

TEST(FactoryEntry, ShouldGiveEachCallItsOwnFactory) {
    FakeFeedScope feed;
    std::unique_ptr<data::DataInterfaceFactory> one(init_data_interface());
    std::unique_ptr<data::DataInterfaceFactory> two(init_data_interface());
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    one->setSetting("Username", "alice");
    two->setSetting("Username", "bob");
    EXPECT_STREQ(one->getSetting("Username"), "alice");
    EXPECT_STREQ(two->getSetting("Username"), "bob");
    EXPECT_NE(one->ability(), two->ability());
    EXPECT_EQ(FieldNameById.size(), 95U);
}

TEST(FactoryEntry, ShouldReleaseItselfThroughSlotSeven) {
    FakeFeedScope feed;
    data::DataInterfaceFactory* factory = init_data_interface();
    FakeContext context;
    factory->connectionControl(&context, true);
    feed.client().clearCalls();
    factory->release();  // frees the factory; the session's end shows in the journal
    EXPECT_EQ(feed.client().calls(), (std::vector<std::string>{"Disconnect", "Shutdown"}));
}

TEST(SettingsPanel, ShouldBeOneLineOfXrcWithTheTwoInputControls) {
    FakeFeedScope feed;
    TellivarInterfaceFactory factory;
    const std::string panel = factory.settingsPanel();
    EXPECT_EQ(panel.find('\n'), std::string::npos);
    EXPECT_EQ(panel.find("><"), panel.find("?><resource>") + 1);
    EXPECT_EQ(panel.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0U);
    EXPECT_NE(panel.find("<object class=\"wxPanel\" name=\"Tellivar\">"), std::string::npos);
    EXPECT_NE(panel.find("<label>Please, insert here user name and password for tellivar</label>"),
              std::string::npos);
    EXPECT_NE(panel.find("<object class=\"ovkTextCtrl\" name=\"Username\"><size>200,-1</size>"
                         "<value>login name</value></object>"),
              std::string::npos);
    EXPECT_NE(panel.find("<object class=\"Passwordfield\" name=\"Password\"><size>200,-1</size>"),
              std::string::npos);
    const std::string valueTag = "name=\"Password\"><size>200,-1</size><value>";
    const std::size_t placeholder = panel.find(valueTag) + valueTag.size();
    const std::string word = panel.substr(placeholder, panel.find('<', placeholder) - placeholder);
    EXPECT_EQ(word.size(), 8U);
    EXPECT_TRUE(std::all_of(word.begin(), word.end(), [](char c) { return c >= 'a' && c <= 'z'; })) << word;
    // Three sizer items in the vertical sizer, two in each horizontal one.
    std::size_t items = 0;
    for (std::size_t at = panel.find("class=\"sizeritem\""); at != std::string::npos;
         at = panel.find("class=\"sizeritem\"", at + 1)) {
        ++items;
    }
    EXPECT_EQ(items, 7U);
    EXPECT_NE(panel.find("<object class=\"wxStaticText\" name=\"ID_TELLIVAR_USERNAME\"><size>100,-1</size>"
                         "<label>user name:</label>"),
              std::string::npos);
    EXPECT_NE(panel.find("<object class=\"wxStaticText\" name=\"ID_TELLIVAR_PASSWORD\"><size>100,-1</size>"
                         "<label>password:</label>"),
              std::string::npos);
    EXPECT_EQ(panel.substr(panel.size() - 11), "</resource>");
}
