// The steps of the average true range, shared by compute_atr, the ATR stream and the panels.
//
// Bar 0 leaves only its close. Bars 1 to `period` add their true ranges to
// the seed sum, whose mean is the first average, at bar `period`; each later
// bar smooths its true range in with weight 1/period. Callers pass a local
// copy of the state, as for SMA; panels run atr_true_range and atr_step on
// two rows at once, their values in the lanes of one vector.
#pragma once

#include <cstddef>
#include <cstdint>

#include "access.hpp"
#include "true_range.hpp"
#include "veldspar/core/stream.hpp"

namespace veldspar::core::detail {

// The true range of the next bar; its close becomes the previous close. S is
// AtrState, or a panel's state of several rows whose values are Lanes.
template <class S, class V>
[[gnu::always_inline]] inline V atr_true_range(S& s, V high, V low, V close) noexcept {
    const V tr = true_range(high, low, s.prev_close);
    s.prev_close = close;
    return tr;
}

// The steady step: the difference, then its product with k, then the sum.
template <class S, class V>
[[gnu::always_inline]] inline V atr_step(S& s, V tr) noexcept {
    s.avg = s.avg + s.k * (tr - s.avg);
    return s.avg;
}

// Warm-up over bars [0, n), period > 0: NaN for each bar up to `period`, and
// at bar `period` the mean of the true ranges of bars 1 to `period` (summed
// from +0.0, divided by the period). Returns where the steady state begins
// (n if the chunk ends first).
template <class A>
[[gnu::always_inline]] inline std::size_t atr_warm_up(AtrState& s, In<A> high, In<A> low, In<A> close, Out<A> out,
                                                      std::size_t n) noexcept {
    if (n == 0) return 0;
    const std::uint64_t start = s.count;  // the bar at index 0 of the chunk
    std::size_t j = 0;
    if (start == 0) {
        s.prev_close = close[0];
        j = 1;
    }
    std::size_t end = n;
    bool seeds = false;
    if (start > s.period) {
        end = 0;
    } else if (s.period - start < n) {
        end = static_cast<std::size_t>(s.period - start) + 1;
        seeds = true;
    }
    for (; j < end; ++j) s.sum += atr_true_range(s, high[j], low[j], close[j]);
    s.count = start + end;
    if (seeds) {
        s.avg = s.sum / static_cast<double>(s.period);  // a true division; k serves the steady step only
        out.fill_nan(0, end - 1);
        out.set(end - 1, s.avg);
    } else {
        out.fill_nan(0, end);
    }
    return end;
}

// Steady state over bars [from, n).
template <class A>
[[gnu::always_inline]] inline void atr_steady(AtrState& s, In<A> high, In<A> low, In<A> close, Out<A> out,
                                              std::size_t from, std::size_t n) noexcept {
    for (std::size_t j = from; j < n; ++j) out.set(j, atr_step(s, atr_true_range(s, high[j], low[j], close[j])));
    s.count += n - from;
}

}  // namespace veldspar::core::detail
