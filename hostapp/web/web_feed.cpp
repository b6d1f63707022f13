#include "web_feed.h"

#include <fmt/format.h>

namespace {

// A history's consumer: walks the bars as the session's consumer does, into a
// queue of its own, and hands on the newest `count` at once.
class HistoryCallback final : public data::HistoryConsumer {
public:
    HistoryCallback(int count, WebFeed::BarsReady ready) : count_(count), ready_(std::move(ready)) {}
    void historyReady(data::HistorySupplier* supplier) override {
        walker_.historyReady(supplier);
        std::optional<Event> walked = queue_.popUntil(std::chrono::steady_clock::now());
        std::vector<Bar> bars = walked ? std::move(std::get<HistoryEvent>(*walked).bars) : std::vector<Bar>{};
        // The plug-in's completion rule may give one bar more than asked.
        if (bars.size() > count_) bars.erase(bars.begin(), bars.end() - count_);
        ready_(std::move(bars));
    }

private:
    const std::size_t count_;
    const WebFeed::BarsReady ready_;
    EventQueue queue_;
    BarsConsumer walker_{queue_, false};
};

}  // namespace

WebFeed::WebFeed(LiveBoard& board, data::DataInterface* dataInterface, data::RequestContext* context)
    : board_(board), dataInterface_(dataInterface), context_(context) {}

void WebFeed::openQuotes() {
    for (std::size_t row = 0; row < board_.symbols().size(); ++row) {
        auto consumer = std::make_unique<TickCallback>([this, row](data::TickSupplier* supplier) {
            board_.onQuote(row, readTime(supplier), readValues(supplier, board_.fields()));
        });
        auto request = std::make_unique<HostRequest>(board_.symbols()[row], IntervalSpec{}, 0, board_.fields());
        auto sub = subscribe(dataInterface_, &data::DataInterface::createTickSupplier, context_, std::move(request),
                             std::move(consumer));
        // A refused symbol keeps its row, empty; the plug-in's log line says why.
        if (sub) quotes_.push_back(std::move(sub));
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
            auto consumer = std::make_unique<TickCallback>(
                [this, key](data::TickSupplier* supplier) { board_.onBar(key, readBar(supplier)); });
            sub = subscribe(dataInterface_, &data::DataInterface::createUpdateSupplier, context_,
                            std::make_unique<HostRequest>(chart->symbol, chart->interval, 2), std::move(consumer));
            if (!sub) {
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

std::unique_ptr<Subscription> WebFeed::history(const ChartChoice& chart, int count, BarsReady ready) {
    if (dataInterface_ == nullptr) return nullptr;
    return subscribe(dataInterface_, &data::DataInterface::createHistorySupplier, context_,
                     std::make_unique<HostRequest>(chart.symbol, chart.interval, count, barFieldNames()),
                     std::make_unique<HistoryCallback>(count, std::move(ready)));
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
