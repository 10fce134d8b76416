// Simple moving average: a running window sum times the period's reciprocal.
#include "access.hpp"

namespace veldspar::core {
namespace {

// Past this many positions after the first window the update runs in blocks
// of eight: the eight entering-minus-leaving differences are independent and
// are formed together, then added to the running sum in index order, so the
// results are those of the one-at-a-time loop.
constexpr std::size_t kBlock = 8;
constexpr std::size_t kBlockedAfter = 63;

template <class A>
void sma(std::size_t period, detail::In<A> data, detail::Out<A> output, std::size_t n) noexcept {
    // Early exit: period 0 wraps to the largest size, so one test covers
    // "no period" and "no full window".
    if (period - 1 >= n) {
        output.fill_nan(0, n);
        return;
    }

    // Warm-up: no average before the first full window.
    output.fill_nan(0, period - 1);
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) sum += data[i];
    const double inv = 1.0 / static_cast<double>(period);
    output.set(period - 1, sum * inv);

    // Steady state: entering value minus leaving value, added to the sum.
    std::size_t i = period;
    if (n - period > kBlockedAfter) {
        for (; n - i >= kBlock; i += kBlock) {
            double d[kBlock];
            for (std::size_t k = 0; k < kBlock; ++k) d[k] = data[i + k] - data[i + k - period];
            for (std::size_t k = 0; k < kBlock; ++k) {
                sum += d[k];
                output.set(i + k, sum * inv);
            }
        }
    }
    for (; i < n; ++i) {
        sum += data[i] - data[i - period];
        output.set(i, sum * inv);
    }
}

}  // namespace

void compute_sma(std::size_t period, ReadSlice data, WriteSlice output) noexcept {
    detail::run_series_kernel(data, output, [&](auto in, auto out, std::size_t n) { sma(period, in, out, n); });
}

}  // namespace veldspar::core
