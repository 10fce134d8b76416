// indicator_atr: three borrowed inputs, one output; the whole call keeps the interpreter lock.
#include "entry.hpp"

namespace veldspar::indicators {

py::Status atr_body(const py::Arguments<kAtr>& args) noexcept {
    auto period = args.get(0, py::extract_size);
    if (!period) return period.take_error();
    // Declared in acquisition order, so they are released close, low, high.
    auto high = args.get(1, np::borrow_readonly);
    if (!high) return high.take_error();
    auto low = args.get(2, np::borrow_readonly);
    if (!low) return low.take_error();
    auto close = args.get(3, np::borrow_readonly);
    if (!close) return close.take_error();
    auto output = args.get(4, np::hold_output);
    if (!output) return output.take_error();

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
    if (shares_bytes_with_any(out, {h, l, c})) return value_error(messages::kAtrOverlap);

    core::compute_atr(*period, read_slice(h), read_slice(l), read_slice(c), write_slice(out));
    return std::nullopt;
}

}  // namespace veldspar::indicators
