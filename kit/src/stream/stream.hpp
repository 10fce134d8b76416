// The stream types: one native object per indicator, holding the core's state and window between calls.
//
// Each indicator describes itself by a traits class (moving_average.cpp,
// macd.cpp, atr.cpp); what every stream does the same way is written once
// here and instantiated per indicator: construction from periods, release,
// repr, the read-only attributes, the saved state of copy and pickle, the
// conversion of one bar's numbers and the claim on the stream while
// update_many runs without the interpreter lock.
//
//   struct Sma {
//       using State = core::SmaState;
//       static constexpr frame::Signature<1> kNew{"SMA", {"period"}};  // name and periods
//       static constexpr const char* kQualifiedName = "veldspar_kit.stream.SMA";
//       static frame::Status check(const Periods<1>&) noexcept;       // refusals beyond conversion
//       static State init(const Periods<1>&) noexcept;
//       static std::size_t window_size(const State&) noexcept;
//       template <class F> static void fields(State&, F&&);           // the changing fields, saved in order
//   };
//
// Threads. Everything runs with the interpreter lock held, except the core's
// loop inside update_many; while it runs, the stream is marked busy, and any
// other use of it (from another thread: the lock is free then) is refused
// with a RuntimeError instead of waiting. Nothing ever waits, so nothing can
// deadlock, and the state is never read or written by two threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <type_traits>

#include "messages.hpp"
#include "veldspar/core/stream.hpp"
#include "veldspar/frame/frame.hpp"

namespace veldspar::kit::stream {

using frame::Error;
using frame::Object;
using frame::Result;
using frame::Status;

template <std::size_t N>
using Periods = std::array<std::size_t, N>;

// The version of the saved state that this release writes and reads.
inline constexpr std::uint64_t kStateFormat = 1;

template <class I>
constexpr std::size_t kPeriodCount = decltype(I::kNew)::arity;

template <class I>
struct Stream {
    PyObject_HEAD typename I::State state;
    // The periods again, apart from the state: attributes read them while update_many writes the state.
    Periods<kPeriodCount<I>> periods;
    std::size_t window_size;
    double* window;  // window_size doubles (null when 0), allocated with the stream
    bool busy;       // update_many's loop is running without the interpreter lock

    std::span<double> window_span() noexcept { return {window, window_size}; }
};

template <class I>
Stream<I>* self_of(PyObject* self) noexcept {
    return reinterpret_cast<Stream<I>*>(self);
}

// The RuntimeError of a stream used while busy.
[[gnu::cold]] Error in_use(std::string_view name) noexcept;

// Raises `error` and returns null: the end of every failed call.
[[gnu::cold]] PyObject* raise(Error error) noexcept;

namespace detail {
[[gnu::cold]] Status real_number_slow(PyObject* x, double& value, std::string_view parameter) noexcept;
}

// `x` as a double if it is a real number: a float or an int (subclasses
// included), or an instance of numbers.Real (a NumPy floating or integer
// scalar, a Fraction, any type registered as one), converted by float(x).
// Anything else is the TypeError "update() argument must be a real number,
// not T" (naming `parameter` when given); an error of x's own __float__ or
// __index__ passes unchanged. Nothing else is touched, so a failure leaves
// every stream as it was.
[[gnu::always_inline]] inline Status real_number(PyObject* x, double& value, std::string_view parameter = {}) noexcept {
    if (PyFloat_CheckExact(x)) [[likely]] {
        value = PyFloat_AS_DOUBLE(x);
        return std::nullopt;
    }
    return detail::real_number_slow(x, value, parameter);
}

// A float made before the value it will hold is known, so that an update
// that cannot allocate its result fails before it changes the state. Nothing
// else sees the object until it is returned.
inline Result<Object> new_float() noexcept {
    Object result = Object::steal(PyFloat_FromDouble(0.0));
    if (!result) return Error::fetch();
    return result;
}
inline void set_float(PyObject* made, double value) noexcept {
    reinterpret_cast<PyFloatObject*>(made)->ob_fval = value;
}

// A METH_FASTCALL | METH_KEYWORDS method of signature S that returns None: binds the call and runs
// Body on the stream and the arguments; its error, if any, is raised here, once.
template <const auto& S, Status (*Body)(PyObject* self, const frame::Arguments<S>&) noexcept>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    frame::EntryFrame frame;
    frame::Arguments<S> arguments;
    Status failure = frame::bind_arguments(S.view(), args, nargs, kwnames, arguments.slots());
    if (!failure) failure = Body(self, arguments);
    if (failure) return raise(std::move(*failure));
    return Object::borrow(Py_None).release();
}

template <class Function>
PyCFunction c_function(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Marks a stream busy for the life of the guard: update_many's loop, which runs without the lock.
class Claim {
public:
    explicit Claim(bool& busy) noexcept : busy_(busy) { busy_ = true; }
    ~Claim() { busy_ = false; }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

private:
    bool& busy_;
};

// Binds a type call's tuple and dictionary to `slots` as the frame binds a fast call.
Status bind_call(const frame::FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                 PyObject** slots) noexcept;

// The pieces of the saved state shared by every indicator (stream.cpp).
namespace saved {
// Writes a 64-bit little-endian word at `at`; returns the place after it.
char* put(char* at, std::uint64_t word) noexcept;
// The word at `index` of `data`.
std::uint64_t get(const char* data, std::size_t index) noexcept;
// "3" or "12, 26, 9".
frame::String list(std::span<const std::uint64_t> values) noexcept;
// The (format, bytes) pair's bytes, or the error naming what `state` is instead.
Result<std::string_view> bytes_of(std::string_view name, PyObject* state) noexcept;
Error truncated(std::string_view name, std::size_t size, std::size_t expected) noexcept;
Error other_periods(std::string_view name, std::span<const std::uint64_t> saved,
                    std::span<const std::uint64_t> own) noexcept;
Error invalid(std::string_view name) noexcept;
}  // namespace saved

// Type construction: new, dealloc, repr, attributes, __reduce__, __setstate__.
template <class I>
struct StreamType {
    using State = typename I::State;
    static constexpr std::size_t kN = kPeriodCount<I>;
    static constexpr std::string_view kName = I::kNew.name;

    static PyObject* new_stream(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        frame::EntryFrame frame;
        frame::Arguments<I::kNew> arguments;
        if (Status failure = bind_call(I::kNew.view(), args, kwargs, arguments.slots())) {
            return raise(std::move(*failure));
        }
        Periods<kN> periods;
        for (std::size_t i = 0; i < kN; ++i) {
            auto period = arguments.get(i, frame::extract_size);
            if (!period) return raise(period.take_error());
            periods[i] = *period;
        }
        if (Status failure = I::check(periods)) return raise(std::move(*failure));
        const State state = I::init(periods);
        const std::size_t size = I::window_size(state);
        // PyMem_Calloc refuses a size * 8 beyond the largest object: a window too large is a MemoryError.
        double* window = nullptr;
        if (size > 0) {
            window = static_cast<double*>(PyMem_Calloc(size, sizeof(double)));
            if (window == nullptr) return PyErr_NoMemory();
        }
        PyObject* made = type->tp_alloc(type, 0);
        if (made == nullptr) {
            PyMem_Free(window);
            return nullptr;
        }
        Stream<I>* self = self_of<I>(made);
        self->state = state;
        self->periods = periods;
        self->window_size = size;
        self->window = window;
        self->busy = false;
        return made;
    }

    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        PyMem_Free(self_of<I>(self)->window);
        type->tp_free(self);
        Object::steal(reinterpret_cast<PyObject*>(type));  // instances of a heap type hold a reference to it
    }

    static std::array<std::uint64_t, kN> wide(const Periods<kN>& periods) noexcept {
        std::array<std::uint64_t, kN> words;
        for (std::size_t i = 0; i < kN; ++i) words[i] = periods[i];
        return words;
    }

    // "period=3" or "fast_period=12 slow_period=26 signal_period=9".
    static frame::String period_pairs(const Stream<I>& self) noexcept {
        frame::String pairs;
        const auto words = wide(self.periods);
        for (std::size_t i = 0; i < kN; ++i) {
            if (i != 0) pairs += ' ';
            pairs += I::kNew.parameters[i];
            pairs += '=';
            pairs += saved::list({&words[i], 1});
        }
        return pairs;
    }

    static PyObject* repr(PyObject* self) noexcept {
        frame::EntryFrame frame;
        const Stream<I>& s = *self_of<I>(self);
        if (s.busy)
            return frame::make_str(frame::format_text(messages::kReprInUse, {kName, period_pairs(s)})).release();
        const std::uint64_t count = s.state.count;
        return frame::make_str(frame::format_text(messages::kRepr, {kName, period_pairs(s), saved::list({&count, 1})}))
            .release();
    }

    static PyObject* get_period(PyObject* self, void* index) noexcept {
        return PyLong_FromSize_t(self_of<I>(self)->periods[reinterpret_cast<std::uintptr_t>(index)]);
    }

    static PyObject* get_count(PyObject* self, void*) noexcept {
        frame::EntryFrame frame;
        const Stream<I>& s = *self_of<I>(self);
        if (s.busy) return raise(in_use(kName));
        return PyLong_FromUnsignedLongLong(s.state.count);
    }

    // The written part of the window: slots 0 to min(count, size) - 1.
    static std::size_t saved_slots(const State& state, std::size_t size) noexcept {
        return state.count < size ? static_cast<std::size_t>(state.count) : size;
    }

    // (type, periods, (format, bytes)): the bytes hold the periods, the changing fields and the
    // written window slots, each as a 64-bit little-endian word, so they read the same on every target.
    static PyObject* reduce(PyObject* self, PyObject*) noexcept {
        frame::EntryFrame frame;
        Stream<I>& s = *self_of<I>(self);
        if (s.busy) return raise(in_use(kName));
        State state = s.state;
        std::size_t fields = 0;
        I::fields(state, [&](auto&) { ++fields; });
        const std::size_t slots = saved_slots(state, s.window_size);
        // Made as a bytes object at once: a window too large for memory is a MemoryError.
        Object bytes =
            Object::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(8 * (kN + fields + slots))));
        if (!bytes) return nullptr;
        char* at = PyBytes_AS_STRING(bytes.get());
        for (std::size_t period : s.periods) at = saved::put(at, period);
        I::fields(state, [&](auto& field) {
            if constexpr (std::is_floating_point_v<std::remove_reference_t<decltype(field)>>) {
                std::uint64_t bits;
                std::memcpy(&bits, &field, sizeof bits);
                at = saved::put(at, bits);
            } else {
                at = saved::put(at, field);
            }
        });
        for (std::size_t i = 0; i < slots; ++i) {
            std::uint64_t bits;
            std::memcpy(&bits, &s.window[i], sizeof bits);
            at = saved::put(at, bits);
        }
        Object periods = Object::steal(PyTuple_New(kN));
        if (!periods) return nullptr;
        for (std::size_t i = 0; i < kN; ++i) {
            PyObject* period = PyLong_FromSize_t(s.periods[i]);
            if (period == nullptr) return nullptr;
            PyTuple_SET_ITEM(periods.get(), static_cast<Py_ssize_t>(i), period);
        }
        return Py_BuildValue("(O O (K O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), periods.get(),
                             static_cast<unsigned long long>(kStateFormat), bytes.get());
    }

    // Restores a state that reduce() made, refusing anything else before the stream changes.
    static PyObject* setstate(PyObject* self, PyObject* arg) noexcept {
        frame::EntryFrame frame;
        Stream<I>& s = *self_of<I>(self);
        auto bytes = saved::bytes_of(kName, arg);
        if (!bytes) return raise(bytes.take_error());
        const char* data = bytes->data();
        std::size_t fields = 0;
        State probe = I::init(s.periods);
        I::fields(probe, [&](auto&) { ++fields; });
        const std::size_t head = kN + fields;
        if (bytes->size() < 8 * head) return raise(saved::truncated(kName, bytes->size(), 8 * head));

        std::array<std::uint64_t, kN> periods;
        for (std::size_t i = 0; i < kN; ++i) periods[i] = saved::get(data, i);
        if (periods != wide(s.periods)) return raise(saved::other_periods(kName, periods, wide(s.periods)));
        // The fixed fields are init's; the changing ones are read over them, then the whole is checked.
        State state = I::init(s.periods);
        std::size_t at = kN;
        bool representable = true;
        I::fields(state, [&](auto& field) {
            using Field = std::remove_reference_t<decltype(field)>;
            const std::uint64_t word = saved::get(data, at++);
            if constexpr (std::is_floating_point_v<Field>) {
                std::memcpy(&field, &word, sizeof field);
            } else {
                representable = representable && word <= std::numeric_limits<Field>::max();
                field = static_cast<Field>(word);
            }
        });
        if (!representable || !core::is_valid(state)) return raise(saved::invalid(kName));
        const std::size_t slots = saved_slots(state, s.window_size);
        const std::size_t expected = 8 * (head + slots);
        if (bytes->size() != expected) return raise(saved::truncated(kName, bytes->size(), expected));

        if (s.busy) return raise(in_use(kName));
        s.state = state;
        for (std::size_t i = 0; i < slots; ++i) {
            const std::uint64_t word = saved::get(data, head + i);
            std::memcpy(&s.window[i], &word, sizeof word);
        }
        return Object::borrow(Py_None).release();
    }
};

// The type of indicator I with its own methods; shared slots and attributes are added here.
template <class I>
Result<Object> make_type(PyMethodDef* methods, const char* doc) noexcept {
    using T = StreamType<I>;
    static PyGetSetDef getset[kPeriodCount<I> + 2] = {};
    for (std::size_t i = 0; i < kPeriodCount<I>; ++i) {
        getset[i] = {I::kNew.parameters[i].data(), T::get_period, nullptr, I::kPeriodDocs[i],
                     reinterpret_cast<void*>(static_cast<std::uintptr_t>(i))};
    }
    getset[kPeriodCount<I>] = {"count", T::get_count, nullptr, "The number of bars fed so far (read-only).", nullptr};
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(T::new_stream)},
        {Py_tp_dealloc, reinterpret_cast<void*>(T::dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(T::repr)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    unsigned flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    static PyType_Spec recipe = {I::kQualifiedName, static_cast<int>(sizeof(Stream<I>)), 0, flags, slots};
    Object type = Object::steal(PyType_FromSpec(&recipe));
    if (!type) return Error::fetch();
    return type;
}

// The shared methods' table entries.
template <class I>
PyMethodDef reduce_method() noexcept {
    return {"__reduce__", c_function(StreamType<I>::reduce), METH_NOARGS,
            "__reduce__($self, /)\n--\n\nFor copy and pickle: the periods and the saved state."};
}
template <class I>
PyMethodDef setstate_method() noexcept {
    return {"__setstate__", c_function(StreamType<I>::setstate), METH_O,
            "__setstate__($self, state, /)\n--\n\nRestores a state that copy or pickle saved from a stream of the "
            "same periods; refuses any other with a ValueError, leaving the stream as it was."};
}

// The types, made by each indicator's file.
Result<Object> make_sma_type() noexcept;
Result<Object> make_ema_type() noexcept;
Result<Object> make_macd_type() noexcept;
Result<Object> make_atr_type() noexcept;

}  // namespace veldspar::kit::stream
