// The panel functions' arguments off the kernels' path: refusals and their texts, the checks of a call.
#include "arguments.hpp"

#include <climits>
#include <cstdio>

#include "messages.hpp"

namespace veldspar::kit::panel {
namespace {

using frame::Error;
using frame::Object;
using frame::Result;
using frame::Status;
using frame::String;

Error value_error(String text) noexcept { return Error::built_text(PyExc_ValueError, std::move(text)); }

// str(getattr(obj, name)), or the error of the lookup.
Result<String> attribute_text(PyObject* obj, const char* name) noexcept {
    Object value = Object::steal(PyObject_GetAttrString(obj, name));
    if (!value) return Error::fetch();
    return frame::text_of(value.get());
}

String decimal(std::size_t value) noexcept {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%zu", value);
    return String(digits, static_cast<std::size_t>(n));
}

String signed_decimal(std::ptrdiff_t value) noexcept {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%td", value);
    return String(digits, static_cast<std::size_t>(n));
}

// "(rows, cols)", as NumPy shows a shape.
String shape_text(const numpy::PanelView& view) noexcept {
    return frame::format_text(messages::kPair, {decimal(view.rows), decimal(view.cols)});
}

// Why `obj` is not a panel, as the caller's error.
[[gnu::cold]] Error refusal(PyObject* obj, numpy::Refusal why, std::string_view name) noexcept {
    switch (why) {
        case numpy::Refusal::not_an_array:
            return Error::built_text(
                PyExc_TypeError,
                frame::format_text(messages::kNotAnArray,
                                   {frame::qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj))), name}));
        case numpy::Refusal::other_dtype: {
            auto dtype = attribute_text(obj, "dtype");
            if (!dtype) return dtype.take_error();
            return Error::built_text(PyExc_TypeError, frame::format_text(messages::kOtherDtype, {*dtype, name}));
        }
        case numpy::Refusal::other_rank: break;
    }
    auto ndim = attribute_text(obj, "ndim");
    if (!ndim) return ndim.take_error();
    auto shape = attribute_text(obj, "shape");
    if (!shape) return shape.take_error();
    const String hint =
        *ndim == "1" ? frame::format_text(messages::kOneSeriesHint, {name}) : String(messages::kOtherRankHint);
    return value_error(frame::format_text(messages::kOtherRank, {name, *ndim, *shape, hint}));
}

// Accepts `obj` as a panel, or says why not; the table is taken at the first need.
Status accept(PyObject* obj, std::string_view name) noexcept {
    if (!numpy::api::ready()) {
        if (Status failure = numpy::api::load()) return failure;
    }
    numpy::Refusal why{};
    if (numpy::classify<2>(obj, &why) == numpy::Acceptance::refused) [[unlikely]]
        return refusal(obj, why, name);
    return std::nullopt;
}

}  // namespace

Result<numpy::BorrowedPanel> borrow_input(PyObject* obj, std::string_view name) noexcept {
    if (Status failure = accept(obj, name)) return std::move(*failure);
    return numpy::BorrowedPanel::borrow(obj);
}

Result<numpy::HeldPanel> hold_output(PyObject* obj, std::string_view name) noexcept {
    if (Status failure = accept(obj, name)) return std::move(*failure);
    return numpy::HeldPanel::hold(obj);
}

Result<std::size_t> thread_count(PyObject* obj) noexcept {
    if (obj == nullptr) return std::size_t{1};
    Object index = Object::steal(PyNumber_Index(obj));
    if (!index) return Error::fetch();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return Error::fetch();
    if (overflow > 0) return static_cast<std::size_t>(-1);
    if (overflow < 0 || value < 1)
        return value_error(frame::format_text(messages::kTooFewThreads, {frame::text_of(index.get())}));
    if (static_cast<unsigned long long>(value) > static_cast<std::size_t>(-1)) return static_cast<std::size_t>(-1);
    return static_cast<std::size_t>(value);
}

Status check_panels(std::span<const PanelArgument> panels, numpy::PanelSlice* slices) noexcept {
    for (const PanelArgument& panel : panels) {
        const numpy::PanelView view = panel.array.panel();
        if (!numpy::is_c_contiguous(view)) {
            const String strides =
                frame::format_text(messages::kPair, {signed_decimal(view.row_stride), signed_decimal(view.col_stride)});
            return value_error(frame::format_text(messages::kNotContiguous, {panel.name, strides, panel.name}));
        }
    }
    const numpy::PanelView first = panels[0].array.panel();
    for (const PanelArgument& panel : panels.subspan(1)) {
        const numpy::PanelView view = panel.array.panel();
        if (view.rows != first.rows || view.cols != first.cols) {
            return value_error(frame::format_text(messages::kOtherShape,
                                                  {panel.name, panels[0].name, shape_text(first), shape_text(view)}));
        }
    }
    for (const PanelArgument& panel : panels) {
        if (panel.output && !panel.array.writeable()) {
            return value_error(frame::format_text(messages::kReadOnly, {panel.name, panels[0].name}));
        }
    }
    for (std::size_t i = 0; i < panels.size(); ++i) slices[i] = numpy::panel_slice(panels[i].array.panel());
    // Inputs may share memory with each other (high and low may be views of
    // one block); an output is written while every other panel is still read.
    for (std::size_t i = 0; i < panels.size(); ++i) {
        if (!panels[i].output) continue;
        for (std::size_t j = 0; j < panels.size(); ++j) {
            if (j == i || (panels[j].output && j > i)) continue;
            if (numpy::shares_bytes(slices[i], slices[j])) {
                return value_error(
                    frame::format_text(messages::kOverlap, {panels[i].name, panels[j].name, panels[0].name}));
            }
        }
    }
    return std::nullopt;
}

}  // namespace veldspar::kit::panel
