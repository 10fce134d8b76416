// The steps of the simple moving average, shared by compute_sma, the SMA stream and the panels.
//
// Warm-up adds each of the first `period` inputs to the sum; the steady state
// adds each entering-minus-leaving difference. The runs take the state by
// reference and are inlined into their callers, which pass a local copy so
// that its fields stay in registers; panels run sma_difference and
// sma_advance on two rows at once, their values in the lanes of one vector.
#pragma once

#include <cstddef>
#include <cstdint>

#include "access.hpp"
#include "history.hpp"
#include "veldspar/core/stream.hpp"

namespace veldspar::core::detail {

// The average: a product with the reciprocal, not a division by the period.
// S is SmaState, or a panel's state of two rows whose values are Lanes.
template <class S>
[[gnu::always_inline]] inline auto sma_average(const S& s) noexcept {
    return s.sum * s.inv;
}

// The steady step in two halves, so that a block of independent differences
// can be formed ahead of the additions, which stay in index order.
template <class V>
[[gnu::always_inline]] inline V sma_difference(V entering, V leaving) noexcept {
    return entering - leaving;
}
template <class S, class V>
[[gnu::always_inline]] inline V sma_advance(S& s, V difference) noexcept {
    s.sum += difference;
    return sma_average(s);
}

// Warm-up over x[0..n), period > 0: the inputs the first full window still
// lacks join the sum. NaN for each but the one completing the window, which
// gets the first average. Returns where the steady state begins (n if the
// chunk ends first).
template <class A>
[[gnu::always_inline]] inline std::size_t sma_warm_up(SmaState& s, In<A> x, Out<A> out, std::size_t n) noexcept {
    const std::uint64_t missing = s.count < s.period ? s.period - s.count : 0;
    const std::size_t w = missing < n ? static_cast<std::size_t>(missing) : n;
    for (std::size_t j = 0; j < w; ++j) s.sum += x[j];
    s.count += w;
    if (w > 0 && w == missing) {
        out.fill_nan(0, w - 1);
        out.set(w - 1, sma_average(s));
    } else {
        out.fill_nan(0, w);
    }
    return w;
}

// Past this many steady positions the update runs in blocks of eight: the
// eight differences are formed together, then added to the sum in index
// order, so the results are those of the one-at-a-time loop.
inline constexpr std::size_t kSmaBlock = 8;
inline constexpr std::size_t kSmaBlockedAfter = 63;

// Steady state over x[from..n): the value leaving at index j is x[j - period]
// when the chunk holds it, else the input period - j bars before the chunk.
template <class A, class Before>
[[gnu::always_inline]] inline void sma_steady(SmaState& s, const Before& before, In<A> x, Out<A> out, std::size_t from,
                                              std::size_t n) noexcept {
    const std::size_t period = s.period;
    std::size_t j = from;
    for (; j < n && j < period; ++j) out.set(j, sma_advance(s, sma_difference(x[j], before.back(period - j))));
    if (n - j > kSmaBlockedAfter) {
        for (; n - j >= kSmaBlock; j += kSmaBlock) {
            double d[kSmaBlock];
            for (std::size_t k = 0; k < kSmaBlock; ++k) d[k] = sma_difference(x[j + k], x[j + k - period]);
            for (std::size_t k = 0; k < kSmaBlock; ++k) out.set(j + k, sma_advance(s, d[k]));
        }
    }
    for (; j < n; ++j) out.set(j, sma_advance(s, sma_difference(x[j], x[j - period])));
    s.count += n - from;
}

}  // namespace veldspar::core::detail
