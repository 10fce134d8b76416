// Average true range: the mean of the first `period` true ranges, then smoothing with weight 1/period.
#include "access.hpp"
#include "true_range.hpp"

namespace veldspar::core {
namespace {

template <class A>
void atr(std::size_t period, detail::In<A> high, detail::In<A> low, detail::In<A> close, detail::Out<A> output,
         std::size_t n) noexcept {
    // Early exit: bar 0 has no true range, so a value needs period + 1 bars.
    if (period == 0 || n <= period) {
        output.fill_nan(0, n);
        return;
    }

    // Warm-up: the mean of TR(1)..TR(period) lands at output[period].
    output.fill_nan(0, period);
    const double p = static_cast<double>(period);
    const double k = 1.0 / p;
    double prev_close = close[0];
    double sum = +0.0;
    for (std::size_t j = 1; j <= period; ++j) {
        sum += detail::true_range(high[j], low[j], prev_close);
        prev_close = close[j];
    }
    double avg = sum / p;  // a true division; k serves the recurrence only
    output.set(period, avg);

    // Steady state: the difference, then its product with k, then the sum.
    for (std::size_t i = period + 1; i < n; ++i) {
        const double tr = detail::true_range(high[i], low[i], prev_close);
        prev_close = close[i];
        avg = avg + k * (tr - avg);
        output.set(i, avg);
    }
}

}  // namespace

void compute_atr(std::size_t period, ReadSlice high, ReadSlice low, ReadSlice close, WriteSlice output) noexcept {
    detail::run_kernel({high, low, close}, {output},
                       [&](auto in, auto out, std::size_t n) { atr(period, in[0], in[1], in[2], out[0], n); });
}

}  // namespace veldspar::core
