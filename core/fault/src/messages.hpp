// Every text the fault report writes. Patterns take printf arguments in order.
#pragma once

namespace veldspar::fault::messages {

// The full report of a fault, and the short one of a fault during a report.
inline constexpr const char* kReportHead = "\nthread '<unnamed>' panicked at ";
inline constexpr const char* kNestedHead = "panicked at ";
inline constexpr const char* kNestedTail = "\nthread panicked while processing panic. aborting.\n";
// Location after the file name: ":line:column".
inline constexpr const char* kPlace = ":%u:%u";
inline constexpr const char* kIndexOutOfBounds = "index out of bounds: the len is %zu but the index is %zu";
// Written alone (no report) when the system refuses memory.
inline constexpr const char* kAllocationFailed = "memory allocation of %zu bytes failed\n";

}  // namespace veldspar::fault::messages
