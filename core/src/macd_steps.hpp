// The steps of MACD, shared by compute_macd, the MACD stream and the panels.
//
// Before index slow_period - 1 there is no value. From there on each input
// that is not NaN (re)seeds both averages from their windows when the fast one
// is NaN and smooths both otherwise; the signal line is seeded by one MACD
// value and smoothed after. Callers pass a local copy of the state, as for
// SMA; panels run the steady arithmetic (macd_smooth, macd_signal_smooth,
// macd_hist) on two rows at once, their values in the lanes of one vector,
// and macd_step row by row where a row needs more.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "access.hpp"
#include "smoothing.hpp"
#include "veldspar/core/stream.hpp"

namespace veldspar::core::detail {

// Whether the periods define a value: 0 < fast < slow and signal > 0.
[[gnu::always_inline]] inline bool macd_defined(const MacdState& s) noexcept { return window_size(s) > 0; }

// Mean of the `count` newest inputs, window(0) (the current one) back to
// window(count - 1), summed newest to oldest from -0.0 and divided by count.
template <class Window>
inline double macd_window_mean(const Window& window, std::size_t count) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < count; ++k) sum += window(k);
    return sum / static_cast<double>(count);
}

// The steady arithmetic of a bar, which panels also run on two rows at once
// (S a state whose values are Lanes) while no lane needs more than it: an
// input that is not NaN, both averages and the signal line already seeded.

// The MACD value of the averages.
template <class S>
[[gnu::always_inline]] inline auto macd_line(const S& s) noexcept {
    return s.fast - s.slow;
}

// Both averages smoothed with x, slow first; returns the MACD value. The slow
// average is updated even when NaN, and then stays NaN.
template <class S, class V>
[[gnu::always_inline]] inline V macd_smooth(S& s, V x) noexcept {
    s.slow = smooth(s.slow_alpha, s.slow_beta, x, s.slow);
    s.fast = smooth(s.fast_alpha, s.fast_beta, x, s.fast);
    return macd_line(s);
}

// The signal line smoothed with the MACD value m.
template <class S, class V>
[[gnu::always_inline]] inline V macd_signal_smooth(S& s, V m) noexcept {
    s.signal = smooth(s.signal_alpha, s.signal_beta, m, s.signal);
    return s.signal;
}

// The histogram of MACD value m against a seeded signal line.
template <class S, class V>
[[gnu::always_inline]] inline V macd_hist(const S& s, V m) noexcept {
    return m - s.signal;
}

// One bar at index i >= slow_period - 1 with input x, where window(k) is the
// input k bars back (window(0) is x): its three values go to position j of
// the outputs.
template <class A, class Window>
[[gnu::always_inline]] inline void macd_step(MacdState& s, std::uint64_t i, double x, const Window& window, Out<A> macd,
                                             Out<A> signal, Out<A> hist, std::size_t j) noexcept {
    const double nan = stored_nan();
    // A missing value changes no state.
    if (std::isnan(x)) [[unlikely]] {
        macd.set(j, nan);
        signal.set(j, nan);
        hist.set(j, nan);
        return;
    }
    double m;
    if (std::isnan(s.fast)) [[unlikely]] {
        s.fast = macd_window_mean(window, s.fast_period);
        s.slow = macd_window_mean(window, s.slow_period);
        m = macd_line(s);
    } else {
        m = macd_smooth(s, x);
    }
    macd.set(j, m);
    if (!std::isnan(s.signal)) [[likely]] {
        macd_signal_smooth(s, m);
    } else if (i >= static_cast<std::size_t>(s.slow_period + s.signal_period - 2)) {
        // The seed threshold wraps in size_t arithmetic, like every period sum here.
        s.signal = m;
    }
    signal.set(j, s.signal);
    if (std::isnan(s.signal)) [[unlikely]] {
        hist.set(j, nan);
    } else {
        hist.set(j, macd_hist(s, m));
    }
}

// Warm-up and steady state over x[0..n) for defined periods. The inputs a
// re-seed reaches back for come from the chunk while it holds them, else from
// `before`.
template <class A, class Before>
[[gnu::always_inline]] inline void macd_run(MacdState& s, const Before& before, In<A> x, Out<A> macd, Out<A> signal,
                                            Out<A> hist, std::size_t n) noexcept {
    const std::uint64_t start = s.count;  // the index of x[0] in the series
    // Warm-up: no value before index slow_period - 1, whatever the input.
    const std::uint64_t first = s.slow_period - 1;
    const std::uint64_t missing = start < first ? first - start : 0;
    std::size_t j = missing < n ? static_cast<std::size_t>(missing) : n;
    macd.fill_nan(0, j);
    signal.fill_nan(0, j);
    hist.fill_nan(0, j);
    // Steady state, re-seeding included.
    for (; j < n; ++j) {
        const auto window = [&](std::size_t k) { return k <= j ? x[j - k] : before.back(k - j); };
        macd_step(s, start + j, x[j], window, macd, signal, hist, j);
    }
    s.count = start + n;
}

}  // namespace veldspar::core::detail
