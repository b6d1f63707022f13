#include "histogram.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstdlib>

namespace {

unsigned highestBit(std::uint64_t value) { return 63U - static_cast<unsigned>(__builtin_clzll(value)); }

}  // namespace

// Values from 2^b up: the top b bits (the first always 1) pick one of 2^(b-1)
// buckets within the value's power of two; the powers follow one another.
std::size_t LatencyHistogram::indexOf(std::uint64_t value) {
    if (value < kExact) return static_cast<std::size_t>(value);
    const unsigned shift = highestBit(value) - (kSubBits - 1);
    const auto top = static_cast<std::size_t>(value >> shift);  // in [kHalf, kExact)
    return kExact + (shift - 1) * kHalf + (top - kHalf);
}

std::uint64_t LatencyHistogram::lowestOf(std::size_t index) {
    if (index < kExact) return index;
    const std::size_t shift = (index - kExact) / kHalf + 1;
    const std::size_t top = (index - kExact) % kHalf + kHalf;
    return static_cast<std::uint64_t>(top) << shift;
}

std::uint64_t LatencyHistogram::lowestEquivalent(std::uint64_t value) { return lowestOf(indexOf(value)); }

std::uint64_t LatencyHistogram::highestEquivalent(std::uint64_t value) {
    const std::size_t index = indexOf(value);
    // The last bucket ends at the top of the range; the others just below the next one.
    return index + 1 == kBuckets ? UINT64_MAX : lowestOf(index + 1) - 1;
}

void LatencyHistogram::record(std::uint64_t value) {
    ++counts_[indexOf(value)];
    ++count_;
    min_ = std::min(min_, value);
    max_ = std::max(max_, value);
    sum_ += static_cast<double>(value);
}

void LatencyHistogram::add(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
    count_ += other.count_;
    min_ = std::min(min_, other.min_);
    max_ = std::max(max_, other.max_);
    sum_ += other.sum_;
}

void LatencyHistogram::reset() { *this = LatencyHistogram(); }

std::uint64_t LatencyHistogram::valueAtPercentile(double percentile) const {
    if (count_ == 0) return 0;
    const double wanted = std::ceil(std::clamp(percentile, 0.0, 100.0) / 100.0 * static_cast<double>(count_));
    const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(wanted));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
        seen += counts_[i];
        if (seen >= rank) return std::min(max_, highestEquivalent(lowestOf(i)));
    }
    return max_;
}

// "count min max sum" then " index:count" for every bucket in use.
std::string LatencyHistogram::encode() const {
    char text[96];
    std::snprintf(text, sizeof text, "%" PRIu64 " %" PRIu64 " %" PRIu64 " %.17g", count_, min_, max_, sum_);
    std::string out = text;
    for (std::size_t i = 0; i < kBuckets; ++i) {
        if (counts_[i] == 0) continue;
        std::snprintf(text, sizeof text, " %zu:%" PRIu64, i, counts_[i]);
        out += text;
    }
    return out;
}

bool LatencyHistogram::decode(const std::string& text) {
    LatencyHistogram h;
    const char* at = text.c_str();
    char* end = nullptr;
    auto number = [&](int base) -> std::uint64_t {
        errno = 0;
        const std::uint64_t value = std::strtoull(at, &end, base);
        if (end == at || errno != 0) end = nullptr;
        return value;
    };
    h.count_ = number(10);
    if (end == nullptr) return false;
    at = end;
    h.min_ = number(10);
    if (end == nullptr) return false;
    at = end;
    h.max_ = number(10);
    if (end == nullptr) return false;
    at = end;
    h.sum_ = std::strtod(at, &end);
    if (end == at) return false;
    at = end;
    std::uint64_t total = 0;
    while (*at == ' ') {
        ++at;
        const std::uint64_t index = number(10);
        if (end == nullptr || *end != ':' || index >= kBuckets) return false;
        at = end + 1;
        const std::uint64_t n = number(10);
        if (end == nullptr || n == 0) return false;
        at = end;
        h.counts_[index] += n;
        total += n;
    }
    if (*at != '\0' || total != h.count_) return false;
    *this = h;
    return true;
}
