// The exponential smoothing that EMA and the three MACD averages share.
#pragma once

#include <cstddef>

namespace veldspar::core::detail {

// A period's weight on a new value, alpha = 2/(period+1), and on the old
// average, beta = 1 - alpha: the period converted to double, plus 1.0, then
// the quotient, each rounded once.
struct Weights {
    double alpha;
    double beta;
};

inline Weights smoothing_weights(std::size_t period) noexcept {
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    return {alpha, 1.0 - alpha};
}

// One update: the two products, then their sum, each rounded on its own. V
// is double, or Lanes (lanes.hpp) when a panel smooths two rows at once.
template <class V>
[[gnu::always_inline]] inline V smooth(V alpha, V beta, V x, V avg) noexcept {
    return alpha * x + beta * avg;
}

}  // namespace veldspar::core::detail
