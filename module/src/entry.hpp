// The shape every indicator entry function shares: frame, binding, body, raising.
#pragma once

#include <array>
#include <type_traits>

#include "messages.hpp"
#include "veldspar/core.hpp"
#include "veldspar/np/borrow.hpp"
#include "veldspar/py/frame.hpp"

namespace veldspar::indicators {

// The bound arguments of a call: one borrowed reference per parameter.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

template <const auto& S>
using SlotsOf = Slots<std::remove_cvref_t<decltype(S)>::arity>;

// A METH_FASTCALL | METH_KEYWORDS function: binds the call to signature S
// and runs Body on the slots. Body acquires its arguments in parameter order,
// validates, runs its kernel and releases what it holds before it returns;
// its error, if any, is raised here, once.
template <const auto& S, py::Status (*Body)(const SlotsOf<S>&) noexcept>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    py::EntryFrame frame;
    SlotsOf<S> slots{};
    py::Status failure = py::bind_arguments(S.view(), args, nargs, kwnames, slots.data());
    if (!failure) failure = Body(slots);
    if (failure) {
        std::move(*failure).restore();
        return nullptr;
    }
    return py::Object::borrow(Py_None).release();
}

// A ValueError with one of the fixed messages of the entry functions.
inline py::Error value_error(std::string_view fixed_text) noexcept {
    return py::Error::built(PyExc_ValueError, fixed_text);
}

inline core::ReadSlice read_slice(const np::ArraySlice& s) noexcept { return {s.data, s.size}; }
inline core::WriteSlice write_slice(const np::ArraySlice& s) noexcept { return {s.data, s.size}; }

// The fixed signatures, in registration order.
inline constexpr py::Signature<3> kSma{"indicator_sma", {"period", "data", "output"}};
inline constexpr py::Signature<3> kEma{"indicator_ema", {"period", "data", "output"}};
inline constexpr py::Signature<7> kMacd{
    "indicator_macd",
    {"fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output", "hist_output"}};
inline constexpr py::Signature<5> kAtr{"indicator_atr", {"period", "high", "low", "close", "output"}};

py::Status sma_body(const SlotsOf<kSma>& args) noexcept;
py::Status ema_body(const SlotsOf<kEma>& args) noexcept;
py::Status macd_body(const SlotsOf<kMacd>& args) noexcept;
py::Status atr_body(const SlotsOf<kAtr>& args) noexcept;

}  // namespace veldspar::indicators
