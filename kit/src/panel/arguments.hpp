// The panel functions' arguments: arrays taken as panels with texts that say what was expected, the thread
// count, and the checks that every call passes before anything is written.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "veldspar/core/panel.hpp"
#include "veldspar/frame/frame.hpp"
#include "veldspar/numpy/array.hpp"

namespace veldspar::kit::panel {

// `obj` as an input panel, argument `name`: accepted as numpy::classify<2>
// accepts it, referenced and registered as a read borrow for the call. A
// refusal says what the argument is and what was expected: a TypeError for
// something that is not a float64 array, a ValueError for another number of
// dimensions.
frame::Result<numpy::BorrowedPanel> borrow_input(PyObject* obj, std::string_view name) noexcept;

// `obj` as an output panel: accepted as above and referenced for the call.
frame::Result<numpy::HeldPanel> hold_output(PyObject* obj, std::string_view name) noexcept;

// The `threads` argument: 1 when not given, else an int (or an object with
// __index__) of at least 1; a larger one than a size_t holds counts as the
// largest. Below 1 is a ValueError.
frame::Result<std::size_t> thread_count(PyObject* obj) noexcept;

// One acquired panel argument, named as in the signature.
struct PanelArgument {
    std::string_view name;
    const numpy::AcquiredArray<2>& array;
    bool output;
};

// The checks of a call, in this order, each a ValueError naming the
// argument: every panel C-contiguous (in parameter order); every panel of the
// first one's shape; every output writeable; no output sharing a byte with an
// input or with another output. On success `slices` receives each panel's
// slice, in the order of `panels`.
frame::Status check_panels(std::span<const PanelArgument> panels, numpy::PanelSlice* slices) noexcept;

inline core::ReadPanel read_panel(const numpy::PanelSlice& s) noexcept { return {s.data, s.rows, s.cols}; }
inline core::WritePanel write_panel(const numpy::PanelSlice& s) noexcept { return {s.data, s.rows, s.cols}; }

}  // namespace veldspar::kit::panel
