// veldspar-core: the four indicator kernels over contiguous runs of doubles.
//
// The kernels know nothing of Python or NumPy. Each one reads its inputs and
// writes every element of its outputs in a single pass, allocates nothing,
// throws nothing and cannot fail once its preconditions hold. stream.hpp runs
// the same per-bar steps from a state kept between calls, one bar or one
// chunk at a time.
//
//   double prices[5] = {1, 2, 3, 4, 5};
//   double sma[5];
//   veldspar::core::compute_sma(3, {prices, 5}, {sma, 5});
//   // sma == {NaN, NaN, 2.0, 3.0, 4.0}
//
// Exactness. Every result is defined bit for bit: sums run in the documented
// order from the documented starting value, products and sums are rounded
// separately (the library is built with -ffp-contract=off, never with
// -ffast-math), and nothing is reassociated. Positions without a value hold
// the quiet NaN whose bit pattern is kNaNBits.
//
// Slices. A slice is an address and an element count; element i lies 8*i
// bytes past the address. The address need not be a multiple of 8 (NumPy
// hands out views at any byte offset): a kernel reads and writes such slices
// with byte-wise access that is safe on targets that fault on misaligned
// double loads, and uses plain double access when every address is aligned.
//
// Preconditions, checked once at each kernel's entry (a violation is an
// internal fault, see fault.hpp):
//   * every output has as many elements as the inputs;
//   * an output either is exactly its input (the same address: only
//     compute_sma and compute_ema define a result for that, all NaN) or
//     shares no byte with any input or other output. Partial overlap is not
//     detected here; callers refuse it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veldspar::core {

// The NaN every kernel stores: sign clear, exponent all ones, top fraction bit.
inline constexpr std::uint64_t kNaNBits = 0x7FF8000000000000ULL;

// A read-only run of `size` doubles starting at `data`.
struct ReadSlice {
    const void* data;
    std::size_t size;
};

// A writable run of `size` doubles starting at `data`.
struct WriteSlice {
    void* data;
    std::size_t size;
};

// Simple moving average over a window of `period` values.
//
// output[period-1] is the window sum (started at -0.0, added in index order)
// times 1.0/period; each later position adds data[i] - data[i-period] to the
// running sum and multiplies by the same reciprocal. The running sum is never
// recomputed, so a NaN or an infinity that enters it carries forward.
// Positions before the first full window, and every position when period is 0
// or exceeds the length, are NaN.
void compute_sma(std::size_t period, ReadSlice data, WriteSlice output) noexcept;

// Exponential moving average with alpha = 2/(period+1).
//
// Seeded by the mean (a true division) of the first run of `period`
// consecutive finite values; afterwards each finite value x updates
// ema = alpha*x + (1-alpha)*ema and is stored, while a NaN or infinity leaves
// NaN at its position and the average unchanged. Positions before the seed
// window's end are NaN, as is everything when no such run exists or period is
// 0 or exceeds the length.
void compute_ema(std::size_t period, ReadSlice data, WriteSlice output) noexcept;

// MACD line, signal line and histogram of `data`.
//
// Callers ensure 0 < fast_period < slow_period and signal_period > 0; for
// any other periods the kernel defines no value and all three outputs are
// NaN. A NaN input leaves NaN in all three outputs at its index and changes
// no state; infinities are ordinary values. Whenever the fast average is NaN
// at a non-NaN index at or after slow_period-1, both averages are (re)seeded
// from window means (summed newest to oldest from -0.0, divided by the
// period); otherwise each is updated as alpha*x + (1-alpha)*avg, slow first.
// macd = fast - slow. Whenever the signal line is NaN it is (re)seeded with
// the single MACD value of an index at or after
// slow_period+signal_period-2 (computed in wrapping size_t arithmetic), then
// updated like the averages; hist = macd - signal, NaN while the signal line
// is. Each output element is written once, in ascending order.
void compute_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period, ReadSlice data,
                  WriteSlice macd, WriteSlice signal, WriteSlice hist) noexcept;

// Average true range of a bar series.
//
// TR(j) = max(max(high[j]-low[j], |high[j]-close[j-1]|), |low[j]-close[j-1]|)
// for j >= 1, where max(a, b) is b when a is NaN or a < b, else a. The mean of
// TR(1)..TR(period) (summed from +0.0, divided by period) lands at
// output[period]; later positions follow atr += (1/period)*(TR(i) - atr).
// Everything is NaN when period is 0 or the series has no more than period
// bars; output[0..period-1] are always NaN.
void compute_atr(std::size_t period, ReadSlice high, ReadSlice low, ReadSlice close, WriteSlice output) noexcept;

}  // namespace veldspar::core
