// Element access for kernels: plain doubles when aligned, byte copies when not.
//
// Every kernel body is a template over an access policy and is instantiated
// twice. Kernels enter through `with_access`, which picks the aligned policy
// when every slice address is a multiple of 8. The unaligned policy goes
// through memcpy, which compiles to a single load or store where the target
// allows misaligned access and to safe byte or word accesses where a
// misaligned double load would fault (32-bit ARM's VLDR).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <source_location>

#include "veldspar/core.hpp"
#include "veldspar/fault.hpp"

namespace veldspar::core::detail {

static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559,
              "kernels assume IEEE-754 binary64 doubles");

inline double stored_nan() noexcept {
    double v;
    std::memcpy(&v, &kNaNBits, sizeof v);
    return v;
}

struct AlignedAccess {
    static double load(const void* base, std::size_t i) noexcept {
        return static_cast<const double*>(base)[i];
    }
    static void store(void* base, std::size_t i, double v) noexcept {
        static_cast<double*>(base)[i] = v;
    }
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
// kernel proves its bounds once, at entry, from the slice lengths.
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

inline bool aligned(const void* p) noexcept {
    return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
}

// Calls body(policy-tag) with AlignedAccess when every address is aligned,
// else with UnalignedAccess.
template <class Body, class... Ptrs>
void with_access(Body&& body, Ptrs... ptrs) noexcept {
    if ((aligned(ptrs) && ...)) {
        body(AlignedAccess{});
    } else {
        body(UnalignedAccess{});
    }
}

// The length precondition every kernel checks once at entry: an output
// shorter than the input would be written past its end.
inline void require_same_length(std::size_t input_len, std::size_t output_len,
                                std::source_location where = std::source_location::current()) noexcept {
    if (output_len != input_len) {
        // The first index that one of the two slices lacks.
        const std::size_t shorter = output_len < input_len ? output_len : input_len;
        index_out_of_bounds(shorter, shorter, where);
    }
}

// The entry of a one-input, one-output kernel whose definition sets the whole
// output to NaN before reading any input: an output that is its own input then
// reads only NaN, and the result is all NaN. Otherwise `body(In<A>, Out<A>, n)`
// runs under the access policy A that the two addresses allow.
template <class Body>
void run_series_kernel(ReadSlice data, WriteSlice output, Body&& body,
                       std::source_location where = std::source_location::current()) noexcept {
    require_same_length(data.size, output.size, where);
    const std::size_t n = data.size;
    with_access(
        [&](auto policy) {
            using A = decltype(policy);
            Out<A> out{output.data};
            if (output.data == data.data) {
                out.fill_nan(0, n);
                return;
            }
            body(In<A>{data.data}, out, n);
        },
        data.data, output.data);
}

}  // namespace veldspar::core::detail
