// indicator_atr: three borrowed inputs, one output; the whole call keeps the interpreter lock.
#include "entry.hpp"

namespace veldspar::indicators {

py::Status atr_body(const SlotsOf<kAtr>& args) noexcept {
    auto period = py::extract_size(args[0]);
    if (!period) return py::wrap_argument_error("period", period.take_error());
    // Declared in acquisition order, so they are released close, low, high.
    auto high = np::borrow_readonly(args[1]);
    if (!high) return py::wrap_argument_error("high", high.take_error());
    auto low = np::borrow_readonly(args[2]);
    if (!low) return py::wrap_argument_error("low", low.take_error());
    auto close = np::borrow_readonly(args[3]);
    if (!close) return py::wrap_argument_error("close", close.take_error());
    auto output = np::hold_output(args[4]);
    if (!output) return py::wrap_argument_error("output", output.take_error());

    const np::ArrayView high_view = np::array_view(high->get());
    if (!np::is_contiguous(high_view)) return value_error(messages::kHighNotContiguous);
    const np::ArrayView low_view = np::array_view(low->get());
    if (!np::is_contiguous(low_view)) return value_error(messages::kLowNotContiguous);
    const np::ArrayView close_view = np::array_view(close->get());
    if (!np::is_contiguous(close_view)) return value_error(messages::kCloseNotContiguous);
    const np::ArrayView output_view = np::array_view(output->get());
    const std::size_t n = high_view.size;
    if (low_view.size != n || close_view.size != n || output_view.size != n) {
        return value_error(messages::kArraysLengthMismatch);
    }
    if (!np::is_contiguous(output_view)) return value_error(messages::kOutputNotContiguous);
    if (!np::is_writeable(output->get())) return value_error(messages::kOutputNotWriteable);
    const np::ArraySlice h = np::array_slice(high_view), l = np::array_slice(low_view), c = np::array_slice(close_view);
    const np::ArraySlice out = np::array_slice(output_view);
    if (np::shares_bytes(out, h) || np::shares_bytes(out, l) || np::shares_bytes(out, c)) {
        return value_error(messages::kAtrOverlap);
    }

    core::compute_atr(*period, read_slice(h), read_slice(l), read_slice(c), write_slice(out));
    return std::nullopt;
}

}  // namespace veldspar::indicators
