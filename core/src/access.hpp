// Element access for kernels: plain doubles when aligned, byte copies when not.
//
// Every kernel body is a template over an access policy and is instantiated
// twice. Kernels enter through `run_kernel`, which picks the aligned policy
// when every slice address is a multiple of 8. The unaligned policy goes
// through memcpy, which compiles to a single load or store where the target
// allows misaligned access and to safe byte or word accesses where a
// misaligned double load would fault (32-bit ARM's VLDR).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <source_location>

#include "veldspar/core/core.hpp"
#include "veldspar/fault/fault.hpp"

namespace veldspar::core::detail {

static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559,
              "kernels assume IEEE-754 binary64 doubles");

inline double stored_nan() noexcept {
    double v;
    std::memcpy(&v, &kNaNBits, sizeof v);
    return v;
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

inline bool aligned(const void* p) noexcept { return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0; }

// The length precondition every kernel checks once at entry: a slice shorter
// than the first input would be read or written past its end.
inline void require_same_length(std::size_t input_len, std::size_t other_len, std::source_location where) noexcept {
    if (other_len != input_len) {
        // The first index that one of the two slices lacks.
        const std::size_t shorter = other_len < input_len ? other_len : input_len;
        fault::index_out_of_bounds(shorter, shorter, where);
    }
}

template <class A, std::size_t I, std::size_t O, class Body>
void run_with(const ReadSlice (&inputs)[I], const WriteSlice (&outputs)[O], Body& body) noexcept {
    std::array<In<A>, I> in;
    std::array<Out<A>, O> out;
    for (std::size_t k = 0; k < I; ++k) in[k] = In<A>{inputs[k].data};
    for (std::size_t k = 0; k < O; ++k) out[k] = Out<A>{outputs[k].data};
    body(in, out, inputs[0].size);
}

// The entry of every kernel. Checks that every other input and every output
// has as many elements as the first input (an internal fault at the caller's
// `where` otherwise), then runs body(in, out, n) with arrays of read and write
// views under the aligned policy when every address allows it, else under the
// unaligned one:
//
//   run_kernel({high, low, close}, {output}, [&](auto in, auto out, std::size_t n) {
//       atr(period, in[0], in[1], in[2], out[0], n);
//   });
template <std::size_t I, std::size_t O, class Body>
void run_kernel(const ReadSlice (&inputs)[I], const WriteSlice (&outputs)[O], Body&& body,
                std::source_location where = std::source_location::current()) noexcept {
    static_assert(I > 0, "a kernel reads at least one input");
    bool all_aligned = true;
    for (const ReadSlice& slice : inputs) {
        require_same_length(inputs[0].size, slice.size, where);
        all_aligned = all_aligned && aligned(slice.data);
    }
    for (const WriteSlice& slice : outputs) {
        require_same_length(inputs[0].size, slice.size, where);
        all_aligned = all_aligned && aligned(slice.data);
    }
    if (all_aligned) {
        run_with<AlignedAccess>(inputs, outputs, body);
    } else {
        run_with<UnalignedAccess>(inputs, outputs, body);
    }
}

// The entry of a one-input, one-output kernel whose definition sets the whole
// output to NaN before reading any input: an output that is its own input then
// reads only NaN, and the result is all NaN. Otherwise body(in, out, n) runs on
// the two views.
template <class Body>
void run_series_kernel(ReadSlice data, WriteSlice output, Body&& body,
                       std::source_location where = std::source_location::current()) noexcept {
    run_kernel(
        {data}, {output},
        [&](auto in, auto out, std::size_t n) {
            if (output.data == data.data) {
                out[0].fill_nan(0, n);
                return;
            }
            body(in[0], out[0], n);
        },
        where);
}

}  // namespace veldspar::core::detail
