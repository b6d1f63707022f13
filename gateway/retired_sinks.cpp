#include "gateway/retired_sinks.h"

namespace gateway {

void RetiredSinks::retire(std::shared_ptr<void> sink) {
    const std::uint64_t number = retired_.load(std::memory_order_relaxed) + 1;
    sinks_.emplace_back(number, std::move(sink));
    retired_.store(number, std::memory_order_release);
}

void RetiredSinks::callbackEnded(std::uint64_t began) {
    while (!sinks_.empty() && sinks_.front().first <= began) sinks_.pop_front();
}

void RetiredSinks::clear() { sinks_.clear(); }

}  // namespace gateway
