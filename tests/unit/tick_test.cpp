#include <stdexcept>

#include "PluginManager/tellivar/acelog.h"
#include "support/heap_count.h"
#include "support/host_fakes.h"
#include "tick_fixture.h"

namespace {
const LogLine kSubscriptionLine{"info", kTickSubscriptionText, "", 0};
const LogLine kSetupLine{"info", kTickSetupText, "", 0};
const LogLine kArrivesLine{"info", kTickArrivesText, "", 0};
const LogLine kSendedLine{"info", kTickSendedText, "", 0};
LogLine exceptionLine(const char* text) { return {"info", kTickExceptionText, text, 0}; }

const AceRecord kFinishedRecord{"PluginManager/tellivar/tick", 126, 0, LM_DEBUG, "date processing finished"};

constexpr short kOpen = 0, kHigh = 1, kLow = 2, kBid = 6, kAsk = 7;
}  // namespace

// ---- Creation ----------------------------------------------------------------------------

TEST_F(TickTest, ShouldSubscribeWithTheSymbolTextAndPublishTheCompleteSupplier) {
    request.symbolText = std::string("@ES#C, x\tY\xE9");
    feed.client().prepareSnapshotSet = [](FakeSnapshotSet& s) {
        s.values[kOpen] = 12.5;
        // The feed may call back as soon as Init runs: every field must already be subscribed.
        s.onInit = [](FakeSnapshotSet& self) { self.fireUpdate({}); };
    };
    data::TickSupplier* result = create({"Open"});
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(set().symbol, "@ES#C, x\tY\xE9");
    EXPECT_EQ(feed.client().callsStartingWith("CreateSnapshotSet"), Calls{"CreateSnapshotSet(@ES#C, x\tY\xE9)"});
    EXPECT_EQ(set().sink, static_cast<ISSSetSink*>(&tick().relay));
    EXPECT_EQ(static_cast<data::TickSupplier*>(&tick()), result);
    EXPECT_EQ(feed.client().countOf("set1.Init"), 1U);
    EXPECT_EQ(tick().values.at("Open"), 12.5);  // loaded by the callback fired inside Init
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kSubscriptionLine, kArrivesLine, kSetupLine}));
}

TEST_F(TickTest, ShouldReturnNullAndLogOnceWhenTheFeedRejectsTheSymbol) {
    feed.client().rejectNextCreate = true;
    EXPECT_EQ(create({"Open"}), nullptr);
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kSubscriptionLine, exceptionLine("CreateSnapshotSet failed")}));
    EXPECT_EQ(feed.client().calls(), Calls{"CreateSnapshotSet(XYZ)"});
}

TEST_F(TickTest, ShouldFailWithoutAFeedCallWhenTheSymbolIsNull) {
    request.symbolText = std::nullopt;
    EXPECT_EQ(create({"Open"}), nullptr);
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kSubscriptionLine, exceptionLine("CreateSnapshotSet failed")}));
    EXPECT_TRUE(feed.client().calls().empty());
}

TEST_F(TickTest, ShouldDeleteTheSetOnceWhenInitThrowsAText) {
    feed.client().prepareSnapshotSet = [](FakeSnapshotSet& s) { s.onInit = [](FakeSnapshotSet&) { throw "feed down"; }; };
    EXPECT_EQ(create({"Open"}), nullptr);
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kSubscriptionLine, exceptionLine("feed down")}));
    EXPECT_EQ(feed.client().calls(), (Calls{"CreateSnapshotSet(XYZ)", "set1.Init", "DeleteSnapshotSet(set1)"}));
}

TEST_F(TickTest, ShouldDeleteTheSetOnceWhenTheSupplierIsNotYetBuilt) {
    ThrowingContext failing(2);  // the logger asked for the supplier's hostLogger fails
    EXPECT_EQ(create({"Open"}, &failing), nullptr);
    EXPECT_EQ(failing.log.lines(), (std::vector<LogLine>{kSubscriptionLine, exceptionLine("logger unavailable")}));
    EXPECT_EQ(feed.client().calls(), (Calls{"CreateSnapshotSet(XYZ)", "DeleteSnapshotSet(set1)"}));
}

TEST_F(TickTest, ShouldReturnALiveSupplierWhenInitAnswersFalse) {
    feed.client().prepareSnapshotSet = [](FakeSnapshotSet& s) { s.initResult = false; };
    ASSERT_NE(create({"Open"}), nullptr);
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kSubscriptionLine, kSetupLine}));
    supplier.reset();
    EXPECT_EQ(feed.client().countOf("DeleteSnapshotSet(set1)"), 1U);
    EXPECT_TRUE(feed.client().snapshotSet(0)->deleted);
}

TEST_F(TickTest, ShouldSubscribeOnlyToKnownLongNamesOnce) {
    ASSERT_NE(create({"Open", "Open", "High", "open", "O", "Close", "TR", std::nullopt, "Bid"}), nullptr);
    EXPECT_EQ(subscribedIds(), (std::vector<std::int16_t>{kOpen, kHigh, kBid}));
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kSubscriptionLine, kSetupLine}));
}

TEST_F(TickTest, ShouldStoreTheEmptyNamedFieldUnderTheEmptyName) {
    ASSERT_NE(create({""}), nullptr);
    EXPECT_EQ(subscribedIds(), std::vector<std::int16_t>{41});
    set().values[41] = 3.0;
    set().fireUpdate({41});
    EXPECT_EQ(consumer.count.load(), 1);
    EXPECT_TRUE(supplier->hasValue(""));
    EXPECT_EQ(supplier->getValue(""), 3.0);
}

TEST_F(TickTest, ShouldOnlyRefreshTheTimeWithoutSubscribedFields) {
    ASSERT_NE(create({}), nullptr);
    EXPECT_TRUE(subscribedIds().empty());
    set().values[kOpen] = 1.0;
    set().dwords[27] = FakeFeedClient::timeOf(2010, 1, 2, 3, 4, 5);
    set().fireUpdate({kOpen, kHigh});
    EXPECT_EQ(supplier->getTime()->tm_min, 4);
    EXPECT_TRUE(tick().values.empty());
    EXPECT_EQ(consumer.count.load(), 0);
}

// ---- Updates --------------------------------------------------------------------------------

TEST_F(TickTest, ShouldLoadEveryValuedFieldOnTheFirstCallbackWithoutNotifying) {
    ASSERT_NE(create({"Open", "High", "Low"}), nullptr);
    set().values = {{kOpen, 1.5}, {kLow, 2.5}, {kBid, 9.0}};
    feed.client().clearCalls();
    context.log.clear();
    set().fireUpdate({});
    EXPECT_EQ(feed.client().calls(), (Calls{"set1.EnterRead", "set1.GetDouble(0)", "set1.GetDouble(1)",
                                            "set1.GetDouble(2)", "set1.GetDWord(27)", "set1.LeaveRead"}));
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"Low", "Open"}));
    EXPECT_EQ(tick().values["Open"], 1.5);
    EXPECT_EQ(consumer.count.load(), 0);
    EXPECT_EQ(context.log.lines(), std::vector<LogLine>{kArrivesLine});
    EXPECT_EQ(ace.records(), std::vector<AceRecord>{kFinishedRecord});

    // Later callbacks no longer load unchanged fields.
    feed.client().clearCalls();
    set().fireUpdate({});
    EXPECT_EQ(feed.client().callsStartingWith("set1.GetDouble"), Calls{});
}

TEST_F(TickTest, ShouldNotifyNoOneForUnsubscribedOrValuelessChanges) {
    ASSERT_NE(create({"Open", "High"}), nullptr);
    set().values = {{kOpen, 1.0}, {kBid, 2.0}};
    set().fireUpdate({});
    ace.clear();
    context.log.clear();
    set().values[kBid] = 3.0;
    set().dwords[27] = FakeFeedClient::timeOf(2001, 2, 3, 4, 5, 6);
    set().fireUpdate({kBid, kHigh, 255});  // unsubscribed, subscribed without value, unknown
    EXPECT_EQ(consumer.count.load(), 0);
    EXPECT_EQ(storedNames(), std::vector<std::string>{"Open"});
    EXPECT_EQ(supplier->getTime()->tm_year, 101);
    EXPECT_EQ(context.log.lines(), std::vector<LogLine>{kArrivesLine});
    EXPECT_EQ(ace.records(), std::vector<AceRecord>{kFinishedRecord});
}

TEST_F(TickTest, ShouldNotifyOnceWithBothValuesReadableInsideTheNotification) {
    ASSERT_NE(create({"Bid", "Ask"}), nullptr);
    set().fireUpdate({});
    set().values = {{kBid, 10.25}, {kAsk, 10.5}};
    double bid = 0, ask = 0;
    int readDepth = -1;
    consumer.onTicks = [&](data::TickSupplier* s) {
        bid = s->getValue("Bid");
        ask = s->getValue("Ask");
        readDepth = set().readDepth;
    };
    context.log.clear();
    feed.client().clearCalls();
    set().fireUpdate({kBid, kAsk, kBid});  // a repeated id is read again
    EXPECT_EQ(consumer.count.load(), 1);
    EXPECT_EQ(consumer.lastSupplier.load(), supplier.get());
    EXPECT_EQ(bid, 10.25);
    EXPECT_EQ(ask, 10.5);
    EXPECT_EQ(readDepth, 1);  // the set's read lock is held around the notification
    EXPECT_EQ(feed.client().countOf("set1.GetDouble(6)"), 2U);
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kArrivesLine, kSendedLine}));
}

TEST_F(TickTest, ShouldClearAndFillTheTradeTimeFromFieldTwentySeven) {
    ASSERT_NE(create({"Open"}), nullptr);
    tick().tradeTime = {1, 1, 1, 1, 1, 1, 6, 200, 1};
    set().dwords[27] = FakeFeedClient::timeOf(2004, 3, 5, 14, 7, 9);
    set().fireUpdate({});
    const data::CalendarRecord* time = supplier->getTime();
    EXPECT_EQ(time, &tick().tradeTime);
    const std::vector<int> fields{time->tm_sec,  time->tm_min,  time->tm_hour, time->tm_mday, time->tm_mon,
                                  time->tm_year, time->tm_wday, time->tm_yday, time->tm_isdst};
    EXPECT_EQ(fields, (std::vector<int>{9, 7, 14, 5, 2, 104, 0, 0, 0}));
}

TEST_F(TickTest, ShouldLogATextExceptionAndKeepWhatWasStored) {
    ASSERT_NE(create({"Open", "High"}), nullptr);
    set().values = {{kOpen, 1.0}, {kHigh, 2.0}};
    set().fireUpdate({});
    ace.clear();
    context.log.clear();
    set().values = {{kOpen, 5.0}, {kHigh, 6.0}};
    consumer.onTicks = [](data::TickSupplier*) { throw "consumer broke"; };
    EXPECT_NO_THROW(set().fireUpdate({kOpen, kHigh}));
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kArrivesLine, kSendedLine, exceptionLine("consumer broke")}));
    EXPECT_TRUE(ace.records().empty());
    EXPECT_EQ(set().readDepth.load(), 0);
    EXPECT_EQ(tick().values["Open"], 5.0);
    EXPECT_EQ(tick().values["High"], 6.0);

    // A feed fault inside the read is handled the same way, and the lock is free again.
    set().throwOnRead = "read fault";
    context.log.clear();
    set().fireUpdate({kOpen});
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kArrivesLine, exceptionLine("read fault")}));
    EXPECT_EQ(set().readDepth.load(), 0);
}

TEST_F(TickTest, ShouldSwallowOtherExceptionsAndStillWriteTheRecord) {
    ASSERT_NE(create({"Open"}), nullptr);
    set().fireUpdate({});
    ace.clear();
    context.log.clear();
    set().values[kOpen] = 4.0;
    consumer.onTicks = [](data::TickSupplier*) { throw std::runtime_error("not a text"); };
    EXPECT_NO_THROW(set().fireUpdate({kOpen}));
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{kArrivesLine, kSendedLine}));
    EXPECT_EQ(ace.records(), std::vector<AceRecord>{kFinishedRecord});
    EXPECT_EQ(set().readDepth.load(), 0);
    EXPECT_EQ(tick().values["Open"], 4.0);
}

// ---- Values ---------------------------------------------------------------------------------

TEST_F(TickTest, ShouldInsertAbsentNamesOnGetValueOnly) {
    ASSERT_NE(create({"Open"}), nullptr);
    set().values[kOpen] = 7.0;
    set().fireUpdate({});
    EXPECT_FALSE(supplier->hasValue("Volume"));
    EXPECT_FALSE(supplier->hasValue("O"));
    EXPECT_EQ(supplier->getValue("O"), 0.0);  // short names are never stored
    EXPECT_TRUE(supplier->hasValue("O"));
    EXPECT_FALSE(supplier->hasValue("open"));
    EXPECT_EQ(supplier->getValue("Open"), 7.0);
    EXPECT_EQ(supplier->getValue(nullptr), 0.0);
    EXPECT_FALSE(supplier->hasValue(nullptr));
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"O", "Open"}));
}

TEST_F(TickTest, ShouldOverwriteAnEntryThatGetValueAddedFirst) {
    ASSERT_NE(create({"High"}), nullptr);
    EXPECT_EQ(supplier->getValue("High"), 0.0);
    set().values[kHigh] = 8.5;
    set().fireUpdate({});
    EXPECT_EQ(supplier->getValue("High"), 8.5);
    set().values[kHigh] = 9.5;
    set().fireUpdate({kHigh});
    EXPECT_EQ(supplier->getValue("High"), 9.5);
    EXPECT_EQ(storedNames(), std::vector<std::string>{"High"});
}

// ---- Allocation -------------------------------------------------------------------

TEST_F(TickTest, ShouldAllocateNothingOnceEverySubscribedFieldHasAValue) {
    // Names longer than the short-string buffer, so a per-call string would allocate.
    constexpr short kRange = 45, kCap = 98;
    QuietContext quiet;
    ASSERT_NE(create({"Open", "High", "TradeInYearlyRange", "MarketCapitalization"}, &quiet), nullptr);
    set().values = {{kOpen, 1.0}, {kHigh, 2.0}, {kRange, 3.0}, {kCap, 4.0}};
    set().dwords[27] = FakeFeedClient::timeOf(2004, 3, 5, 14, 7, 9);
    double seen = 0;
    bool allPresent = true;
    consumer.onTicks = [&](data::TickSupplier* s) {
        seen = s->getValue("Open") + s->getValue("TradeInYearlyRange");
        allPresent = allPresent && s->hasValue("MarketCapitalization") && s->hasValue("High") &&
                     s->getTime()->tm_sec == 9;
    };
    const std::vector<std::uint8_t> changed{kOpen, kRange, kCap, kLow};
    set().fireUpdate({});  // the first callback inserts every entry
    feed.client().setRecording(false);
    const long before = quiet.log.count;

    // ACE allocates a message buffer for each record it formats; that cost is
    // ACE's own, so it is measured on a bare record and set against the burst.
    // The capture's own bookkeeping is switched off for the measurement.
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    const unsigned long flags = log->flags();
    log->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::CUSTOM);
    writeAceRecord(kTickLogPath, kTickLineFinished, 0, LM_DEBUG, kTickFinishedText);
    long perRecord = 0;
    {
        HeapCount count;
        writeAceRecord(kTickLogPath, kTickLineFinished, 0, LM_DEBUG, kTickFinishedText);
        perRecord = count.allocations();
    }
    long allocations = 0;
    {
        HeapCount count;
        for (int i = 0; i < 500; ++i) {
            set().values[kOpen] = i;
            set().fireUpdate(changed);
        }
        allocations = count.allocations();
    }
    log->set_flags(flags);

    EXPECT_EQ(allocations - 500 * perRecord, 0) << perRecord << " per ACE record";
    EXPECT_EQ(consumer.count.load(), 500);
    EXPECT_EQ(seen, 499.0 + 3.0);
    EXPECT_EQ(tick().values.size(), 4U);
    EXPECT_TRUE(allPresent);
    EXPECT_EQ(quiet.log.count - before, 1000);  // arrives + sended, each callback
}
