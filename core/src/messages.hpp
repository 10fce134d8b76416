// Every text the kernels and streams write, in their fault reports.
#pragma once

namespace veldspar::core::messages {

// A stream was handed a window whose size is not the one its state needs.
inline constexpr const char* kWindowSize = "stream window size does not match its state";

// The panels of one panel kernel call do not all have the same rows and columns.
inline constexpr const char* kPanelShape = "panels of one call differ in shape";
// A panel's rows times columns does not fit in a size_t.
inline constexpr const char* kPanelSize = "panel has more elements than a size_t can count";
// A row range whose end lies before its beginning.
inline constexpr const char* kRowRange = "row range ends before it begins";

}  // namespace veldspar::core::messages
