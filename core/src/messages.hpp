// Every text the kernels and streams write, in their fault reports.
#pragma once

namespace veldspar::core::messages {

// A stream was handed a window whose size is not the one its state needs.
inline constexpr const char* kWindowSize = "stream window size does not match its state";

}  // namespace veldspar::core::messages
