// Lanes: two rows' values side by side in one vector, for the per-bar steps that panels run on two rows at once.
//
// Each indicator's step is written once, as a template over its state and
// value type, so that the batch kernels and streams step one double and
// panels step two rows in the lanes of one vector. Lanes are GCC's generic
// vectors: one source for every target, whose lanes follow IEEE arithmetic,
// compares and bitwise selects wherever they run. x86-64 and aarch64 hold
// them in vector registers; 32-bit ARM, whose VFP has no double vectors,
// splits them into scalar code with the same results.
#pragma once

#include <cstdint>
#include <limits>

namespace veldspar::core::detail {

typedef double Lanes __attribute__((vector_size(16)));
// A lane's mask: all bits set where a compare holds.
typedef std::int64_t Masks __attribute__((vector_size(16)));

// v in both lanes.
template <class V>
[[gnu::always_inline]] inline V broadcast(double v) noexcept {
    return V{v, v};
}

// |v|: the sign bit cleared, NaNs included, as std::fabs does.
[[gnu::always_inline]] inline Lanes magnitude(Lanes v) noexcept {
    const Masks no_sign = {INT64_MAX, INT64_MAX};
    return reinterpret_cast<Lanes>(reinterpret_cast<Masks>(v) & no_sign);
}

[[gnu::always_inline]] inline Masks is_nan(Lanes x) noexcept { return x != x; }

// NaN or infinite.
[[gnu::always_inline]] inline Masks is_not_finite(Lanes x) noexcept {
    return ~(magnitude(x) <= broadcast<Lanes>(std::numeric_limits<double>::max()));
}

// Whether any lane's mask is set.
[[gnu::always_inline]] inline bool any(Masks m) noexcept {
#if defined(__SSE2__)
    return __builtin_ia32_movmskpd(reinterpret_cast<Lanes>(m)) != 0;  // the sign bits, in one instruction
#else
    return (m[0] | m[1]) != 0;
#endif
}

}  // namespace veldspar::core::detail
