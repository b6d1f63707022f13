#include "web_feed.h"

#include <fmt/format.h>

#include "options.h"

WebFeed::WebFeed(LiveBoard& board, data::DataInterface* dataInterface, data::RequestContext* context)
    : board_(board), dataInterface_(dataInterface), context_(context) {}

void WebFeed::openQuotes() {
    for (std::size_t row = 0; row < board_.symbols().size(); ++row) {
        auto sub = std::make_unique<Subscription>();
        sub->request = std::make_unique<HostRequest>(board_.symbols()[row], IntervalSpec{}, 0, board_.fields(),
                                                     noEndTime());
        sub->consumer = std::make_unique<TickCallback>([this, row](data::TickSupplier* supplier) {
            board_.onQuote(row, readTime(supplier), readValues(supplier, board_.fields()));
        });
        sub->supplier.reset(dataInterface_->createTickSupplier(sub->request.get(), sub->consumer.get(), context_));
        // A refused symbol keeps its row, empty; the plug-in's log line says why.
        if (sub->supplier) quotes_.push_back(std::move(sub));
    }
}

std::optional<std::string> WebFeed::openStream(const std::optional<ChartChoice>& chart, std::string& error) {
    std::lock_guard<std::mutex> lock(registryMutex_);
    if (dataInterface_ == nullptr) {
        error = "the plug-in made no data interface";
        return std::nullopt;
    }
    std::string key;
    if (chart) {
        key = chart->symbol + " " + chart->intervalText;
        std::unique_ptr<Subscription>& sub = charts_[key];
        if (!sub) {
            board_.openChart(key);  // before the supplier, so its first bar lands
            sub = std::make_unique<Subscription>();
            sub->request =
                std::make_unique<HostRequest>(chart->symbol, chart->interval, 2, std::vector<std::string>{}, noEndTime());
            sub->consumer = std::make_unique<TickCallback>(
                [this, key](data::TickSupplier* supplier) { board_.onBar(key, readBar(supplier)); });
            sub->supplier.reset(dataInterface_->createUpdateSupplier(sub->request.get(), sub->consumer.get(), context_));
            if (!sub->supplier) {
                charts_.erase(key);
                board_.closeChart(key);
                error = fmt::format("symbol '{}' rejected: the plug-in made no update stream at interval {}",
                                    chart->symbol, chart->intervalText);
                return std::nullopt;
            }
        }
        ++sub->users;
    }
    if (streams_++ == 0) openQuotes();
    return key;
}

void WebFeed::closeStream(const std::string& chartKey) {
    std::lock_guard<std::mutex> lock(registryMutex_);
    const auto chart = charts_.find(chartKey);
    if (chart != charts_.end() && --chart->second->users == 0) {
        charts_.erase(chart);  // deletes the supplier
        board_.closeChart(chartKey);
    }
    if (streams_ > 0 && --streams_ == 0) quotes_.clear();
}

WebFeed::HistoryOutcome WebFeed::history(const ChartChoice& chart, int count, std::chrono::milliseconds timeout,
                                         std::vector<Bar>& bars) {
    if (dataInterface_ == nullptr) return HistoryOutcome::Rejected;
    // Declared in this order so the supplier goes before its consumer and queue.
    EventQueue queue;
    BarsConsumer consumer(queue, false);
    HostRequest request(chart.symbol, chart.interval, count, barFieldNames(), noEndTime());
    std::unique_ptr<data::HistorySupplier> supplier(
        dataInterface_->createHistorySupplier(&request, &consumer, context_));
    if (!supplier) return HistoryOutcome::Rejected;
    {
        std::lock_guard<std::mutex> lock(historyMutex_);
        if (historiesCancelled_) return HistoryOutcome::Cancelled;
        waiting_.insert(&queue);
    }
    // cancelHistories() wakes the wait with an event of another kind.
    std::optional<Event> event = queue.popUntil(std::chrono::steady_clock::now() + timeout);
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> lock(historyMutex_);
        waiting_.erase(&queue);
        cancelled = historiesCancelled_;
    }
    supplier.reset();
    auto* ready = event ? std::get_if<HistoryEvent>(&*event) : nullptr;
    if (ready == nullptr) return cancelled ? HistoryOutcome::Cancelled : HistoryOutcome::TimedOut;
    bars = std::move(ready->bars);
    // The plug-in's completion rule may give one bar more than asked.
    if (bars.size() > static_cast<std::size_t>(count)) bars.erase(bars.begin(), bars.end() - count);
    return HistoryOutcome::Done;
}

void WebFeed::cancelHistories() {
    std::lock_guard<std::mutex> lock(historyMutex_);
    historiesCancelled_ = true;
    for (EventQueue* queue : waiting_) queue->push(OnlineEvent{});
}

void WebFeed::releaseAll() {
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (auto& [key, sub] : charts_) board_.closeChart(key);
    charts_.clear();
    quotes_.clear();
    streams_ = 0;
}

std::size_t WebFeed::liveSuppliers() {
    std::lock_guard<std::mutex> lock(registryMutex_);
    return quotes_.size() + charts_.size();
}
