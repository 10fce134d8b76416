// indicator_macd: three periods, one input, three outputs; the kernel runs without the lock.
#include "entry.hpp"

namespace veldspar::indicators {

py::Status macd_body(const SlotsOf<kMacd>& args) noexcept {
    std::size_t periods[3];
    for (std::size_t i = 0; i < 3; ++i) {
        auto period = py::extract_size(args[i]);
        if (!period) return py::wrap_argument_error(kMacd.parameters[i], period.take_error());
        periods[i] = *period;
    }
    const auto [fast, slow, signal] = periods;
    auto data = np::borrow_readonly(args[3]);
    if (!data) return py::wrap_argument_error("data", data.take_error());
    py::Object outputs[3];
    for (std::size_t i = 0; i < 3; ++i) {
        auto output = np::hold_output(args[4 + i]);
        if (!output) return py::wrap_argument_error(kMacd.parameters[4 + i], output.take_error());
        outputs[i] = std::move(*output);
    }

    if (fast == 0 || slow == 0 || signal == 0) return value_error(messages::kPeriodsZero);
    if (fast >= slow) return value_error(messages::kFastNotBelowSlow);
    const np::ArrayView data_view = np::array_view(data->get());
    np::ArrayView output_views[3];
    for (std::size_t i = 0; i < 3; ++i) {
        output_views[i] = np::array_view(outputs[i].get());
        if (output_views[i].size != data_view.size) {
            return value_error(messages::kOutputsLengthMismatch);
        }
    }
    if (!np::is_contiguous(data_view)) return value_error(messages::kMacdInputNotContiguous);
    for (std::size_t i = 0; i < 3; ++i) {
        if (!np::is_contiguous(output_views[i])) return value_error(messages::kMacdOutputNotContiguous[i]);
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (!np::is_writeable(outputs[i].get())) return value_error(messages::kMacdOutputNotWriteable[i]);
    }
    const np::ArraySlice in = np::array_slice(data_view);
    np::ArraySlice out[3];
    for (std::size_t i = 0; i < 3; ++i) out[i] = np::array_slice(output_views[i]);
    // Each output is written while the input and the other outputs are still
    // read, so any shared byte would make the kernel read its own results.
    if (np::shares_bytes(in, out[0]) || np::shares_bytes(in, out[1]) || np::shares_bytes(in, out[2]) ||
        np::shares_bytes(out[0], out[1]) || np::shares_bytes(out[0], out[2]) || np::shares_bytes(out[1], out[2])) {
        return value_error(messages::kMacdOverlap);
    }

    {
        py::ReleasedLock unlocked;
        core::compute_macd(fast, slow, signal, read_slice(in), write_slice(out[0]), write_slice(out[1]),
                           write_slice(out[2]));
    }
    return std::nullopt;
}

}  // namespace veldspar::indicators
