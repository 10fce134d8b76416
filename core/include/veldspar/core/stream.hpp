// veldspar-core streams: the kernels' states, fed one bar or one chunk at a time.
//
// Each indicator's per-bar step is written once in the core. The batch kernels
// of core.hpp run it from a fresh state over a whole series; the functions here
// run the same step from a state that the caller keeps between calls. Feeding
// a series bar by bar, in chunks of any size, or any mix of the two, therefore
// gives at every index exactly the bits that the batch kernel gives for the
// whole series: warm-up, seeding, NaN and infinity rules and the stored NaN
// included. One freedom remains, as between the batch kernels' own loops: an
// operation on two NaNs returns one of them, picked by the order in which the
// compiler happens to place the operands, so a NaN made that way may carry
// either one's sign and payload.
//
//   using namespace veldspar::core;
//   SmaState state = init_sma(3);
//   std::vector<double> window(window_size(state));
//   for (double x : {1.0, 2.0, 3.0, 4.0}) {
//       double y = update(state, window, x);  // NaN, NaN, 2.0, 3.0
//   }
//   double more[2] = {5.0, 6.0}, out[2];
//   update_many(state, window, {more, 2}, {out, 2});  // out == {4.0, 5.0}
//
// States. A state is a trivially copyable struct of plain fields: a copy,
// together with a copy of its window, carries on exactly as the original.
// Fields marked "fixed" are set by init_* from the periods and never change;
// the others change as bars arrive. To restore a saved state, take init_* of
// its periods, assign the saved changing fields and the saved window, and
// accept the result only if is_valid() holds: a state that fails it gives
// values no series gives, or ends the process at its next call (a window slot
// out of range is a fault, never a write past the window).
//
// Windows. SMA and MACD need inputs that no running value holds any more: the
// value that leaves SMA's window, and the inputs from which MACD re-seeds its
// averages. The caller provides that storage, exactly window_size(state)
// doubles, passes it with the state to every call and leaves it alone between
// calls. Input t (counted from 0) is kept in slot t % window_size while it is
// among the newest window_size inputs; slots not yet written hold anything.
// Nothing here allocates, throws or fails once its preconditions hold.
//
// Preconditions, checked at entry (a violation is an internal fault, see
// fault.hpp): the window has window_size(state) elements and the state's slot
// index lies inside it; every slice of an update_many call has as many
// elements as the first input. Outputs share no byte with inputs or with each
// other; that is not detected here (callers refuse it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "veldspar/core/core.hpp"

namespace veldspar::core {

// Simple moving average over a window of `period` values (compute_sma).
struct SmaState {
    std::size_t period;   // fixed: the window length; 0 gives NaN for every bar
    double inv;           // fixed: 1.0 / period, by which the sum is multiplied
    std::uint64_t count;  // bars seen so far
    std::size_t pos;      // count % period (0 when period is 0): the window slot of the next bar
    double sum;           // -0.0 plus each input, then plus each entering-minus-leaving difference
};

// An SMA state before its first bar.
SmaState init_sma(std::size_t period) noexcept;

// The window an SMA state needs: its last `period` inputs.
constexpr std::size_t window_size(const SmaState& state) noexcept { return state.period; }

// One bar: returns the average at this bar, NaN before the first full window.
double update(SmaState& state, std::span<double> window, double x) noexcept;

// Consecutive bars: output[i] is what update() would return for data[i].
void update_many(SmaState& state, std::span<double> window, ReadSlice data, WriteSlice output) noexcept;

// Whether a restored state is one init_sma and updates can produce: the fixed
// fields are init_sma's and pos agrees with count.
bool is_valid(const SmaState& state) noexcept;

// Exponential moving average with alpha = 2/(period+1) (compute_ema).
struct EmaState {
    std::size_t period;   // fixed: 0 gives NaN for every bar
    double alpha;         // fixed: 2.0 / (period + 1.0), the weight of a new input
    double beta;          // fixed: 1.0 - alpha, the weight of the average
    std::uint64_t count;  // bars seen so far
    std::size_t run;      // finite inputs since the last non-finite one while seeking the seed
                          // (< period); equal to period once the average is seeded
    double sum;           // the seed sum of that run, from -0.0; no longer read once seeded
    double avg;           // the average once seeded, NaN before
};

// An EMA state before its first bar.
EmaState init_ema(std::size_t period) noexcept;

// One bar: the average at this bar, NaN before the seed and wherever x is not finite.
double update(EmaState& state, double x) noexcept;

// Consecutive bars: output[i] is what update() would return for data[i].
void update_many(EmaState& state, ReadSlice data, WriteSlice output) noexcept;

// Whether a restored state is one init_ema and updates can produce: the fixed
// fields are init_ema's, run <= period, run <= count, and avg is NaN until seeded.
bool is_valid(const EmaState& state) noexcept;

// MACD line, signal line and histogram of one bar.
struct MacdValues {
    double macd;
    double signal;
    double hist;
};

// MACD (compute_macd). Periods outside 0 < fast < slow, signal > 0 define no
// value: every bar gives NaN, and the state needs no window.
struct MacdState {
    std::size_t fast_period;    // fixed
    std::size_t slow_period;    // fixed
    std::size_t signal_period;  // fixed
    double fast_alpha;          // fixed: 2.0 / (fast_period + 1.0)
    double fast_beta;           // fixed: 1.0 - fast_alpha
    double slow_alpha;          // fixed: likewise for slow_period
    double slow_beta;           // fixed
    double signal_alpha;        // fixed: likewise for signal_period
    double signal_beta;         // fixed
    std::uint64_t count;        // bars seen so far, NaN inputs included
    std::size_t pos;            // count % window_size (0 when that is 0): the window slot of the next bar
    double fast;                // the fast average; NaN: to be (re)seeded at the next input that is not NaN
    double slow;                // the slow average
    double signal;              // the signal line; NaN: to be seeded
};

// A MACD state before its first bar.
MacdState init_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period) noexcept;

// The window a MACD state needs: its last slow_period inputs, NaN included,
// from which both averages are re-seeded whenever the fast one is NaN.
constexpr std::size_t window_size(const MacdState& state) noexcept {
    const bool defined = state.fast_period > 0 && state.signal_period > 0 && state.fast_period < state.slow_period;
    return defined ? state.slow_period : 0;
}

// One bar: the three values at this bar.
MacdValues update(MacdState& state, std::span<double> window, double x) noexcept;

// Consecutive bars: the i-th elements of the outputs are what update() would
// return for data[i].
void update_many(MacdState& state, std::span<double> window, ReadSlice data, WriteSlice macd, WriteSlice signal,
                 WriteSlice hist) noexcept;

// Whether a restored state is one init_macd and updates can produce: the fixed
// fields are init_macd's, pos agrees with count, and all three lines are NaN
// until bar slow_period - 1 has been fed (for good when the periods define no value).
bool is_valid(const MacdState& state) noexcept;

// Average true range (compute_atr).
struct AtrState {
    std::size_t period;   // fixed: 0 gives NaN for every bar
    double k;             // fixed: 1.0 / period, the weight of a new true range
    std::uint64_t count;  // bars seen so far
    double prev_close;    // the close of the latest bar; not read before the first
    double sum;           // +0.0 plus the true ranges of bars 1 to min(count - 1, period)
    double avg;           // the average from bar `period` on, NaN before
};

// An ATR state before its first bar.
AtrState init_atr(std::size_t period) noexcept;

// One bar: the average true range at this bar, NaN before bar `period`.
double update(AtrState& state, double high, double low, double close) noexcept;

// Consecutive bars: output[i] is what update() would return for bar i.
void update_many(AtrState& state, ReadSlice high, ReadSlice low, ReadSlice close, WriteSlice output) noexcept;

// Whether a restored state is one init_atr and updates can produce: the fixed
// fields are init_atr's and avg is NaN until bar `period` has been fed.
bool is_valid(const AtrState& state) noexcept;

static_assert(std::is_trivially_copyable_v<SmaState> && std::is_trivially_copyable_v<EmaState> &&
              std::is_trivially_copyable_v<MacdState> && std::is_trivially_copyable_v<AtrState>);

}  // namespace veldspar::core
