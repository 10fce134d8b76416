// indicator_sma and indicator_ema: one entry sequence, two kernels.
#include "entry.hpp"

namespace veldspar::indicators {
namespace {

using Kernel = void (*)(std::size_t, core::ReadSlice, core::WriteSlice) noexcept;

template <Kernel kernel, const auto& S>
frame::Status moving_average(const frame::Arguments<S>& args) noexcept {
    auto period = args.get(0, frame::extract_size);
    if (!period) return period.take_error();
    auto data = args.get(1, numpy::borrow_readonly);
    if (!data) return data.take_error();
    auto output = args.get(2, numpy::hold_output);
    if (!output) return output.take_error();

    const numpy::ArrayView data_view = data->view();
    if (!numpy::is_contiguous(data_view)) return value_error(messages::kInputNotContiguous);
    const numpy::ArrayView output_view = output->view();
    if (!numpy::is_contiguous(output_view)) return value_error(messages::kOutputNotContiguous);
    if (data_view.size != output_view.size) return value_error(messages::kLengthMismatch);
    if (!output->writeable()) return value_error(messages::kOutputNotWriteable);
    const numpy::ArraySlice in = numpy::array_slice(data_view);
    const numpy::ArraySlice out = numpy::array_slice(output_view);
    // The output may be the input itself (the result is then all NaN), but a
    // shifted overlap would feed the kernel values it has just written.
    if (in.data != out.data && numpy::shares_bytes(in, out)) {
        return value_error(messages::kPartialOverlap);
    }

    {
        frame::ReleasedLock unlocked;
        kernel(*period, read_slice(in), write_slice(out));
    }
    return std::nullopt;
}

}  // namespace

frame::Status sma_body(const frame::Arguments<kSma>& args) noexcept { return moving_average<core::compute_sma>(args); }
frame::Status ema_body(const frame::Arguments<kEma>& args) noexcept { return moving_average<core::compute_ema>(args); }

}  // namespace veldspar::indicators
