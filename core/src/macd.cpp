// MACD: fast minus slow exponential average, its signal line and the histogram, in one pass.
#include <cmath>

#include "access.hpp"
#include "smoothing.hpp"

namespace veldspar::core {
namespace {

struct Periods {
    std::size_t fast;
    std::size_t slow;
    std::size_t signal;
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
void macd(Periods p, detail::In<A> data, detail::Out<A> macd_out, detail::Out<A> signal_out, detail::Out<A> hist_out,
          std::size_t n) noexcept {
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
    std::size_t i = first < n ? first : n;
    macd_out.fill_nan(0, i);
    signal_out.fill_nan(0, i);
    hist_out.fill_nan(0, i);

    // Steady state. NaN in any of the three averages means "not seeded"; the
    // fast average is re-seeded from its window, together with the slow one,
    // whenever it is NaN, and the signal line from one MACD value whenever it
    // is NaN at or after S+G-2 (in wrapping size_t arithmetic, like every
    // period sum here).
    const detail::Smoothing fast_k(p.fast), slow_k(p.slow), signal_k(p.signal);
    const std::size_t signal_from = p.slow + p.signal - 2;
    double fast = nan, slow = nan, sig = nan;
    // Whether fast (and with it slow) holds a value. A NaN average makes the
    // MACD value NaN and with it the signal line, so the flag is refreshed
    // only where the signal line is NaN, off the path of the usual step.
    bool seeded = false;
    for (; i < n; ++i) {
        const double x = data[i];
        // A missing value changes no state.
        if (std::isnan(x)) [[unlikely]] {
            macd_out.set(i, nan);
            signal_out.set(i, nan);
            hist_out.set(i, nan);
            continue;
        }
        if (seeded) [[likely]] {
            slow = slow_k.update(x, slow);
            fast = fast_k.update(x, fast);
        } else {
            fast = window_mean(data, i, p.fast);
            slow = window_mean(data, i, p.slow);
            seeded = true;
        }
        const double m = fast - slow;
        macd_out.set(i, m);
        if (!std::isnan(sig)) [[likely]] {
            sig = signal_k.update(m, sig);
        } else if (i >= signal_from) {
            sig = m;
        }
        signal_out.set(i, sig);
        if (std::isnan(sig)) [[unlikely]] {
            hist_out.set(i, nan);
            seeded = !std::isnan(fast);
        } else {
            hist_out.set(i, m - sig);
        }
    }
}

}  // namespace

void compute_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period, ReadSlice data,
                  WriteSlice macd_output, WriteSlice signal_output, WriteSlice hist_output) noexcept {
    detail::run_kernel({data}, {macd_output, signal_output, hist_output}, [&](auto in, auto out, std::size_t n) {
        macd({fast_period, slow_period, signal_period}, in[0], out[0], out[1], out[2], n);
    });
}

}  // namespace veldspar::core
