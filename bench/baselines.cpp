#include "baselines.h"

#include <ace/Log_Msg.h>

#include <cstring>

const char* const kBarLongNames[5] = {"Open", "High", "Low", "Close", "Volume"};

namespace {

constexpr std::int16_t kTradeTimeField = 27;

}  // namespace

void SummingFlatConsumer::consume(const FlatQuote& quote) {
    double total = quote.time.tm_sec + quote.time.tm_min;
    for (std::size_t i = 0; i < quote.count; ++i) total += quote.values[i];
    sum += total;
}

void fillCalendar(FeedTime time, data::CalendarRecord& record) {
    record = data::CalendarRecord{};
    pTellivarClient->GetYMD(time, &record.tm_year, &record.tm_mon, &record.tm_mday);
    pTellivarClient->GetHMS(time, &record.tm_hour, &record.tm_min, &record.tm_sec);
    record.tm_year -= 1900;
    record.tm_mon -= 1;
}

BaselineSnapshotSink::BaselineSnapshotSink(const std::int16_t* ids, std::size_t count, FlatConsumer* consumer)
    : consumer_(consumer) {
    for (std::size_t i = 0; i < count; ++i) slotById_[static_cast<std::size_t>(ids[i])] = static_cast<std::uint8_t>(i + 1);
    quote_.count = count;
}

void BaselineSnapshotSink::onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    set->EnterRead();
    FeedTime time = 0;
    set->GetDWord(kTradeTimeField, &time);
    fillCalendar(time, quote_.time);
    bool changed = false;
    for (std::uint8_t i = 0; i < changedCount; ++i) {
        const std::uint8_t slot = slotById_[changedIds[i]];
        if (slot != 0 && set->GetDouble(changedIds[i], &quote_.values[slot - 1U])) changed = true;
    }
    if (changed) consumer_->consume(quote_);
    set->LeaveRead();
}

FloorSnapshotSink::FloorSnapshotSink(const std::int16_t* ids, const std::vector<std::string>& names, std::size_t count,
                                     data::HostLogger* logger, data::TickConsumer* consumer)
    : names_(names.begin(), names.begin() + static_cast<long>(count)), logger_(logger), consumer_(consumer) {
    for (std::size_t i = 0; i < count; ++i) slotById_[static_cast<std::size_t>(ids[i])] = static_cast<std::uint8_t>(i + 1);
    quote_.count = count;
}

void FloorSnapshotSink::onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    lock_.acquire_write();
    set->EnterRead();
    logger_->info("TELLIVAR: new data arrives for TickChannel", "");
    FeedTime time = 0;
    set->GetDWord(kTradeTimeField, &time);
    fillCalendar(time, quote_.time);
    bool changed = false;
    for (std::uint8_t i = 0; i < changedCount; ++i) {
        const std::uint8_t slot = slotById_[changedIds[i]];
        if (slot != 0 && set->GetDouble(changedIds[i], &quote_.values[slot - 1U])) changed = true;
    }
    if (changed) {
        logger_->info("TELLIVAR: new data sended to consumer", "");
        cursor_ = 0;
        consumer_->ticksChanged(this);
    }
    set->LeaveRead();
    if (ACE_Log_Msg::instance()->log_priority_enabled(LM_DEBUG) != 0) {
        ACE_Log_Msg::instance()->log(LM_DEBUG, "date processing finished");
    }
    lock_.release();
}

double FloorSnapshotSink::getValue(const char* name) {
    std::size_t slot = cursor_ < names_.size() ? cursor_ : 0;
    if (std::strcmp(name, names_[slot].c_str()) != 0) {
        for (slot = 0; slot < names_.size() && names_[slot] != name; ++slot) {
        }
        if (slot == names_.size()) return 0.0;
    }
    cursor_ = slot + 1;
    return quote_.values[slot];
}

bool FloorSnapshotSink::hasValue(const char* name) {
    for (const std::string& known : names_) {
        if (known == name) return true;
    }
    return false;
}

void BaselineUpdateSink::onRecordSetEvent(TRecordSet* set, int, long, long) {
    set->EnterRead();
    const long index = static_cast<long>(set->lastRecord) - set->recordBase;
    FeedTime time = 0;
    set->GetETime(index, 1, &time);
    fillCalendar(time, quote_.time);
    for (std::size_t i = 0; i < 5; ++i) set->GetRecDouble(index, set->GetFieldIx(kBarLongNames[i]), &quote_.values[i]);
    quote_.count = 5;
    consumer_->consume(quote_);
    set->LeaveRead();
}

void baselineWalk(TRecordSet* set, bool reverse, FlatConsumer& consumer) {
    FlatQuote quote;
    quote.count = 5;
    const long first = static_cast<long>(set->firstRecord) - set->recordBase;
    const long last = static_cast<long>(set->lastRecord) - set->recordBase;
    const long step = reverse ? -1 : 1;
    for (long index = reverse ? last : first; index >= first && index <= last; index += step) {
        FeedTime time = 0;
        set->GetETime(index, 1, &time);
        fillCalendar(time, quote.time);
        for (std::size_t i = 0; i < 5; ++i) {
            quote.values[i] = 0.0;
            set->GetRecDouble(index, set->GetFieldIx(kBarLongNames[i]), &quote.values[i]);
        }
        consumer.consume(quote);
    }
}
