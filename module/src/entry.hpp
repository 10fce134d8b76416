// What the indicator entry functions share: their signatures, the ValueError of a failed check, kernel slices.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "messages.hpp"
#include "veldspar/core/core.hpp"
#include "veldspar/frame/frame.hpp"
#include "veldspar/numpy/array.hpp"

namespace veldspar::indicators {

// A ValueError with one of the fixed messages of the entry functions.
inline frame::Error value_error(std::string_view fixed_text) noexcept {
    return frame::Error::built(PyExc_ValueError, fixed_text);
}

// True when `slice` shares a byte with any of `others`: the overlap test of
// the entry functions whose kernels write an output while still reading the
// other arrays.
inline bool shares_bytes_with_any(const numpy::ArraySlice& slice, std::span<const numpy::ArraySlice> others) noexcept {
    for (const numpy::ArraySlice& other : others) {
        if (numpy::shares_bytes(slice, other)) return true;
    }
    return false;
}

inline core::ReadSlice read_slice(const numpy::ArraySlice& s) noexcept { return {s.data, s.size}; }
inline core::WriteSlice write_slice(const numpy::ArraySlice& s) noexcept { return {s.data, s.size}; }

// The fixed signatures, in registration order.
inline constexpr std::array<std::string_view, 3> kMovingAverageParameters{"period", "data", "output"};
inline constexpr frame::Signature<3> kSma{"indicator_sma", kMovingAverageParameters};
inline constexpr frame::Signature<3> kEma{"indicator_ema", kMovingAverageParameters};
inline constexpr frame::Signature<7> kMacd{
    "indicator_macd",
    {"fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output", "hist_output"}};
inline constexpr frame::Signature<5> kAtr{"indicator_atr", {"period", "high", "low", "close", "output"}};

// The bodies of the four functions, run by frame::entry: each acquires its
// arguments in parameter order, validates them in its own fixed order, runs
// its kernel and releases what it holds.
frame::Status sma_body(const frame::Arguments<kSma>& args) noexcept;
frame::Status ema_body(const frame::Arguments<kEma>& args) noexcept;
frame::Status macd_body(const frame::Arguments<kMacd>& args) noexcept;
frame::Status atr_body(const frame::Arguments<kAtr>& args) noexcept;

}  // namespace veldspar::indicators
