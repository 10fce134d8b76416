// Every text the NumPy layer shows: array and capsule errors, borrow refusals, its fault reports.
//
// Texts with parts filled in at run time are patterns for frame::format_text:
// each "{}" takes the next argument, in order.
#pragma once

#include <string_view>

namespace veldspar::numpy::messages {

// The targets named by a type-mismatch TypeError ("'<type>' object cannot be
// converted to '<target>'"): an array argument, and what must be a capsule.
inline constexpr const char* kArrayTarget = "PyArray<T, D>";
inline constexpr const char* kCapsuleTarget = "PyCapsule";

// NumPy's C-API table cannot be taken (ImportError; the cause follows).
inline constexpr std::string_view kArrayApiUnavailable = "Failed to access NumPy array API capsule: ";
inline constexpr std::string_view kArrayApiEmpty = "NumPy's _ARRAY_API capsule holds no table";

// Borrows the shared registry refuses (BufferError; the cause follows the last).
inline constexpr std::string_view kAlreadyBorrowed = "AlreadyBorrowed";
inline constexpr std::string_view kUnexpectedCode = "Unexpected return code {} from borrow checking API";
inline constexpr std::string_view kRegistryUnavailable = "Interal borrow checking API error: ";
// A registry record of a version this module cannot use (TypeError).
inline constexpr std::string_view kUnsupportedVersion =
    "Version {} of borrow checking API is not supported by this version of rust-numpy";

// Internal faults.
inline constexpr std::string_view kSliceOfStridedView = "array_slice of a view that is not contiguous";
inline constexpr std::string_view kArrayApiLostInRegistry =
    "NumPy's C-API table is unavailable inside the borrow registry";

}  // namespace veldspar::numpy::messages
