// The MACD stream: one input per bar, three values per bar (MACD line, signal line, histogram).
#include "stream.hpp"
#include "veldspar/numpy/array.hpp"

namespace veldspar::kit::stream {
namespace {

struct Macd {
    using State = core::MacdState;
    static constexpr frame::Signature<3> kNew{"MACD", {"fast_period", "slow_period", "signal_period"}};
    static constexpr const char* kQualifiedName = "veldspar_kit.stream.MACD";
    static constexpr const char* kPeriodDocs[3] = {"The period of the fast average (read-only).",
                                                   "The period of the slow average (read-only).",
                                                   "The period of the signal line (read-only)."};

    // The module's checks of the periods, with its texts: the stream has no value otherwise.
    static Status check(const Periods<3>& p) noexcept {
        if (p[0] == 0 || p[1] == 0 || p[2] == 0) return Error::built(PyExc_ValueError, messages::kPeriodsZero);
        if (p[0] >= p[1]) return Error::built(PyExc_ValueError, messages::kFastNotBelowSlow);
        return std::nullopt;
    }
    static State init(const Periods<3>& p) noexcept { return core::init_macd(p[0], p[1], p[2]); }
    static std::size_t window_size(const State& state) noexcept { return core::window_size(state); }
    template <class F>
    static void fields(State& s, F&& field) {
        field(s.count);
        field(s.pos);
        field(s.fast);
        field(s.slow);
        field(s.signal);
    }
};

PyObject* update(PyObject* self, PyObject* x) noexcept {
    frame::EntryFrame frame;
    double value;
    if (Status failure = real_number(x, value)) [[unlikely]]
        return raise(std::move(*failure));
    Stream<Macd>& s = *self_of<Macd>(self);
    if (s.busy) [[unlikely]]
        return raise(in_use(Macd::kNew.name));
    // The result is made whole before the state changes.
    Object result = Object::steal(PyTuple_New(3));
    if (!result) [[unlikely]]
        return nullptr;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        auto item = new_float();
        if (!item) [[unlikely]]
            return raise(item.take_error());
        PyTuple_SET_ITEM(result.get(), i, item->release());
    }
    const core::MacdValues values = core::update(s.state, s.window_span(), value);
    set_float(PyTuple_GET_ITEM(result.get(), 0), values.macd);
    set_float(PyTuple_GET_ITEM(result.get(), 1), values.signal);
    set_float(PyTuple_GET_ITEM(result.get(), 2), values.hist);
    return result.release();
}

inline constexpr frame::Signature<4> kUpdateMany{"update_many",
                                                 {"data", "macd_output", "signal_output", "hist_output"}};

Status update_many(PyObject* self, const frame::Arguments<kUpdateMany>& args) noexcept {
    auto data = args.get(0, numpy::borrow_readonly);
    if (!data) return data.take_error();
    auto macd_output = args.get(1, numpy::hold_output);
    if (!macd_output) return macd_output.take_error();
    auto signal_output = args.get(2, numpy::hold_output);
    if (!signal_output) return signal_output.take_error();
    auto hist_output = args.get(3, numpy::hold_output);
    if (!hist_output) return hist_output.take_error();
    const numpy::HeldOutput* outputs[3] = {&*macd_output, &*signal_output, &*hist_output};

    const numpy::ArrayView data_view = data->view();
    numpy::ArrayView output_views[3];
    for (std::size_t i = 0; i < 3; ++i) {
        output_views[i] = outputs[i]->view();
        if (output_views[i].size != data_view.size) {
            return Error::built(PyExc_ValueError, messages::kOutputsLengthMismatch);
        }
    }
    if (!numpy::is_contiguous(data_view)) return Error::built(PyExc_ValueError, messages::kMacdInputNotContiguous);
    for (std::size_t i = 0; i < 3; ++i) {
        if (!numpy::is_contiguous(output_views[i])) {
            return Error::built(PyExc_ValueError, messages::kMacdOutputNotContiguous[i]);
        }
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (!outputs[i]->writeable()) return Error::built(PyExc_ValueError, messages::kMacdOutputNotWriteable[i]);
    }
    const numpy::ArraySlice slices[4] = {numpy::array_slice(data_view), numpy::array_slice(output_views[0]),
                                         numpy::array_slice(output_views[1]), numpy::array_slice(output_views[2])};
    // Each output is written while the input and the other outputs are still read.
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = i + 1; j < 4; ++j) {
            if (numpy::shares_bytes(slices[i], slices[j]))
                return Error::built(PyExc_ValueError, messages::kMacdOverlap);
        }
    }

    Stream<Macd>& s = *self_of<Macd>(self);
    if (s.busy) return in_use(Macd::kNew.name);
    Claim claim(s.busy);
    {
        frame::ReleasedLock unlocked;
        core::update_many(s.state, s.window_span(), {slices[0].data, slices[0].size}, {slices[1].data, slices[1].size},
                          {slices[2].data, slices[2].size}, {slices[3].data, slices[3].size});
    }
    return std::nullopt;
}

PyMethodDef g_methods[] = {
    {"update", c_function(update), METH_O,
     "update($self, x, /)\n--\n\n"
     "Feeds one bar and returns (macd, signal, hist) at it: NaN before the averages (and the signal\n"
     "line) have their first values, and all three NaN at a bar that is NaN.\n\n"
     "x is a real number (an int, a float, a NumPy integer or floating scalar, or another numbers.Real);\n"
     "anything else is a TypeError, and the stream stays as it was."},
    {"update_many", c_function(method_entry<kUpdateMany, update_many>), METH_FASTCALL | METH_KEYWORDS,
     "update_many($self, data, macd_output, signal_output, hist_output)\n--\n\n"
     "Feeds the bars of data and writes the three values at each into the outputs, in place; returns\n"
     "None.\n\n"
     "All four are 1-D C-contiguous float64 arrays of one length, none overlapping another, refused as\n"
     "veldspar.indicator_macd refuses them, before anything is written. The interpreter lock is released\n"
     "while the bars are fed; meanwhile, any other use of this stream is a RuntimeError."},
    reduce_method<Macd>(),
    setstate_method<Macd>(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "MACD(fast_period, slow_period, signal_period)\n--\n\n"
    "MACD line (fast minus slow exponential average), its signal line and the histogram, fed one bar\n"
    "at a time.\n\n"
    "update(x) feeds one bar and returns (macd, signal, hist) at it; update_many(data, macd_output,\n"
    "signal_output, hist_output) feeds a chunk. In any mix, the values at every bar have exactly the\n"
    "bits that veldspar.indicator_macd gives at that index for the whole series.\n\n"
    "Periods that are not ints are a TypeError, negative ones an OverflowError; a period of 0 and a fast\n"
    "period not below the slow one are a ValueError, as in veldspar.indicator_macd.\n\n"
    "copy.copy, copy.deepcopy and pickle give an independent stream that carries on identically.";

}  // namespace

Result<Object> make_macd_type() noexcept { return make_type<Macd>(g_methods, kDoc); }

}  // namespace veldspar::kit::stream
