#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "PluginManager/tellivar/init.h"
#include "support/test_support.h"

class DictionaryTest : public ::testing::Test {
protected:
    void SetUp() override { factory = std::make_unique<TellivarInterfaceFactory>(); }

    FakeFeedScope feed;
    std::unique_ptr<TellivarInterfaceFactory> factory;
};

TEST_F(DictionaryTest, ShouldNameIdsByTheirLongName) {
    EXPECT_EQ(fieldNameById(10), "Volume");
    EXPECT_EQ(fieldNameById(27), "TradeTime");
    EXPECT_EQ(fieldNameById(61), "BidAskSpread");
    EXPECT_EQ(fieldNameById(100), "DividendYield");
}

TEST_F(DictionaryTest, ShouldGiveEmptyNameForIdsWithoutRowAndForId41) {
    for (std::int16_t id : {5, -1, 41, 30, 52, 60, 62, 63, 101, 255}) {
        EXPECT_EQ(fieldNameById(id), "") << id;
    }
}

TEST_F(DictionaryTest, ShouldFindIdsByExactLongName) {
    std::int16_t id = -1;
    ASSERT_TRUE(findFieldIdByName("VWAP", id));
    EXPECT_EQ(id, 51);
    ASSERT_TRUE(findFieldIdByName("TickVolAtAsk", id));
    EXPECT_EQ(id, 42);
    ASSERT_TRUE(findFieldIdByName("", id));
    EXPECT_EQ(id, 41);
}

TEST_F(DictionaryTest, ShouldNotFindShortNamesOtherCaseOrClose) {
    std::int16_t id = 77;
    EXPECT_FALSE(findFieldIdByName("Close", id));
    EXPECT_FALSE(findFieldIdByName("volume", id));
    EXPECT_FALSE(findFieldIdByName("V", id));
    EXPECT_FALSE(findFieldIdByName("TR", id));
    EXPECT_EQ(id, 77) << "a miss leaves the id alone";
}

TEST_F(DictionaryTest, ShouldMapOnlyTheFiveBarLetters) {
    ASSERT_NE(findHistoryField("C"), nullptr);
    EXPECT_EQ(*findHistoryField("C"), "Close");
    EXPECT_EQ(*findHistoryField("O"), "Open");
    EXPECT_EQ(*findHistoryField("V"), "Volume");
    EXPECT_EQ(findHistoryField("Open"), nullptr);
    EXPECT_EQ(findHistoryField("c"), nullptr);
    EXPECT_EQ(findHistoryField(""), nullptr);
}

TEST_F(DictionaryTest, ShouldKeepTableRowsUniqueAndInRange) {
    std::set<int> ids;
    std::set<std::string> longNames;
    std::set<std::string> shortNames;
    for (const FieldEntry& row : FieldTable) {
        EXPECT_GE(row.id, 0);
        EXPECT_LE(row.id, 100);
        ids.insert(row.id);
        longNames.insert(row.longName);
        shortNames.insert(row.shortName);
        EXPECT_LE(std::string(row.longName).size(), 21U) << row.longName;
    }
    EXPECT_EQ(ids.size(), kFieldTableSize);
    EXPECT_EQ(longNames.size(), kFieldTableSize);
    EXPECT_EQ(shortNames.size(), kFieldTableSize);
    EXPECT_EQ(FieldTable[0].id, 27);
    EXPECT_EQ(FieldTable[kFieldTableSize - 1].id, 61);
}

TEST_F(DictionaryTest, ShouldLeaveMapsUnchangedByASecondFactoryAndByLookups) {
    const auto byId = FieldNameById;
    const auto byName = FieldIdByName;
    auto second = std::make_unique<TellivarInterfaceFactory>();
    std::int16_t id = 0;
    findFieldIdByName("NoSuchField", id);
    fieldNameById(5);
    findHistoryField("X");
    EXPECT_EQ(FieldNameById.size(), 95U);
    EXPECT_EQ(FieldIdByName.size(), 95U);
    EXPECT_EQ(HistoryFieldNames.size(), 5U);
    EXPECT_EQ(FieldNameById, byId);
    EXPECT_EQ(FieldIdByName, byName);
}
