// indicator_macd: three periods, one input, three outputs; the kernel runs without the lock.
#include "entry.hpp"

namespace veldspar::indicators {

frame::Status macd_body(const frame::Arguments<kMacd>& args) noexcept {
    std::size_t periods[3];
    for (std::size_t i = 0; i < 3; ++i) {
        auto period = args.get(i, frame::extract_size);
        if (!period) return period.take_error();
        periods[i] = *period;
    }
    const auto [fast, slow, signal] = periods;
    auto data = args.get(3, numpy::borrow_readonly);
    if (!data) return data.take_error();
    auto macd_output = args.get(4, numpy::hold_output);
    if (!macd_output) return macd_output.take_error();
    auto signal_output = args.get(5, numpy::hold_output);
    if (!signal_output) return signal_output.take_error();
    auto hist_output = args.get(6, numpy::hold_output);
    if (!hist_output) return hist_output.take_error();
    const numpy::HeldOutput* outputs[3] = {&*macd_output, &*signal_output, &*hist_output};

    if (fast == 0 || slow == 0 || signal == 0) return value_error(messages::kPeriodsZero);
    if (fast >= slow) return value_error(messages::kFastNotBelowSlow);
    const numpy::ArrayView data_view = data->view();
    numpy::ArrayView output_views[3];
    for (std::size_t i = 0; i < 3; ++i) {
        output_views[i] = outputs[i]->view();
        if (output_views[i].size != data_view.size) return value_error(messages::kOutputsLengthMismatch);
    }
    if (!numpy::is_contiguous(data_view)) return value_error(messages::kMacdInputNotContiguous);
    for (std::size_t i = 0; i < 3; ++i) {
        if (!numpy::is_contiguous(output_views[i])) return value_error(messages::kMacdOutputNotContiguous[i]);
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (!outputs[i]->writeable()) return value_error(messages::kMacdOutputNotWriteable[i]);
    }
    // The input, then the three outputs.
    const numpy::ArraySlice slices[4] = {numpy::array_slice(data_view), numpy::array_slice(output_views[0]),
                                         numpy::array_slice(output_views[1]), numpy::array_slice(output_views[2])};
    // Each output is written while the input and the other outputs are still
    // read, so any shared byte would make the kernel read its own results.
    for (std::size_t i = 0; i < 3; ++i) {
        if (shares_bytes_with_any(slices[i], std::span(slices).subspan(i + 1))) {
            return value_error(messages::kMacdOverlap);
        }
    }

    {
        frame::ReleasedLock unlocked;
        core::compute_macd(fast, slow, signal, read_slice(slices[0]), write_slice(slices[1]), write_slice(slices[2]),
                           write_slice(slices[3]));
    }
    return std::nullopt;
}

}  // namespace veldspar::indicators
