// Every text of veldspar_kit.panel: what each argument must be, and how to get it.
//
// Texts with parts filled in at run time are patterns for frame::format_text:
// each "{}" takes the next argument, in order. TypeErrors of an argument's
// conversion reach the caller after "argument '<name>': " (the frame's
// wrapping); the ValueErrors name the argument themselves.
#pragma once

#include <string_view>

namespace veldspar::kit::panel::messages {

// A panel argument of the wrong kind (TypeError): its type, then the argument's name.
inline constexpr std::string_view kNotAnArray =
    "expected a 2-D NumPy array of float64 with one series per row, not {}; np.asarray({}, dtype=np.float64) "
    "converts an array-like";
// An array of another dtype (TypeError): the dtype, then the argument's name.
inline constexpr std::string_view kOtherDtype =
    "expected a 2-D NumPy array of float64 with one series per row, not an array of {}; {}.astype(np.float64) "
    "converts it";

// An array of another number of dimensions (ValueError): the name, the
// number, the shape, and a hint (one of the two after it).
inline constexpr std::string_view kOtherRank =
    "argument '{}': expected a 2-D array with one series per row, not a {}-D array of shape {}; {}";
inline constexpr std::string_view kOneSeriesHint = "{}.reshape(1, -1) makes one series a panel of one row";
inline constexpr std::string_view kOtherRankHint = "reshape it to (series, values)";

// The checks after acquisition (ValueError), in their order.
inline constexpr std::string_view kNotContiguous =
    "argument '{}': expected a C-contiguous array (each row's values side by side, rows one after another), not "
    "one with strides {}; np.ascontiguousarray({}) makes a contiguous copy";
inline constexpr std::string_view kOtherShape = "argument '{}': expected the shape of '{}', {}, not {}";
inline constexpr std::string_view kReadOnly =
    "argument '{}': expected a writeable array, not a read-only one; np.empty_like({}) allocates one";
inline constexpr std::string_view kOverlap =
    "argument '{}': shares memory with '{}'; each output needs memory of its own, np.empty_like({}) allocates it";

// How a shape or a pair of strides is shown, as NumPy shows them.
inline constexpr std::string_view kPair = "({}, {})";

// The thread count (ValueError): the value given.
inline constexpr std::string_view kTooFewThreads = "argument 'threads': expected at least 1 thread, not {}";

// The functions' docstrings, after their text signatures.
inline constexpr std::string_view kSmaDoc =
    "Simple moving average of each row of `data`, into the same row of `output`: row r holds, bit for bit,\n"
    "what veldspar.indicator_sma(period, data[r], output[r]) writes. `threads` splits the rows across that\n"
    "many threads; the interpreter lock is released meanwhile.";
inline constexpr std::string_view kEmaDoc =
    "Exponential moving average of each row of `data`, into the same row of `output`: row r holds, bit for\n"
    "bit, what veldspar.indicator_ema(period, data[r], output[r]) writes. `threads` splits the rows across\n"
    "that many threads; the interpreter lock is released meanwhile.";
inline constexpr std::string_view kMacdDoc =
    "MACD line, signal line and histogram of each row of `data`, into the same rows of the three outputs: row\n"
    "r holds, bit for bit, what veldspar.indicator_macd(fast_period, slow_period, signal_period, data[r],\n"
    "macd_output[r], signal_output[r], hist_output[r]) writes. `threads` splits the rows across that many\n"
    "threads; the interpreter lock is released meanwhile.";
inline constexpr std::string_view kAtrDoc =
    "Average true range of each row's bars (row r of `high`, `low` and `close`), into the same row of\n"
    "`output`: row r holds, bit for bit, what veldspar.indicator_atr(period, high[r], low[r], close[r],\n"
    "output[r]) writes. `threads` splits the rows across that many threads; the interpreter lock is released\n"
    "meanwhile, unlike in the module's function.";

// MACD's periods, as the module checks them (ValueError).
inline constexpr std::string_view kPeriodsZero = "Periods must be greater than 0";
inline constexpr std::string_view kFastNotBelowSlow = "Fast period must be less than slow period";

}  // namespace veldspar::kit::panel::messages
