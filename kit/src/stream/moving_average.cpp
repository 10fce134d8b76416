// SMA and EMA streams: one input per bar, one value per bar; update_many as the batch functions check it.
#include <algorithm>
#include <iterator>

#include "stream.hpp"
#include "veldspar/numpy/array.hpp"

namespace veldspar::kit::stream {
namespace {

struct Sma {
    using State = core::SmaState;
    static constexpr frame::Signature<1> kNew{"SMA", {"period"}};
    static constexpr const char* kQualifiedName = "veldspar_kit.stream.SMA";
    static constexpr const char* kPeriodDocs[1] = {"The number of bars averaged (read-only)."};

    static Status check(const Periods<1>&) noexcept { return std::nullopt; }
    static State init(const Periods<1>& periods) noexcept { return core::init_sma(periods[0]); }
    static std::size_t window_size(const State& state) noexcept { return core::window_size(state); }
    template <class F>
    static void fields(State& s, F&& field) {
        field(s.count);
        field(s.pos);
        field(s.sum);
    }
    static double step(Stream<Sma>& s, double x) noexcept { return core::update(s.state, s.window_span(), x); }
    static void many(Stream<Sma>& s, core::ReadSlice data, core::WriteSlice output) noexcept {
        core::update_many(s.state, s.window_span(), data, output);
    }
};

struct Ema {
    using State = core::EmaState;
    static constexpr frame::Signature<1> kNew{"EMA", {"period"}};
    static constexpr const char* kQualifiedName = "veldspar_kit.stream.EMA";
    static constexpr const char* kPeriodDocs[1] = {
        "The period; the weight of a new bar is 2 / (period + 1) (read-only)."};

    static Status check(const Periods<1>&) noexcept { return std::nullopt; }
    static State init(const Periods<1>& periods) noexcept { return core::init_ema(periods[0]); }
    static std::size_t window_size(const State&) noexcept { return 0; }
    template <class F>
    static void fields(State& s, F&& field) {
        field(s.count);
        field(s.run);
        field(s.sum);
        field(s.avg);
    }
    static double step(Stream<Ema>& s, double x) noexcept { return core::update(s.state, x); }
    static void many(Stream<Ema>& s, core::ReadSlice data, core::WriteSlice output) noexcept {
        core::update_many(s.state, data, output);
    }
};

template <class I>
PyObject* update(PyObject* self, PyObject* x) noexcept {
    frame::EntryFrame frame;
    double value;
    if (Status failure = real_number(x, value)) [[unlikely]]
        return raise(std::move(*failure));
    Stream<I>& s = *self_of<I>(self);
    if (s.busy) [[unlikely]]
        return raise(in_use(I::kNew.name));
    auto result = new_float();
    if (!result) [[unlikely]]
        return raise(result.take_error());
    set_float(result->get(), I::step(s, value));
    return result->release();
}

// The output is the input: each piece is copied aside before its values overwrite it, so every
// value is the one the bar gives (the batch functions, which have no state, define all NaN instead).
template <class I>
void update_in_place(Stream<I>& s, void* data, std::size_t n) noexcept {
    double piece[256];
    auto* bytes = static_cast<char*>(data);
    for (std::size_t done = 0; done < n;) {
        const std::size_t k = std::min(std::size(piece), n - done);
        std::memcpy(piece, bytes + sizeof(double) * done, sizeof(double) * k);
        I::many(s, {piece, k}, {bytes + sizeof(double) * done, k});
        done += k;
    }
}

inline constexpr frame::Signature<2> kUpdateMany{"update_many", {"data", "output"}};

template <class I>
Status update_many(PyObject* self, const frame::Arguments<kUpdateMany>& args) noexcept {
    auto data = args.get(0, numpy::borrow_readonly);
    if (!data) return data.take_error();
    auto output = args.get(1, numpy::hold_output);
    if (!output) return output.take_error();

    const numpy::ArrayView data_view = data->view();
    if (!numpy::is_contiguous(data_view)) return Error::built(PyExc_ValueError, messages::kInputNotContiguous);
    const numpy::ArrayView output_view = output->view();
    if (!numpy::is_contiguous(output_view)) return Error::built(PyExc_ValueError, messages::kOutputNotContiguous);
    if (data_view.size != output_view.size) return Error::built(PyExc_ValueError, messages::kLengthMismatch);
    if (!output->writeable()) return Error::built(PyExc_ValueError, messages::kOutputNotWriteable);
    const numpy::ArraySlice in = numpy::array_slice(data_view);
    const numpy::ArraySlice out = numpy::array_slice(output_view);
    if (in.data != out.data && numpy::shares_bytes(in, out)) {
        return Error::built(PyExc_ValueError, messages::kPartialOverlap);
    }

    Stream<I>& s = *self_of<I>(self);
    if (s.busy) return in_use(I::kNew.name);
    Claim claim(s.busy);
    {
        frame::ReleasedLock unlocked;
        if (in.data == out.data) {
            update_in_place(s, out.data, out.size);
        } else {
            I::many(s, {in.data, in.size}, {out.data, out.size});
        }
    }
    return std::nullopt;
}

template <class I>
PyMethodDef methods[] = {
    {"update", c_function(update<I>), METH_O, nullptr},
    {"update_many", c_function(method_entry<kUpdateMany, update_many<I>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    reduce_method<I>(),
    setstate_method<I>(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kSmaUpdateDoc =
    "update($self, x, /)\n--\n\n"
    "Feeds one bar and returns the simple moving average at it: NaN before the first full window.\n\n"
    "x is a real number (an int, a float, a NumPy integer or floating scalar, or another numbers.Real);\n"
    "anything else is a TypeError, and the stream stays as it was.";
constexpr const char* kEmaUpdateDoc =
    "update($self, x, /)\n--\n\n"
    "Feeds one bar and returns the exponential moving average at it: NaN before the seed and at a bar\n"
    "that is NaN or infinite.\n\n"
    "x is a real number (an int, a float, a NumPy integer or floating scalar, or another numbers.Real);\n"
    "anything else is a TypeError, and the stream stays as it was.";
constexpr const char* kUpdateManyDoc =
    "update_many($self, data, output)\n--\n\n"
    "Feeds the bars of data and writes the value at each into output, in place; returns None.\n\n"
    "Both are 1-D C-contiguous float64 arrays of one length, refused as the veldspar module's\n"
    "functions refuse them, before anything is written; output may be data itself. The interpreter\n"
    "lock is released while the bars are fed; meanwhile, any other use of this stream is a\n"
    "RuntimeError.";

constexpr const char* kSmaDoc =
    "SMA(period)\n--\n\n"
    "Simple moving average, fed one bar at a time.\n\n"
    "update(x) feeds one bar and returns the average at it; update_many(data, output) feeds a chunk.\n"
    "In any mix, the value at every bar has exactly the bits that veldspar.indicator_sma gives at that\n"
    "index for the whole series: NaN before the first full window, and for every bar when period is 0.\n"
    "A period that is not an int is a TypeError, a negative one an OverflowError.\n\n"
    "copy.copy, copy.deepcopy and pickle give an independent stream that carries on identically.";
constexpr const char* kEmaDoc =
    "EMA(period)\n--\n\n"
    "Exponential moving average with alpha = 2 / (period + 1), fed one bar at a time.\n\n"
    "update(x) feeds one bar and returns the average at it; update_many(data, output) feeds a chunk.\n"
    "In any mix, the value at every bar has exactly the bits that veldspar.indicator_ema gives at that\n"
    "index for the whole series: seeded by the mean of the first period finite bars, NaN before that and\n"
    "at NaN or infinite bars, and NaN for every bar when period is 0. A period that is not an int is a\n"
    "TypeError, a negative one an OverflowError.\n\n"
    "copy.copy, copy.deepcopy and pickle give an independent stream that carries on identically.";

template <class I>
Result<Object> make(const char* update_doc, const char* doc) noexcept {
    methods<I>[0].ml_doc = update_doc;
    methods<I>[1].ml_doc = kUpdateManyDoc;
    return make_type<I>(methods<I>, doc);
}

}  // namespace

Result<Object> make_sma_type() noexcept { return make<Sma>(kSmaUpdateDoc, kSmaDoc); }
Result<Object> make_ema_type() noexcept { return make<Ema>(kEmaUpdateDoc, kEmaDoc); }

}  // namespace veldspar::kit::stream
