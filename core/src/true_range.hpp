// The true range of one bar and the two-argument maximum it is built from.
#pragma once

#include <cstdint>

namespace veldspar::core::detail {

// Which term of the true range wins is data: on bars that gap at random, a
// branch on it mispredicts about every other bar. So the maximum selects bits
// under the masks of its compares, in GCC's generic vectors: one source for
// every target, whose lanes follow IEEE compares and bitwise selects
// wherever they run. x86-64 and aarch64 keep them in vector registers (on
// x86-64: maxpd for the ordered case, cmpneqpd for the NaN test, pand, pandn
// and por for the select, no branch); 32-bit ARM, whose VFP has no double
// vectors, splits them into scalar code with the same results. Only lane 0
// carries a value. The same select on integer bits (std::bit_cast) moves
// every value through general registers and runs at half the speed.
typedef double Lanes __attribute__((vector_size(16)));
typedef std::int64_t Masks __attribute__((vector_size(16)));

// b when a is NaN or a < b, else a: a NaN second operand yields the first,
// a NaN first operand the second. Unlike std::fmax or a bare maxsd, ties
// between -0.0 and +0.0 keep the first operand.
[[gnu::always_inline]] inline Lanes nan_max(Lanes a, Lanes b) noexcept {
    const Masks a_is_nan = a != a;
    const Lanes ordered = a < b ? b : a;
    return reinterpret_cast<Lanes>((a_is_nan & reinterpret_cast<Masks>(b)) |
                                   (~a_is_nan & reinterpret_cast<Masks>(ordered)));
}

[[gnu::always_inline]] inline double nan_max(double a, double b) noexcept { return nan_max(Lanes{a}, Lanes{b})[0]; }

// |v|: the sign bit cleared, NaNs included, as std::fabs does.
[[gnu::always_inline]] inline Lanes magnitude(Lanes v) noexcept {
    const Masks no_sign = {INT64_MAX, INT64_MAX};
    return reinterpret_cast<Lanes>(reinterpret_cast<Masks>(v) & no_sign);
}

// TR of a bar with high h and low l after a bar that closed at c. The first
// term has no absolute value, so a bar with h < l is decided by the close.
// The differences are taken in the lanes too, so the values enter them once.
[[gnu::always_inline]] inline double true_range(double h, double l, double c) noexcept {
    const Lanes vh = {h}, vl = {l}, vc = {c};
    return nan_max(nan_max(vh - vl, magnitude(vh - vc)), magnitude(vl - vc))[0];
}

}  // namespace veldspar::core::detail
