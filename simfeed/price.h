// Prices of the simulated market.
#pragma once

#include <algorithm>
#include <cmath>

namespace simfeed {

// `price` rounded to a cent; never below one cent.
inline double cents(double price) { return std::max(0.01, std::round(price * 100.0) / 100.0); }

}  // namespace simfeed
