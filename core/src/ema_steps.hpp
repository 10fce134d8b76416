// The steps of the exponential moving average, shared by compute_ema, the EMA stream and the panels.
//
// Seeking looks for the first run of `period` consecutive finite inputs and
// seeds the average with its mean; the steady state smooths each finite input
// in and skips the others. Callers pass a local copy of the state, as for SMA;
// once seeded, a state stays in the steady state, so panels run ema_smooth on
// two rows at once, their values in the lanes of one vector, while both
// inputs are finite.
#pragma once

#include <cmath>
#include <cstddef>

#include "access.hpp"
#include "smoothing.hpp"
#include "veldspar/core/stream.hpp"

namespace veldspar::core::detail {

[[gnu::always_inline]] inline bool ema_seeded(const EmaState& s) noexcept { return s.run == s.period; }

// One input of the seed search; true when x completes the seed. The first
// run of `period` finite values ends exactly where a run of finite values
// first reaches that length, so a sum restarted at every break holds the
// seed window's sum, added in index order from -0.0, when the run completes.
[[gnu::always_inline]] inline bool ema_seek(EmaState& s, double x) noexcept {
    if (!std::isfinite(x)) {
        s.run = 0;
        s.sum = -0.0;
        return false;
    }
    s.sum += x;
    if (++s.run < s.period) return false;
    s.avg = s.sum / static_cast<double>(s.period);  // a true division, unlike SMA
    return true;
}

// A finite x smoothed into the average, which is its value. S is EmaState,
// or a panel's state of two rows whose values are Lanes.
template <class S, class V>
[[gnu::always_inline]] inline V ema_smooth(S& s, V x) noexcept {
    s.avg = smooth(s.alpha, s.beta, x, s.avg);
    return s.avg;
}

// The steady step: a finite x updates the average and is its value; any
// other x gives NaN and leaves the average as it was.
[[gnu::always_inline]] inline double ema_step(EmaState& s, double x) noexcept {
    const bool finite = std::isfinite(x);
    // Formed for every x so that the step needs no branch; a non-finite x
    // makes a value that is then discarded.
    const double avg = s.avg;
    const double next = ema_smooth(s, x);
    s.avg = finite ? next : avg;
    return finite ? next : stored_nan();
}

// Warm-up over x[0..n), period > 0: the seed search, NaN at each input it
// takes and the seed at the input completing it. Returns where the steady
// state begins (n if the chunk ends first).
template <class A>
[[gnu::always_inline]] inline std::size_t ema_warm_up(EmaState& s, In<A> x, Out<A> out, std::size_t n) noexcept {
    std::size_t j = 0;
    if (!ema_seeded(s)) {
        while (j < n && !ema_seek(s, x[j])) ++j;
        if (j == n) {
            out.fill_nan(0, n);
            s.count += n;
            return n;
        }
        out.fill_nan(0, j);
        out.set(j, s.avg);
        ++j;
    }
    s.count += j;
    return j;
}

// Steady state over x[from..n).
template <class A>
[[gnu::always_inline]] inline void ema_steady(EmaState& s, In<A> x, Out<A> out, std::size_t from,
                                              std::size_t n) noexcept {
    for (std::size_t j = from; j < n; ++j) out.set(j, ema_step(s, x[j]));
    s.count += n - from;
}

}  // namespace veldspar::core::detail
