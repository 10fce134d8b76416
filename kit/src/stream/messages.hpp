// Every text the stream types show: the batch functions' refusals, word for word, and the streams' own.
//
// Texts with parts filled in at run time are patterns for frame::format_text:
// each "{}" takes the next argument, in order.
#pragma once

#include <string_view>

namespace veldspar::kit::stream::messages {

// update_many refuses what the veldspar module's functions refuse, with their
// texts (tests compare the two), in the same order.
// SMA and EMA.
inline constexpr std::string_view kInputNotContiguous = "Input array must be C-contiguous and float64";
inline constexpr std::string_view kOutputNotContiguous = "Output array must be C-contiguous and float64";
inline constexpr std::string_view kLengthMismatch = "Output array length must match input";
inline constexpr std::string_view kOutputNotWriteable = "Output array must be writeable";
inline constexpr std::string_view kPartialOverlap = "Output array must not partially overlap the input";
// MACD: the periods at construction, then update_many's arrays; per-output texts indexed like the outputs.
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
// ATR (then kOutputNotContiguous, kOutputNotWriteable).
inline constexpr std::string_view kHighNotContiguous = "High array must be C-contiguous and float64";
inline constexpr std::string_view kLowNotContiguous = "Low array must be C-contiguous and float64";
inline constexpr std::string_view kCloseNotContiguous = "Close array must be C-contiguous and float64";
inline constexpr std::string_view kArraysLengthMismatch = "All arrays must have the same length";
inline constexpr std::string_view kAtrOverlap = "Output array must not overlap the inputs";

// update() of something that is not a real number (TypeError): the type's name, or the parameter's then the type's.
inline constexpr std::string_view kNotReal = "update() argument must be a real number, not {}";
inline constexpr std::string_view kNotRealNamed = "update() argument '{}' must be a real number, not {}";

// A second caller while update_many runs without the interpreter lock (RuntimeError): the type's name.
inline constexpr std::string_view kInUse =
    "this {} stream is in use by another thread (in update_many); a stream serves one caller at a time";

// Restoring a pickled state (__setstate__, ValueError). The type's name comes first in each.
inline constexpr std::string_view kNotAState =
    "{}: cannot restore the stream from {}: expected the (format, bytes) pair that pickling a stream makes";
inline constexpr std::string_view kUnknownFormat =
    "{}: cannot restore the stream from format {}: this release of veldspar_kit reads format {} only; "
    "load it with the release that saved it";
inline constexpr std::string_view kTruncated =
    "{}: cannot restore the stream: its saved state is damaged ({} bytes where {} were expected)";
inline constexpr std::string_view kOtherPeriods =
    "{}: cannot restore the stream: it was saved with periods ({}), this one has ({})";
inline constexpr std::string_view kInvalidState =
    "{}: cannot restore the stream: its saved state is not one that any series of bars leads to";

// repr(): the type's name, its periods as "name=value" pairs, the bars seen.
inline constexpr std::string_view kRepr = "<{} {} count={}>";
inline constexpr std::string_view kReprInUse = "<{} {} (in use by another thread)>";

}  // namespace veldspar::kit::stream::messages
