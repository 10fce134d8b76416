// Exponential moving average: seeded by the mean of the first all-finite window, then smoothed.
#include <cmath>

#include "access.hpp"
#include "smoothing.hpp"

namespace veldspar::core {
namespace {

template <class A>
void ema(std::size_t period, detail::In<A> data, detail::Out<A> output, std::size_t n) noexcept {
    // Early exit: period 0 wraps to the largest size, so one test covers
    // "no period" and "no full window".
    if (period - 1 >= n) {
        output.fill_nan(0, n);
        return;
    }

    // Warm-up: find the first run of `period` consecutive finite values. The
    // definition re-examines each candidate window from its start; only the first
    // window that passes matters, and it ends exactly where a run of finite
    // values first reaches `period`. A sum restarted at every break therefore
    // holds that window's sum, added in index order from -0.0, when the run
    // completes: search and seed share one pass.
    double sum = -0.0;
    std::size_t run = 0;
    std::size_t i = 0;
    for (; i < n; ++i) {
        const double x = data[i];
        if (!std::isfinite(x)) {
            run = 0;
            sum = -0.0;
            continue;
        }
        sum += x;
        if (++run == period) break;
    }
    if (i == n) {
        output.fill_nan(0, n);
        return;
    }
    output.fill_nan(0, i);
    double avg = sum / static_cast<double>(period);  // a true division, unlike SMA
    output.set(i, avg);

    // Steady state: a finite value updates the average and is stored; any
    // other value leaves NaN at its position and the average as it was.
    const detail::Smoothing k(period);
    const double nan = detail::stored_nan();
    for (++i; i < n; ++i) {
        const double x = data[i];
        const bool finite = std::isfinite(x);
        // Formed for every x so the loop needs no branch; a non-finite x
        // makes a value that is then discarded.
        const double next = k.update(x, avg);
        avg = finite ? next : avg;
        output.set(i, finite ? next : nan);
    }
}

}  // namespace

void compute_ema(std::size_t period, ReadSlice data, WriteSlice output) noexcept {
    detail::run_series_kernel(data, output, [&](auto in, auto out, std::size_t n) { ema(period, in, out, n); });
}

}  // namespace veldspar::core
