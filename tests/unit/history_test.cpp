// History supplier: query texts, failure paths, completion, iterators,
// and allocations of a walk.
#include <ace/Log_Priority.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "PluginManager/tellivar/history.h"
#include "PluginManager/tellivar/init.h"
#include "support/heap_count.h"
#include "support/test_support.h"


namespace {

using SupplierPtr = std::unique_ptr<data::HistorySupplier>;

constexpr const char kExceptionFormat[] = "TELLIVAR: Exception - %s \n";

LogLine info(const std::string& format, const std::string& text = "") { return {"info", format, text, 0}; }
LogLine error(const std::string& text) { return {"error", kExceptionFormat, text, 0}; }

std::string hexLow32(const void* p) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)));
    return buffer;
}

FakeBar bar(FeedTime time, double open, double close) { return {time, {{"Open", open}, {"Close", close}}}; }

// Closes of bars 0..n-1 are 10, 11, ...; times a minute apart.
std::vector<FakeBar> bars(int n) {
    std::vector<FakeBar> result;
    for (int i = 0; i < n; ++i) {
        result.push_back(bar(FakeFeedClient::timeOf(2004, 6, 4, 9, 30 + i, 0), 1.0 + i, 10.0 + i));
    }
    return result;
}

std::vector<double> closes(data::TickIterator* it) {
    std::vector<double> result;
    for (; it->isValid() != 0; it->next()) result.push_back(it->getValue("C"));
    return result;
}

}  // namespace

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        factory.connectSession();
        feed.client().lastSink()->onReady();
        feed.client().clearCalls();
    }

    SupplierPtr create() { return SupplierPtr(iface.createHistorySupplier(&request, &consumer, &context)); }

    // Creates a supplier over a set loaded with `loaded` (firstIndex 100, recordBase 7).
    SupplierPtr createLoaded(std::vector<FakeBar> loaded) {
        feed.client().prepareRecordSet = [loaded](FakeRecordSet& set) { set.loadBars(loaded); };
        return create();
    }

    FakeRecordSet& set() { return *feed.client().lastRecordSet(); }
    std::vector<std::string> calls() { return feed.client().calls(); }
    std::vector<LogLine> logLines() { return context.log.lines(); }

    FakeFeedScope feed;
    TellivarInterfaceFactory factory;
    TellivarInterface iface{&factory};
    FakeRequest request;
    RecordingHistoryConsumer consumer;
    FakeContext context;
};

// ---- Query text --------------------------------------------------------------------

TEST_F(HistoryTest, ShouldQueryLetterIntervalWithoutEndTimeAndLogEachStep) {
    request.end.tm_year = 1800;  // 1800 itself gives no end time
    request.end.tm_mday = 4;
    const SupplierPtr supplier = create();
    ASSERT_NE(supplier, nullptr);
    EXPECT_EQ(calls(), (std::vector<std::string>{"CreateTRecordSet(XYZ,D1)", "set1.SetSink(sinkMode=0)", "set1.Init(11,0)"}));
    EXPECT_EQ(logLines(), (std::vector<LogLine>{info("TELLIVAR: History subscription"),
                                                info("TELLIVAR: Query is - %s", "XYZ,D1"),
                                                info("TELLIVAR: calling init\n"),
                                                info("TELLIVAR: History recordset is setup\n")}));
}

TEST_F(HistoryTest, ShouldUseNumberForTypeOneAndLetterWithMultipleOtherwise) {
    request.letter = 'W';
    request.multiple = 3;
    request.number = 5;
    request.type = 1;
    SupplierPtr byNumber = create();
    request.type = 7;
    SupplierPtr byLetter = create();
    EXPECT_EQ(feed.client().callsStartingWith("CreateTRecordSet"),
              (std::vector<std::string>{"CreateTRecordSet(XYZ,5)", "CreateTRecordSet(XYZ,W3)"}));
}

TEST_F(HistoryTest, ShouldAppendEndTimeMadeFromTheRecordAsItStands) {
    // Elements go to MakeTime unchanged: no 1900 added, no month shift, seconds 0.
    request.end = data::CalendarRecord{45, 30, 9, 4, 6, 1801, 3, 150, 1};
    const SupplierPtr first = create();
    request.end.tm_year = 2004;
    const SupplierPtr second = create();
    EXPECT_EQ(feed.client().callsStartingWith("MakeTime"),
              (std::vector<std::string>{"MakeTime(1801,6,4,9,30,0)", "MakeTime(2004,6,4,9,30,0)"}));
    EXPECT_EQ(feed.client().recordSet(0)->query,
              "XYZ,D1,&EndETime=" + std::to_string(FakeFeedClient::timeOf(1801, 6, 4, 9, 30, 0)));
    EXPECT_EQ(feed.client().recordSet(1)->query,
              "XYZ,D1,&EndETime=" + std::to_string(FakeFeedClient::timeOf(2004, 6, 4, 9, 30, 0)));
}

TEST_F(HistoryTest, ShouldTreatNullEndTimeAsNoEndTime) {
    request.hasEndTime = false;
    const SupplierPtr supplier = create();
    ASSERT_NE(supplier, nullptr);
    EXPECT_EQ(feed.client().callsStartingWith("CreateTRecordSet"), (std::vector<std::string>{"CreateTRecordSet(XYZ,D1)"}));
    EXPECT_TRUE(feed.client().callsStartingWith("MakeTime").empty());
}

// ---- Failures --------------------------------------------------------------------------

TEST_F(HistoryTest, ShouldFailWithoutDeletingWhenFeedRejectsQuery) {
    feed.client().rejectNextCreate = true;
    EXPECT_EQ(create(), nullptr);
    EXPECT_EQ(calls(), (std::vector<std::string>{"CreateTRecordSet(XYZ,D1)"}));
    EXPECT_EQ(logLines(), (std::vector<LogLine>{info("TELLIVAR: History subscription"),
                                                info("TELLIVAR: Query is - %s", "XYZ,D1"),
                                                error("CreateTRecordSet failed")}));
    EXPECT_TRUE(consumer.calls().empty());
}

TEST_F(HistoryTest, ShouldRejectAnyNameOutsideTheBarLettersAfterCreatingTheSet) {
    const std::vector<std::optional<std::string>> rejected{"Open", "c", "X", "", std::nullopt};
    for (const auto& name : rejected) {
        feed.client().clearCalls();
        context.log.clear();
        request.names = FakeNameList{"O", name, "C"};
        EXPECT_EQ(create(), nullptr) << name.value_or("<null>");
        const std::string setName = feed.client().lastRecordSet()->name;
        EXPECT_EQ(calls(), (std::vector<std::string>{"CreateTRecordSet(XYZ,D1)", "DeleteTRecordSet(" + setName + ")"}));
        ASSERT_EQ(logLines().size(), 3U);
        EXPECT_EQ(logLines()[2], error("Invalid parameter passed"));
    }
    EXPECT_TRUE(consumer.calls().empty());
}

TEST_F(HistoryTest, ShouldAcceptEveryBarLetterAndAnEmptyList) {
    request.names = FakeNameList{"O", "H", "L", "C", "V"};
    EXPECT_NE(create(), nullptr);
    request.names = FakeNameList{};
    EXPECT_NE(create(), nullptr);
    EXPECT_TRUE(context.log.linesOf("error").empty());
}

TEST_F(HistoryTest, ShouldDeleteSetOnceWhenInitFails) {
    feed.client().prepareRecordSet = [](FakeRecordSet& s) { s.initResult = 0; };
    EXPECT_EQ(create(), nullptr);
    EXPECT_EQ(calls(), (std::vector<std::string>{"CreateTRecordSet(XYZ,D1)", "set1.SetSink(sinkMode=0)", "set1.Init(11,0)",
                                                 "DeleteTRecordSet(set1)"}));
    EXPECT_EQ(logLines().back(), error("Recordset initialization failure"));
    EXPECT_EQ(logLines()[2], info("TELLIVAR: calling init\n"));
    EXPECT_EQ(logLines().size(), 4U) << "no 'recordset is setup' line";
    EXPECT_TRUE(consumer.calls().empty());
}

TEST_F(HistoryTest, ShouldFailNullSymbolBeforeAnyFeedCall) {
    request.symbolText = std::nullopt;
    EXPECT_EQ(create(), nullptr);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(logLines(), (std::vector<LogLine>{info("TELLIVAR: History subscription"), error("No symbol passed")}));
}

TEST_F(HistoryTest, ShouldFailAndDeleteSetWhenSupplierCannotBeAllocated) {
    feed.client().setRecording(false);  // keep the fake's journal from allocating
    feed.client().prepareRecordSet = [](FakeRecordSet&) { failNextAllocationOfSize(sizeof(HistorySupplier)); };
    const SupplierPtr supplier = create();
    failNextAllocationOfSize(0);
    EXPECT_EQ(supplier, nullptr);
    EXPECT_TRUE(set().deleted);
    EXPECT_EQ(set().sink, nullptr);
    EXPECT_EQ(logLines().back(), error("HistorySupplier allocation failed"));
}

// ---- Setup and completion -----------------------------------------------------------------

TEST_F(HistoryTest, ShouldClearSinkModeAndAttachTheReturnedSuppliersRelay) {
    feed.client().prepareRecordSet = [](FakeRecordSet& s) { s.sinkMode = 5; };
    const SupplierPtr supplier = create();
    ASSERT_NE(supplier, nullptr);
    EXPECT_EQ(set().sinkModeAtSetSink, 0);
    EXPECT_EQ(set().sink, static_cast<ITRecSetSink*>(&static_cast<HistorySupplier*>(supplier.get())->sink()));
}

TEST_F(HistoryTest, ShouldTellConsumerInsideCreationWhenSetIsCompleteAtOnce) {
    std::vector<std::string> seen;
    consumer.onReady = [&](data::HistorySupplier*) {
        seen.push_back("readDepth=" + std::to_string(set().readDepth));
        seen.push_back("lastLog=" + logLines().back().format);
        seen.push_back(iface.interfaceLock.tryacquire_read() == -1 ? "interfaceLock held" : "interfaceLock free");
    };
    feed.client().prepareRecordSet = [](FakeRecordSet& s) { s.initResult = 3; };
    const SupplierPtr supplier = create();
    ASSERT_NE(supplier, nullptr);
    EXPECT_EQ(consumer.calls(), (std::vector<data::HistorySupplier*>{supplier.get()}));
    EXPECT_EQ(seen, (std::vector<std::string>{"readDepth=1", "lastLog=TELLIVAR: calling init\n", "interfaceLock held"}));
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(logLines().back(), info("TELLIVAR: History recordset is setup\n"));
}

TEST_F(HistoryTest, ShouldCompleteOnFirstEqualToMinusCountOnceUntilAnotherFirstComes) {
    AceLogCapture ace;
    const SupplierPtr supplier = create();
    set().fireEvent(1, -10, 5);
    set().fireEvent(1, -10, 5);  // a repeat is suppressed
    set().fireEvent(1, -4, 5);   // accepted, not complete
    set().fireEvent(1, -10, 6);  // complete again after another first
    EXPECT_EQ(consumer.calls(), (std::vector<data::HistorySupplier*>{supplier.get(), supplier.get()}));
    const std::string address = hexLow32(&set());
    EXPECT_EQ(ace.records(), (std::vector<AceRecord>{
                                 {"PluginManager/tellivar/history", 160, 0, LM_DEBUG, "Data for HistoryChannel -10 5 " + address + "\n"},
                                 {"PluginManager/tellivar/history", 160, 0, LM_DEBUG, "Data for HistoryChannel -4 5 " + address + "\n"},
                                 {"PluginManager/tellivar/history", 160, 0, LM_DEBUG, "Data for HistoryChannel -10 6 " + address + "\n"}}));
    EXPECT_EQ(set().readDepth, 0);
}

TEST_F(HistoryTest, ShouldIgnoreOtherEventsZeroPairsAndFirstOneAtStartWithoutRecord) {
    AceLogCapture ace;
    const SupplierPtr supplier = create();
    set().fireEvent(2, -10, 5);
    set().fireEvent(0, -10, 5);
    set().fireEvent(1, 0, 0);
    set().fireEvent(1, 1, 4);  // first - 1 equals the initial lastFirst of 0
    EXPECT_TRUE(ace.records().empty());
    EXPECT_TRUE(consumer.calls().empty());
}

TEST_F(HistoryTest, ShouldCompleteZeroCountOnlyWithFirstZeroAndNonZeroSecond) {
    request.records = 0;
    const SupplierPtr supplier = create();
    EXPECT_EQ(feed.client().countOf("set1.Init(1,0)"), 1U);
    set().fireEvent(1, 0, 0);
    EXPECT_TRUE(consumer.calls().empty());
    set().fireEvent(1, 0, 7);
    EXPECT_EQ(consumer.calls().size(), 1U);
}

TEST_F(HistoryTest, ShouldLeaveReadLockAndKeepGoingWhenConsumerThrowsOnFeedThread) {
    AceLogCapture ace;
    const SupplierPtr supplier = create();
    consumer.onReady = [](data::HistorySupplier*) { throw "consumer gave up"; };
    set().fireEvent(1, -10, 5);
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(ace.records().back(), (AceRecord{"PluginManager/tellivar/history", 168, 0, LM_ERROR,
                                               "TELLIVAR: Exception - consumer gave up \n"}));
    // Any other exception is logged at the feed boundary and goes no further.
    consumer.onReady = [](data::HistorySupplier*) { throw 42; };
    set().fireEvent(1, -3, 5);
    EXPECT_NO_THROW(set().fireEvent(1, -10, 5));
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(ace.records().back(),
              (AceRecord{"PluginManager/tellivar/history", 170, 0, LM_ERROR, "unknown exception\n"}));
    set().fireEvent(1, -3, 5);  // would hang if the throw had kept supplierLock
    EXPECT_NO_THROW(set().fireEvent(1, -10, 5));
    EXPECT_EQ(consumer.calls().size(), 3U);
}

TEST_F(HistoryTest, ShouldFailCreationAndDeleteSetOnceWhenConsumerThrowsTextInsideIt) {
    feed.client().prepareRecordSet = [](FakeRecordSet& s) { s.initResult = 3; };
    consumer.onReady = [](data::HistorySupplier*) { throw "not now"; };
    EXPECT_EQ(create(), nullptr);
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(feed.client().countOf("DeleteTRecordSet(set1)"), 1U);
    EXPECT_EQ(logLines().back(), error("not now"));
}

TEST_F(HistoryTest, ShouldPassOtherExceptionsWithLockReleasedAndSetDeleted) {
    feed.client().prepareRecordSet = [](FakeRecordSet& s) { s.initResult = 3; };
    consumer.onReady = [](data::HistorySupplier*) { throw std::runtime_error("boom"); };
    EXPECT_THROW(create(), std::runtime_error);
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(feed.client().countOf("DeleteTRecordSet(set1)"), 1U);
    ASSERT_EQ(iface.interfaceLock.tryacquire_write(), 0);
    iface.interfaceLock.release();
}

TEST_F(HistoryTest, ShouldDeleteTheSetAfterItsReadLockWhenTheConsumerDeletesTheSupplierInsideHistoryReady) {
    // Run under AddressSanitizer: neither the creation nor the feed's callback
    // may touch the deleted supplier, and a creation must not return it.
    struct Case {
        const char* name;
        int initResult;      // 3: complete at once, inside the creation
        const char* thrown;  // what historyReady throws after the deletion, if anything
        LogLine lastLine;
    };
    const Case cases[] = {
        {"at once", 3, nullptr,
         {"error", "TELLIVAR: History supplier deleted inside historyReady during its creation\n", "", 0}},
        {"at once, then throws", 3, "gave up", error("gave up")},
        {"later, on the feed thread", 2, nullptr, info("TELLIVAR: History recordset is setup\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHistoryConsumer deleting;
        deleting.onReady = [&c](data::HistorySupplier* supplier) {
            delete supplier;
            if (c.thrown != nullptr) throw c.thrown;
        };
        feed.client().prepareRecordSet = [&c](FakeRecordSet& s) { s.initResult = c.initResult; };
        feed.client().clearCalls();
        data::HistorySupplier* made = iface.createHistorySupplier(&request, &deleting, &context);
        const std::vector<LogLine> createLog = logLines();
        if (c.initResult == 3) {
            EXPECT_EQ(made, nullptr);
        } else {
            ASSERT_NE(made, nullptr);
            std::thread([this] { set().fireEvent(1, -10, 5); }).join();
        }
        EXPECT_EQ(deleting.calls().size(), 1U);
        ASSERT_FALSE(createLog.empty());
        EXPECT_EQ(createLog.back(), c.lastLine);
        const std::string name = set().name;
        const std::vector<std::string> journal = calls();
        ASSERT_GE(journal.size(), 2U);
        EXPECT_EQ(journal[journal.size() - 2], name + ".LeaveRead");
        EXPECT_EQ(journal.back(), "DeleteTRecordSet(" + name + ")");
        EXPECT_EQ(feed.client().countOf("DeleteTRecordSet(" + name + ")"), 1U);
        EXPECT_EQ(set().readDepth, 0);
    }
}

TEST_F(HistoryTest, ShouldDeleteSetOnceOnDestructionWithoutTellingConsumer) {
    SupplierPtr supplier = create();
    supplier->makeIterator();
    supplier->makeReverseIterator();
    supplier.reset();
    EXPECT_EQ(feed.client().countOf("DeleteTRecordSet(set1)"), 1U);
    EXPECT_TRUE(consumer.calls().empty());
}

// ---- Iterators ---------------------------------------------------------------------------------

TEST_F(HistoryTest, ShouldVisitAOneRecordSetOnceInEachDirection) {
    const SupplierPtr supplier = createLoaded(bars(1));
    data::TickIterator* forward = supplier->makeIterator();
    data::TickIterator* reverse = supplier->makeReverseIterator();
    EXPECT_EQ(closes(forward), (std::vector<double>{10.0}));
    EXPECT_EQ(closes(reverse), (std::vector<double>{10.0}));
    forward->next();
    reverse->next();
    EXPECT_EQ(forward->isValid(), 0) << "stays invalid past the end";
    EXPECT_EQ(reverse->isValid(), 0);
}

TEST_F(HistoryTest, ShouldVisitTheSameIndexesInOppositeOrders) {
    const SupplierPtr supplier = createLoaded(bars(3));  // indexes 100..102 with recordBase 7
    feed.client().clearCalls();
    EXPECT_EQ(closes(supplier->makeIterator()), (std::vector<double>{10.0, 11.0, 12.0}));
    EXPECT_EQ(closes(supplier->makeReverseIterator()), (std::vector<double>{12.0, 11.0, 10.0}));
    EXPECT_EQ(feed.client().callsStartingWith("set1.GetRecDouble"),
              (std::vector<std::string>{"set1.GetRecDouble(100,3)", "set1.GetRecDouble(101,3)", "set1.GetRecDouble(102,3)",
                                        "set1.GetRecDouble(102,3)", "set1.GetRecDouble(101,3)", "set1.GetRecDouble(100,3)"}));
}

TEST_F(HistoryTest, ShouldTakeRangeOnceAndReplaceOnlyTheSameDirection) {
    const SupplierPtr supplier = createLoaded(bars(2));
    supplier->makeIterator();
    data::TickIterator* reverse = supplier->makeReverseIterator();
    set().loadBars(bars(3));
    data::TickIterator* forward = supplier->makeIterator();
    EXPECT_EQ(closes(forward), (std::vector<double>{10.0, 11.0, 12.0}));
    EXPECT_EQ(closes(reverse), (std::vector<double>{11.0, 10.0})) << "made before the set grew";
}

TEST_F(HistoryTest, ShouldBeInvalidFromTheStartWithoutRecords) {
    const SupplierPtr supplier = create();
    set().firstRecord = 5;  // ignored while hasRecords is 0
    set().lastRecord = 9;
    EXPECT_EQ(supplier->makeIterator()->isValid(), 0);
    EXPECT_EQ(supplier->makeReverseIterator()->isValid(), 0);
}

TEST_F(HistoryTest, ShouldReadValuesOnlyForBarLetters) {
    std::vector<FakeBar> loaded{{FakeFeedClient::timeOf(2004, 6, 4, 9, 30, 0), {{"Open", 1.5}, {"Close", 2.5}}}};
    const SupplierPtr supplier = createLoaded(loaded);
    data::TickIterator* it = supplier->makeIterator();
    feed.client().clearCalls();
    EXPECT_EQ(it->getValue("O"), 1.5);
    EXPECT_EQ(it->getValue("C"), 2.5);
    EXPECT_EQ(it->getValue("V"), 0.0) << "no value in the record";
    EXPECT_TRUE(it->hasValue("O"));
    EXPECT_FALSE(it->hasValue("V"));
    const std::size_t feedCalls = calls().size();
    for (const char* name : {"Close", "c", "o", "Q", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(it->getValue(name), 0.0);
        EXPECT_FALSE(it->hasValue(name));
    }
    EXPECT_EQ(calls().size(), feedCalls) << "unknown names never reach the set";
    EXPECT_EQ(findHistoryField("Close"), nullptr) << "the table is not changed by a lookup";
    request.names = FakeNameList{"Close"};
    EXPECT_EQ(create(), nullptr);
}

TEST_F(HistoryTest, ShouldConvertRecordTimeAndClearEveryField) {
    const SupplierPtr supplier = createLoaded(bars(1));
    data::TickIterator* it = supplier->makeIterator();
    data::CalendarRecord* time = it->getTime();
    EXPECT_EQ((std::vector<int>{time->tm_sec, time->tm_min, time->tm_hour, time->tm_mday, time->tm_mon,
                                time->tm_year, time->tm_wday, time->tm_yday, time->tm_isdst}),
              (std::vector<int>{0, 30, 9, 4, 5, 104, 0, 0, 0}));
    it->next();
    EXPECT_EQ(it->getTime(), time) << "same record for the iterator's life";
    EXPECT_EQ(time->tm_year, 0) << "a record without a time reads as zeros";
    EXPECT_EQ(time->tm_min, 0);
}

TEST_F(HistoryTest, ShouldKeepNullWhenAnIteratorCannotBeAllocated) {
    const SupplierPtr supplier = createLoaded(bars(2));
    data::TickIterator* reverse = supplier->makeReverseIterator();
    failNextAllocationOfSize(sizeof(HistoryIterator));
    EXPECT_EQ(supplier->makeIterator(), nullptr);
    failNextAllocationOfSize(0);
    EXPECT_EQ(closes(reverse), (std::vector<double>{11.0, 10.0}));
    EXPECT_NE(supplier->makeIterator(), nullptr);
}

TEST_F(HistoryTest, ShouldAllocateNothingWhileWalkingRecords) {
    const SupplierPtr supplier = createLoaded(bars(40));
    data::TickIterator* forward = supplier->makeIterator();
    data::TickIterator* reverse = supplier->makeReverseIterator();
    feed.client().setRecording(false);
    double sum = 0.0;
    int visited = 0;
    long allocations = 0;
    {
        HeapCount count;
        for (data::TickIterator* it : {forward, reverse}) {
            for (; it->isValid() != 0; it->next()) {
                sum += it->getTime()->tm_min;
                for (const char* name : {"O", "H", "L", "C", "V", "Close"}) sum += it->getValue(name);
                visited += it->hasValue("C") ? 1 : 0;
            }
        }
        allocations = count.allocations();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(visited, 80);
    EXPECT_GT(sum, 0.0);
}
