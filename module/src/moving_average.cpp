// indicator_sma and indicator_ema: one entry sequence, two kernels.
#include "entry.hpp"

namespace veldspar::indicators {
namespace {

using Kernel = void (*)(std::size_t, core::ReadSlice, core::WriteSlice) noexcept;

template <Kernel kernel, const auto& S>
py::Status moving_average(const py::Arguments<S>& args) noexcept {
    auto period = args.get(0, py::extract_size);
    if (!period) return period.take_error();
    auto data = args.get(1, np::borrow_readonly);
    if (!data) return data.take_error();
    auto output = args.get(2, np::hold_output);
    if (!output) return output.take_error();

    const np::ArrayView data_view = np::array_view(data->get());
    if (!np::is_contiguous(data_view)) return value_error(messages::kInputNotContiguous);
    const np::ArrayView output_view = np::array_view(output->get());
    if (!np::is_contiguous(output_view)) return value_error(messages::kOutputNotContiguous);
    if (data_view.size != output_view.size) return value_error(messages::kLengthMismatch);
    if (!np::is_writeable(output->get())) return value_error(messages::kOutputNotWriteable);
    const np::ArraySlice in = np::array_slice(data_view);
    const np::ArraySlice out = np::array_slice(output_view);
    // The output may be the input itself (the result is then all NaN), but a
    // shifted overlap would feed the kernel values it has just written.
    if (in.data != out.data && np::shares_bytes(in, out)) {
        return value_error(messages::kPartialOverlap);
    }

    {
        py::ReleasedLock unlocked;
        kernel(*period, read_slice(in), write_slice(out));
    }
    return std::nullopt;
}

}  // namespace

py::Status sma_body(const py::Arguments<kSma>& args) noexcept { return moving_average<core::compute_sma>(args); }
py::Status ema_body(const py::Arguments<kEma>& args) noexcept { return moving_average<core::compute_ema>(args); }

}  // namespace veldspar::indicators
