// The exponential smoothing step that EMA and the three MACD averages share.
#pragma once

#include <cstddef>

namespace veldspar::core::detail {

// An exponential average's weight on the new value, alpha = 2/(period+1), and
// on the old average, beta = 1 - alpha. update() forms the two products and
// then their sum, each rounded on its own.
struct Smoothing {
    double alpha;
    double beta;
    explicit Smoothing(std::size_t period) noexcept
        : alpha(2.0 / (static_cast<double>(period) + 1.0)), beta(1.0 - alpha) {}
    double update(double x, double avg) const noexcept { return alpha * x + beta * avg; }
};

}  // namespace veldspar::core::detail
