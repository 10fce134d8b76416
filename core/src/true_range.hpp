// The true range of one bar and the two-argument maximum it is built from.
#pragma once

#include "lanes.hpp"

namespace veldspar::core::detail {

// Which term of the true range wins is data: on bars that gap at random, a
// branch on it mispredicts about every other bar. So the maximum selects bits
// under the masks of its compares, in Lanes (x86-64: maxpd for the ordered
// case, cmpneqpd for the NaN test, pand, pandn and por for the select, no
// branch). One bar takes lane 0; a panel puts two rows' bars in the lanes.
// The same select on integer bits (std::bit_cast) moves every value through
// general registers and runs at half the speed.
//
// b when a is NaN or a < b, else a: a NaN second operand yields the first,
// a NaN first operand the second. Unlike std::fmax or a bare maxsd, ties
// between -0.0 and +0.0 keep the first operand.
[[gnu::always_inline]] inline Lanes nan_max(Lanes a, Lanes b) noexcept {
    const Masks a_is_nan = is_nan(a);
    const Lanes ordered = a < b ? b : a;
    return reinterpret_cast<Lanes>((a_is_nan & reinterpret_cast<Masks>(b)) |
                                   (~a_is_nan & reinterpret_cast<Masks>(ordered)));
}

[[gnu::always_inline]] inline double nan_max(double a, double b) noexcept { return nan_max(Lanes{a}, Lanes{b})[0]; }

// TR of a bar with high h and low l after a bar that closed at c, lane by
// lane: panels put one row's bar in each lane. The first term has no absolute
// value, so a bar with h < l is decided by the close.
[[gnu::always_inline]] inline Lanes true_range(Lanes h, Lanes l, Lanes c) noexcept {
    return nan_max(nan_max(h - l, magnitude(h - c)), magnitude(l - c));
}

// TR of one bar, in lane 0. The differences are taken in the lanes too, so
// the values enter them once.
[[gnu::always_inline]] inline double true_range(double h, double l, double c) noexcept {
    return true_range(Lanes{h}, Lanes{l}, Lanes{c})[0];
}

}  // namespace veldspar::core::detail
