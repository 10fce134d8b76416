// indicator_atr: three borrowed inputs, one output; the whole call keeps the interpreter lock.
#include "entry.hpp"

namespace veldspar::indicators {

frame::Status atr_body(const frame::Arguments<kAtr>& args) noexcept {
    auto period = args.get(0, frame::extract_size);
    if (!period) return period.take_error();
    // Declared in acquisition order, so they are released close, low, high.
    auto high = args.get(1, numpy::borrow_readonly);
    if (!high) return high.take_error();
    auto low = args.get(2, numpy::borrow_readonly);
    if (!low) return low.take_error();
    auto close = args.get(3, numpy::borrow_readonly);
    if (!close) return close.take_error();
    auto output = args.get(4, numpy::hold_output);
    if (!output) return output.take_error();

    const numpy::ArrayView high_view = high->view();
    if (!numpy::is_contiguous(high_view)) return value_error(messages::kHighNotContiguous);
    const numpy::ArrayView low_view = low->view();
    if (!numpy::is_contiguous(low_view)) return value_error(messages::kLowNotContiguous);
    const numpy::ArrayView close_view = close->view();
    if (!numpy::is_contiguous(close_view)) return value_error(messages::kCloseNotContiguous);
    const numpy::ArrayView output_view = output->view();
    const std::size_t n = high_view.size;
    if (low_view.size != n || close_view.size != n || output_view.size != n) {
        return value_error(messages::kArraysLengthMismatch);
    }
    if (!numpy::is_contiguous(output_view)) return value_error(messages::kOutputNotContiguous);
    if (!output->writeable()) return value_error(messages::kOutputNotWriteable);
    // High, low and close may be one array; the output must share no byte with any.
    const numpy::ArraySlice inputs[3] = {numpy::array_slice(high_view), numpy::array_slice(low_view),
                                         numpy::array_slice(close_view)};
    const numpy::ArraySlice out = numpy::array_slice(output_view);
    if (shares_bytes_with_any(out, inputs)) return value_error(messages::kAtrOverlap);

    core::compute_atr(*period, read_slice(inputs[0]), read_slice(inputs[1]), read_slice(inputs[2]), write_slice(out));
    return std::nullopt;
}

}  // namespace veldspar::indicators
