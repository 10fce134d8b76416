// MACD: fast minus slow exponential average, its signal line and the histogram, in one pass.
#include <cmath>

#include "access.hpp"

namespace veldspar::core {
namespace {

struct Periods {
    std::size_t fast;
    std::size_t slow;
    std::size_t signal;
};

// An exponential average's weight on the new value and on the old average.
struct Smoothing {
    double alpha;
    double beta;
    explicit Smoothing(std::size_t period) noexcept
        : alpha(2.0 / (static_cast<double>(period) + 1.0)), beta(1.0 - alpha) {}
    double update(double x, double avg) const noexcept { return alpha * x + beta * avg; }
};

// Mean of data[i], data[i-1], ..., data[i-count+1], summed newest to oldest
// from -0.0 and divided by count. The caller guarantees count <= i + 1.
template <class A>
double window_mean(detail::In<A> data, std::size_t i, std::size_t count) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < count; ++k) sum += data[i - k];
    return sum / static_cast<double>(count);
}

template <class A>
void macd(Periods p, detail::In<A> data, detail::Out<A> macd_out, detail::Out<A> signal_out,
          detail::Out<A> hist_out, std::size_t n) noexcept {
    const double nan = detail::stored_nan();

    // Early exit: periods the entry function refuses define no value, and
    // F < S keeps the fast window inside the slow one, which lies inside the
    // series from index S-1 on.
    if (p.fast == 0 || p.signal == 0 || p.fast >= p.slow) {
        macd_out.fill_nan(0, n);
        signal_out.fill_nan(0, n);
        hist_out.fill_nan(0, n);
        return;
    }

    // Warm-up: no MACD value before index S-1, whatever the input.
    const std::size_t first = p.slow - 1;
    std::size_t i = 0;
    for (; i < n && i < first; ++i) {
        macd_out.set(i, nan);
        signal_out.set(i, nan);
        hist_out.set(i, nan);
    }

    // Steady state. NaN in any of the three averages means "not seeded"; the
    // fast average is re-seeded from its window, together with the slow one,
    // whenever it is NaN, and the signal line from one MACD value whenever it
    // is NaN at or after S+G-2 (unsigned wrapping arithmetic, as specified).
    const Smoothing fast_k(p.fast), slow_k(p.slow), signal_k(p.signal);
    const std::size_t signal_from = p.slow + p.signal - 2;
    double fast = nan, slow = nan, sig = nan;
    for (; i < n; ++i) {
        const double x = data[i];
        // A missing value changes no state.
        if (std::isnan(x)) {
            macd_out.set(i, nan);
            signal_out.set(i, nan);
            hist_out.set(i, nan);
            continue;
        }
        if (std::isnan(fast)) {
            fast = window_mean(data, i, p.fast);
            slow = window_mean(data, i, p.slow);
        } else {
            slow = slow_k.update(x, slow);
            fast = fast_k.update(x, fast);
        }
        const double m = fast - slow;
        macd_out.set(i, m);
        if (!std::isnan(sig)) {
            sig = signal_k.update(m, sig);
        } else if (i >= signal_from) {
            sig = m;
        }
        signal_out.set(i, sig);
        hist_out.set(i, std::isnan(sig) ? nan : m - sig);
    }
}

}  // namespace

void compute_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period,
                  ReadSlice data, WriteSlice macd_output, WriteSlice signal_output,
                  WriteSlice hist_output) noexcept {
    detail::require_same_length(data.size, macd_output.size);
    detail::require_same_length(data.size, signal_output.size);
    detail::require_same_length(data.size, hist_output.size);
    detail::with_access(
        [&](auto policy) {
            using A = decltype(policy);
            macd<A>({fast_period, slow_period, signal_period}, detail::In<A>{data.data},
                    detail::Out<A>{macd_output.data}, detail::Out<A>{signal_output.data},
                    detail::Out<A>{hist_output.data}, data.size);
        },
        data.data, macd_output.data, signal_output.data, hist_output.data);
}

}  // namespace veldspar::core
