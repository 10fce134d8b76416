// The ATR stream: high, low and close per bar, one value per bar.
#include "stream.hpp"
#include "veldspar/numpy/array.hpp"

namespace veldspar::kit::stream {
namespace {

struct Atr {
    using State = core::AtrState;
    static constexpr frame::Signature<1> kNew{"ATR", {"period"}};
    static constexpr const char* kQualifiedName = "veldspar_kit.stream.ATR";
    static constexpr const char* kPeriodDocs[1] = {"The number of true ranges averaged (read-only)."};

    static Status check(const Periods<1>&) noexcept { return std::nullopt; }
    static State init(const Periods<1>& periods) noexcept { return core::init_atr(periods[0]); }
    static std::size_t window_size(const State&) noexcept { return 0; }
    template <class F>
    static void fields(State& s, F&& field) {
        field(s.count);
        field(s.prev_close);
        field(s.sum);
        field(s.avg);
    }
};

inline constexpr frame::Signature<3> kUpdate{"update", {"high", "low", "close"}};

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    frame::EntryFrame frame;
    frame::Arguments<kUpdate> arguments;
    if (Status failure = frame::bind_arguments(kUpdate.view(), args, nargs, kwnames, arguments.slots())) [[unlikely]]
        return raise(std::move(*failure));
    double bar[3];
    for (std::size_t i = 0; i < 3; ++i) {
        if (Status failure = real_number(arguments.slots()[i], bar[i], kUpdate.parameters[i])) [[unlikely]]
            return raise(std::move(*failure));
    }
    Stream<Atr>& s = *self_of<Atr>(self);
    if (s.busy) [[unlikely]]
        return raise(in_use(Atr::kNew.name));
    auto result = new_float();
    if (!result) [[unlikely]]
        return raise(result.take_error());
    set_float(result->get(), core::update(s.state, bar[0], bar[1], bar[2]));
    return result->release();
}

inline constexpr frame::Signature<4> kUpdateMany{"update_many", {"high", "low", "close", "output"}};

Status update_many(PyObject* self, const frame::Arguments<kUpdateMany>& args) noexcept {
    // Declared in acquisition order, so they are released close, low, high.
    auto high = args.get(0, numpy::borrow_readonly);
    if (!high) return high.take_error();
    auto low = args.get(1, numpy::borrow_readonly);
    if (!low) return low.take_error();
    auto close = args.get(2, numpy::borrow_readonly);
    if (!close) return close.take_error();
    auto output = args.get(3, numpy::hold_output);
    if (!output) return output.take_error();

    const numpy::ArrayView high_view = high->view();
    if (!numpy::is_contiguous(high_view)) return Error::built(PyExc_ValueError, messages::kHighNotContiguous);
    const numpy::ArrayView low_view = low->view();
    if (!numpy::is_contiguous(low_view)) return Error::built(PyExc_ValueError, messages::kLowNotContiguous);
    const numpy::ArrayView close_view = close->view();
    if (!numpy::is_contiguous(close_view)) return Error::built(PyExc_ValueError, messages::kCloseNotContiguous);
    const numpy::ArrayView output_view = output->view();
    const std::size_t n = high_view.size;
    if (low_view.size != n || close_view.size != n || output_view.size != n) {
        return Error::built(PyExc_ValueError, messages::kArraysLengthMismatch);
    }
    if (!numpy::is_contiguous(output_view)) return Error::built(PyExc_ValueError, messages::kOutputNotContiguous);
    if (!output->writeable()) return Error::built(PyExc_ValueError, messages::kOutputNotWriteable);
    // High, low and close may be one array; the output must share no byte with any.
    const numpy::ArraySlice inputs[3] = {numpy::array_slice(high_view), numpy::array_slice(low_view),
                                         numpy::array_slice(close_view)};
    const numpy::ArraySlice out = numpy::array_slice(output_view);
    for (const numpy::ArraySlice& input : inputs) {
        if (numpy::shares_bytes(out, input)) return Error::built(PyExc_ValueError, messages::kAtrOverlap);
    }

    Stream<Atr>& s = *self_of<Atr>(self);
    if (s.busy) return in_use(Atr::kNew.name);
    Claim claim(s.busy);
    {
        frame::ReleasedLock unlocked;
        core::update_many(s.state, {inputs[0].data, n}, {inputs[1].data, n}, {inputs[2].data, n}, {out.data, n});
    }
    return std::nullopt;
}

PyMethodDef g_methods[] = {
    {"update", c_function(update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, high, low, close)\n--\n\n"
     "Feeds one bar and returns the average true range at it: NaN up to and including bar period - 1\n"
     "(counted from 0).\n\n"
     "Each price is a real number (an int, a float, a NumPy integer or floating scalar, or another\n"
     "numbers.Real); anything else is a TypeError, and the stream stays as it was."},
    {"update_many", c_function(method_entry<kUpdateMany, update_many>), METH_FASTCALL | METH_KEYWORDS,
     "update_many($self, high, low, close, output)\n--\n\n"
     "Feeds the bars of high, low and close and writes the value at each into output, in place;\n"
     "returns None.\n\n"
     "All four are 1-D C-contiguous float64 arrays of one length, the output overlapping none of the\n"
     "inputs, refused as veldspar.indicator_atr refuses them, before anything is written. The\n"
     "interpreter lock is released while the bars are fed; meanwhile, any other use of this stream is a\n"
     "RuntimeError."},
    reduce_method<Atr>(),
    setstate_method<Atr>(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "ATR(period)\n--\n\n"
    "Average true range, fed one bar (high, low, close) at a time.\n\n"
    "update(high, low, close) feeds one bar and returns the average at it; update_many(high, low,\n"
    "close, output) feeds a chunk. In any mix, the value at every bar has exactly the bits that\n"
    "veldspar.indicator_atr gives at that index for the whole series: the first average at bar period\n"
    "(counted from 0), NaN before it, and NaN for every bar when period is 0. A period that is not an\n"
    "int is a TypeError, a negative one an OverflowError.\n\n"
    "copy.copy, copy.deepcopy and pickle give an independent stream that carries on identically.";

}  // namespace

Result<Object> make_atr_type() noexcept { return make_type<Atr>(g_methods, kDoc); }

}  // namespace veldspar::kit::stream
