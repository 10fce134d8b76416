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
    frame::Object outputs[3];
    for (std::size_t i = 0; i < 3; ++i) {
        auto output = args.get(4 + i, numpy::hold_output);
        if (!output) return output.take_error();
        outputs[i] = std::move(*output);
    }

    if (fast == 0 || slow == 0 || signal == 0) return value_error(messages::kPeriodsZero);
    if (fast >= slow) return value_error(messages::kFastNotBelowSlow);
    const numpy::ArrayView data_view = numpy::array_view(data->get());
    numpy::ArrayView output_views[3];
    for (std::size_t i = 0; i < 3; ++i) {
        output_views[i] = numpy::array_view(outputs[i].get());
        if (output_views[i].size != data_view.size) return value_error(messages::kOutputsLengthMismatch);
    }
    if (!numpy::is_contiguous(data_view)) return value_error(messages::kMacdInputNotContiguous);
    for (std::size_t i = 0; i < 3; ++i) {
        if (!numpy::is_contiguous(output_views[i])) return value_error(messages::kMacdOutputNotContiguous[i]);
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (!numpy::is_writeable(outputs[i].get())) return value_error(messages::kMacdOutputNotWriteable[i]);
    }
    const numpy::ArraySlice in = numpy::array_slice(data_view);
    const numpy::ArraySlice out[3] = {numpy::array_slice(output_views[0]), numpy::array_slice(output_views[1]),
                                      numpy::array_slice(output_views[2])};
    // Each output is written while the input and the other outputs are still
    // read, so any shared byte would make the kernel read its own results.
    if (shares_bytes_with_any(in, {out[0], out[1], out[2]}) || shares_bytes_with_any(out[0], {out[1], out[2]}) ||
        numpy::shares_bytes(out[1], out[2])) {
        return value_error(messages::kMacdOverlap);
    }

    {
        frame::ReleasedLock unlocked;
        core::compute_macd(fast, slow, signal, read_slice(in), write_slice(out[0]), write_slice(out[1]),
                           write_slice(out[2]));
    }
    return std::nullopt;
}

}  // namespace veldspar::indicators
