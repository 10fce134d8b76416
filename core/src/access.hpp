// Element access for kernels: plain doubles when aligned, byte copies when not.
//
// Every body that reads or writes slices is a template over an access policy.
// Its entry function checks the slice lengths once, then picks the policy once:
// the aligned one when every slice address is a multiple of 8, else the
// unaligned one, which goes through memcpy. memcpy compiles to a single load
// or store where the target allows misaligned access and to safe byte or word
// accesses where a misaligned double load would fault (32-bit ARM's VLDR).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <source_location>

#include "veldspar/core/core.hpp"
#include "veldspar/fault/fault.hpp"

// Every step of an indicator is compiled through this header; value-changing
// optimisations would change its results.
#ifdef __FAST_MATH__
#error "the kernels' results are defined bit for bit: build them without -ffast-math"
#endif

namespace veldspar::core::detail {

static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559,
              "kernels assume IEEE-754 binary64 doubles");

inline double stored_nan() noexcept {
    double v;
    std::memcpy(&v, &kNaNBits, sizeof v);
    return v;
}

// Whether two doubles have one bit pattern, NaNs included.
inline bool same_bits(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

struct AlignedAccess {
    static double load(const void* base, std::size_t i) noexcept { return static_cast<const double*>(base)[i]; }
    static void store(void* base, std::size_t i, double v) noexcept { static_cast<double*>(base)[i] = v; }
};

struct UnalignedAccess {
    static double load(const void* base, std::size_t i) noexcept {
        double v;
        std::memcpy(&v, static_cast<const unsigned char*>(base) + i * sizeof(double), sizeof v);
        return v;
    }
    static void store(void* base, std::size_t i, double v) noexcept {
        std::memcpy(static_cast<unsigned char*>(base) + i * sizeof(double), &v, sizeof v);
    }
};

// Read view of a slice under access policy A. Indexing is unchecked: each
// entry proves its bounds once, from the slice lengths.
template <class A>
struct In {
    const void* base;
    double operator[](std::size_t i) const noexcept { return A::load(base, i); }
};

// Write view of a slice under access policy A.
template <class A>
struct Out {
    void* base;
    void set(std::size_t i, double v) const noexcept { A::store(base, i, v); }
    // NaN into positions [from, to).
    void fill_nan(std::size_t from, std::size_t to) const noexcept {
        const double nan = stored_nan();
        for (std::size_t i = from; i < to; ++i) A::store(base, i, nan);
    }
};

// Whether every address allows plain double access.
inline bool aligned(std::initializer_list<const void*> addresses) noexcept {
    for (const void* p : addresses) {
        if (reinterpret_cast<std::uintptr_t>(p) % alignof(double) != 0) return false;
    }
    return true;
}

// The length every slice of a call must have, that of the first one. A slice
// shorter than the first would be read or written past its end, a longer one
// left partly unwritten: either is an internal fault at the caller's `where`.
inline std::size_t common_length(std::initializer_list<std::size_t> sizes,
                                 std::source_location where = std::source_location::current()) noexcept {
    const std::size_t n = *sizes.begin();
    for (std::size_t size : sizes) {
        if (size != n) {
            // The first index that one of the two slices lacks.
            const std::size_t shorter = size < n ? size : n;
            fault::index_out_of_bounds(shorter, shorter, where);
        }
    }
    return n;
}

}  // namespace veldspar::core::detail
