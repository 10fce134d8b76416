// Every text the stream types show: the module's refusals, read from the module's own header, and the streams' own.
//
// Texts with parts filled in at run time are patterns for frame::format_text:
// each "{}" takes the next argument, in order.
#pragma once

#include <string_view>

#include "veldspar/indicators/messages.hpp"

namespace veldspar::kit::stream::messages {

// update_many refuses what the veldspar module's functions refuse, in the same order and with
// their very texts (tests compare the two): kInputNotContiguous, kPeriodsZero and the others.
using namespace indicators::messages;

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
