// A log-linear histogram of non-negative integers (latencies in nanoseconds):
// values below 256 are counted exactly; each power of two above is cut into
// 128 equal buckets, so a reported value is at most 1/128 (0.8 %) above the
// value it stands for. Fixed size (about 58 KiB), no allocation after
// construction, so recording costs a few instructions.
//
// Threads: not synchronised; each recording thread keeps its own and merges
// them with add() afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <string>

class LatencyHistogram {
public:
    static constexpr unsigned kSubBits = 8;  // 2^8 exact values, then 2^7 buckets per power of two

    void record(std::uint64_t value);
    void add(const LatencyHistogram& other);
    void reset();

    // One line of text that decode() turns back into an equal histogram: how
    // a process hands its counts to another, which merges them with add().
    std::string encode() const;
    // False, and this histogram unchanged, when `text` is not what encode() makes.
    bool decode(const std::string& text);

    std::uint64_t count() const { return count_; }
    std::uint64_t min() const { return count_ == 0 ? 0 : min_; }
    std::uint64_t max() const { return max_; }
    double mean() const { return count_ == 0 ? 0.0 : sum_ / static_cast<double>(count_); }
    // The smallest value v (as its bucket's highest value, at most max()) such
    // that at least `percentile` % of the recorded values are <= v. 0 when empty.
    std::uint64_t valueAtPercentile(double percentile) const;

    // The range of values that share `value`'s bucket.
    static std::uint64_t lowestEquivalent(std::uint64_t value);
    static std::uint64_t highestEquivalent(std::uint64_t value);

private:
    static constexpr std::size_t kExact = std::size_t{1} << kSubBits;
    static constexpr std::size_t kHalf = kExact / 2;
    static constexpr std::size_t kBuckets = kExact + (64 - kSubBits) * kHalf;

    static std::size_t indexOf(std::uint64_t value);
    static std::uint64_t lowestOf(std::size_t index);

    std::array<std::uint64_t, kBuckets> counts_{};
    std::uint64_t count_ = 0;
    std::uint64_t min_ = UINT64_MAX;
    std::uint64_t max_ = 0;
    double sum_ = 0.0;
};
