// What the stream types share off their hot paths: numbers that are not floats, binding a type call,
// the saved state's pieces, and the feature that adds the four types to the module.
#include "stream.hpp"

#include <cstdio>
#include <vector>

#include "feature.hpp"
#include "veldspar/fault/fault.hpp"

namespace veldspar::kit::stream {
namespace {

// numbers.Real, taken when the feature is added and kept for the process.
PyObject* g_real = nullptr;

frame::String decimal(std::uint64_t value) noexcept {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    return frame::String(digits, static_cast<std::size_t>(n));
}

Error not_real(PyObject* x, std::string_view parameter) noexcept {
    const frame::String type = frame::qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(x)));
    return Error::built_text(PyExc_TypeError, parameter.empty()
                                                  ? frame::format_text(messages::kNotReal, {type})
                                                  : frame::format_text(messages::kNotRealNamed, {parameter, type}));
}

}  // namespace

Error in_use(std::string_view name) noexcept {
    return Error::built_text(PyExc_RuntimeError, frame::format_text(messages::kInUse, {name}));
}

PyObject* raise(Error error) noexcept {
    std::move(error).restore();
    return nullptr;
}

Status detail::real_number_slow(PyObject* x, double& value, std::string_view parameter) noexcept {
    // A float subclass (NumPy's float64) holds its value as a float does; its __float__ is not asked.
    if (PyFloat_Check(x)) {
        value = PyFloat_AS_DOUBLE(x);
        return std::nullopt;
    }
    if (PyLong_Check(x)) {
        const double converted = PyLong_AsDouble(x);
        if (converted == -1.0 && PyErr_Occurred()) return Error::fetch();  // an int beyond float's range
        value = converted;
        return std::nullopt;
    }
    // Real numbers of other types (NumPy's other scalars, Fraction): those that say they are.
    const int real = PyObject_IsInstance(x, g_real);
    if (real < 0) return Error::fetch();
    if (real == 0) return not_real(x, parameter);
    const double converted = PyFloat_AsDouble(x);
    if (converted == -1.0 && PyErr_Occurred()) return Error::fetch();
    value = converted;
    return std::nullopt;
}

Status bind_call(const frame::FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                 PyObject** slots) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) return frame::bind_arguments(signature, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, slots);
    // Keywords: laid out as a fast call lays them out, after the positional arguments.
    std::vector<PyObject*, fault::CheckedAllocator<PyObject*>> stack(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Object names = Object::steal(frame::expect_object(PyTuple_New(nkw)));
    Py_ssize_t at = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &at, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), k, Object::borrow(key).release());
        stack[static_cast<std::size_t>(nargs + k)] = value;
        ++k;
    }
    return frame::bind_arguments(signature, stack.data(), nargs, names.get(), slots);
}

char* saved::put(char* at, std::uint64_t word) noexcept {
    for (int byte = 0; byte < 8; ++byte) *at++ = static_cast<char>((word >> (8 * byte)) & 0xFF);
    return at;
}

std::uint64_t saved::get(const char* data, std::size_t index) noexcept {
    std::uint64_t word = 0;
    for (int byte = 7; byte >= 0; --byte) {
        word = (word << 8) | static_cast<unsigned char>(data[8 * index + static_cast<std::size_t>(byte)]);
    }
    return word;
}

frame::String saved::list(std::span<const std::uint64_t> values) noexcept {
    frame::String text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) text += ", ";
        text += decimal(values[i]);
    }
    return text;
}

Result<std::string_view> saved::bytes_of(std::string_view name, PyObject* state) noexcept {
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2 && PyLong_Check(PyTuple_GET_ITEM(state, 0)) &&
        PyBytes_Check(PyTuple_GET_ITEM(state, 1))) {
        PyObject* format = PyTuple_GET_ITEM(state, 0);
        int overflow = 0;
        const long long version = PyLong_AsLongLongAndOverflow(format, &overflow);
        if (overflow != 0 || version != static_cast<long long>(kStateFormat)) {
            return Error::built_text(
                PyExc_ValueError,
                frame::format_text(messages::kUnknownFormat, {name, frame::text_of(format), decimal(kStateFormat)}));
        }
        PyObject* bytes = PyTuple_GET_ITEM(state, 1);
        return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    }
    const frame::String type = frame::qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(state)));
    return Error::built_text(PyExc_ValueError,
                             frame::format_text(messages::kNotAState, {name, frame::format_text("a {}", {type})}));
}

Error saved::truncated(std::string_view name, std::size_t size, std::size_t expected) noexcept {
    return Error::built_text(PyExc_ValueError,
                             frame::format_text(messages::kTruncated, {name, decimal(size), decimal(expected)}));
}

Error saved::other_periods(std::string_view name, std::span<const std::uint64_t> saved,
                           std::span<const std::uint64_t> own) noexcept {
    return Error::built_text(PyExc_ValueError,
                             frame::format_text(messages::kOtherPeriods, {name, list(saved), list(own)}));
}

Error saved::invalid(std::string_view name) noexcept {
    return Error::built_text(PyExc_ValueError, frame::format_text(messages::kInvalidState, {name}));
}

namespace {

Status add_streams(PyObject* module) noexcept {
    Object numbers = Object::steal(PyImport_ImportModule("numbers"));
    if (!numbers) return Error::fetch();
    Object real = Object::steal(PyObject_GetAttrString(numbers.get(), "Real"));
    if (!real) return Error::fetch();
    if (g_real == nullptr) g_real = real.release();  // kept for the process, as the types are
    struct Made {
        const char* name;
        Result<Object> (*make)() noexcept;
    };
    for (const Made& made : {Made{"SMA", make_sma_type}, Made{"EMA", make_ema_type}, Made{"MACD", make_macd_type},
                             Made{"ATR", make_atr_type}}) {
        auto type = made.make();
        if (!type) return type.take_error();
        if (PyObject_SetAttrString(module, made.name, type->get()) < 0) return Error::fetch();
    }
    return std::nullopt;
}

const Feature kStreams{"stream", add_streams};

}  // namespace
}  // namespace veldspar::kit::stream
