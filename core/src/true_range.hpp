// The true range of one bar and the two-argument maximum it is built from.
#pragma once

#include <cmath>

namespace veldspar::core::detail {

// b when a is NaN or a < b, else a: a NaN second operand yields the first,
// a NaN first operand the second. Unlike std::fmax, ties between -0.0 and
// +0.0 keep the first operand.
inline double nan_max(double a, double b) noexcept { return (std::isnan(a) || a < b) ? b : a; }

// TR of a bar with high h and low l after a bar that closed at c. The first
// term has no absolute value, so a bar with h < l is decided by the close.
inline double true_range(double h, double l, double c) noexcept {
    return nan_max(nan_max(h - l, std::fabs(h - c)), std::fabs(l - c));
}

}  // namespace veldspar::core::detail
