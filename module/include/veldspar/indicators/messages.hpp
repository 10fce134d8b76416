// The texts of the four functions' checks: the module's contract, shared with the kit's streams.
//
// veldspar_kit's stream objects refuse in update_many exactly what the
// module's functions refuse, with these same texts; both read them from here.
#pragma once

#include <string_view>

namespace veldspar::indicators::messages {

// indicator_sma and indicator_ema, in check order.
inline constexpr std::string_view kInputNotContiguous = "Input array must be C-contiguous and float64";
inline constexpr std::string_view kOutputNotContiguous = "Output array must be C-contiguous and float64";
inline constexpr std::string_view kLengthMismatch = "Output array length must match input";
inline constexpr std::string_view kOutputNotWriteable = "Output array must be writeable";
inline constexpr std::string_view kPartialOverlap = "Output array must not partially overlap the input";

// indicator_macd, in check order; the per-output texts are indexed like the outputs.
inline constexpr std::string_view kPeriodsZero = "Periods must be greater than 0";
inline constexpr std::string_view kFastNotBelowSlow = "Fast period must be less than slow period";
inline constexpr std::string_view kOutputsLengthMismatch = "All output arrays must have the same length as input data";
inline constexpr std::string_view kMacdInputNotContiguous = "Input array must be C-contiguous";
inline constexpr std::string_view kMacdOutputNotContiguous[3] = {"MACD output array must be C-contiguous",
                                                                 "Signal output array must be C-contiguous",
                                                                 "Histogram output array must be C-contiguous"};
inline constexpr std::string_view kMacdOutputNotWriteable[3] = {"MACD output array must be writeable",
                                                                "Signal output array must be writeable",
                                                                "Histogram output array must be writeable"};
inline constexpr std::string_view kMacdOverlap = "Output arrays must not overlap the input or each other";

// indicator_atr, in check order (then kOutputNotContiguous, kOutputNotWriteable).
inline constexpr std::string_view kHighNotContiguous = "High array must be C-contiguous and float64";
inline constexpr std::string_view kLowNotContiguous = "Low array must be C-contiguous and float64";
inline constexpr std::string_view kCloseNotContiguous = "Close array must be C-contiguous and float64";
inline constexpr std::string_view kArraysLengthMismatch = "All arrays must have the same length";
inline constexpr std::string_view kAtrOverlap = "Output array must not overlap the inputs";

}  // namespace veldspar::indicators::messages
