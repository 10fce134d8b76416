// The frame of every Python-facing function: signature and binding, argument conversion, lock depth, released lock.
//
// Each Python-visible function is described once, at compile time, by a
// `Signature`; that one record drives binding, binding messages and the text
// signature stored in the function's docstring:
//
//   inline constexpr Signature<3> kSma{"indicator_sma", {"period", "data", "output"}};
//   kTextSignature<kSma>  // "indicator_sma(period, data, output)\n--\n\n"
//
// Every parameter is positional-or-keyword and required, except a trailing
// run of keyword-only ones with defaults, which a signature may declare:
//
//   inline constexpr Signature<4> kPanelSma{"sma", {"period", "data", "output", "threads"}, 3, {"", "", "", "1"}};
//   kTextSignature<kPanelSma>  // "sma(period, data, output, *, threads=1)\n--\n\n"
//
// Binding fills one borrowed reference per parameter straight from the
// fast-call argument array and keyword-name tuple (null for a keyword-only
// parameter not given: the body applies its default); it builds no tuple or
// dict and allocates nothing unless it fails.
//
// A per-thread counter tracks how deeply this thread is inside the module's
// Python-facing code while it holds the interpreter lock: EntryFrame adds one
// for its lifetime, ReleasedLock parks it at 0 while the lock is released. A
// negative count would mean that the lock may not be used (a garbage-collector
// traversal is running); this module never makes it negative, and entering
// with one is an internal fault.
//
//   PyObject* entry(...) noexcept {
//       EntryFrame frame;               // +1 now, -1 on every return
//       ...
//       {
//           ReleasedLock unlocked;      // no Python object is touched in here
//           core::compute_sma(...);
//       }
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>
#include <string_view>
#include <type_traits>

#include "veldspar/frame/error.hpp"

namespace veldspar::frame {

// What binding needs to know about a function, independent of its arity.
struct FunctionSignature {
    std::string_view name;
    std::span<const std::string_view> parameters;
    std::size_t positional_only;
    std::size_t required;
    std::size_t positional;  // how many may be given by position; the rest are keyword-only
};

template <std::size_t N>
struct Signature {
    std::string_view name;
    std::array<std::string_view, N> parameters;
    // Parameters from this index on are keyword-only and optional; `defaults`
    // holds how the text signature shows each one's default.
    std::size_t keyword_only = N;
    std::array<std::string_view, N> defaults{};

    static constexpr std::size_t arity = N;
    constexpr FunctionSignature view() const { return {name, parameters, 0, keyword_only, keyword_only}; }
};

namespace detail {

// Writes the text signature of `s` through put(piece), piece by piece.
template <std::size_t N, class Put>
constexpr void write_text_signature(const Signature<N>& s, Put&& put) {
    put(s.name);
    put("(");
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0) put(", ");
        if (i == s.keyword_only) put("*, ");
        put(s.parameters[i]);
        if (i >= s.keyword_only) {
            put("=");
            put(s.defaults[i]);
        }
    }
    put(")\n--\n\n");
}

template <std::size_t N>
constexpr std::size_t text_signature_length(const Signature<N>& s) {
    std::size_t length = 0;
    write_text_signature(s, [&](std::string_view piece) { length += piece.size(); });
    return length;
}

template <const auto& S>
constexpr auto make_text_signature() {
    std::array<char, text_signature_length(S) + 1> out{};
    std::size_t at = 0;
    write_text_signature(S, [&](std::string_view piece) {
        for (char c : piece) out[at++] = c;
    });
    out[at] = '\0';
    return out;
}

}  // namespace detail

// The docstring "<name>(<p1>, <p2>, ...)\n--\n\n": only a text signature, so
// the function reports __text_signature__ and has no other documentation.
template <const auto& S>
inline constexpr auto kTextSignature = detail::make_text_signature<S>();

namespace detail {
Status bind_by_name_or_count(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PyObject** slots) noexcept;
}

// Binds the fast-call arguments to `slots` (one per parameter, all null on
// entry). Fails with the binding TypeError naming the function. A call with
// every argument by position, the usual one, is copied inline.
inline Status bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PyObject** slots) noexcept {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == signature.positional) {
        for (std::size_t i = 0; i < signature.positional; ++i) slots[i] = args[i];
        return std::nullopt;
    }
    return detail::bind_by_name_or_count(signature, args, nargs, kwnames, slots);
}

namespace detail {
Result<std::size_t> extract_size_checked(PyObject* obj) noexcept;

// The value of an exact int that fits one internal digit and is not
// negative, read in place as the interpreter's own inline accessors do: the
// periods of nearly every call. False for anything else.
inline bool small_size(PyObject* obj, std::size_t& value) noexcept {
    if (!PyLong_CheckExact(obj)) return false;
    auto* number = reinterpret_cast<PyLongObject*>(obj);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(number)) return false;
    const Py_ssize_t compact = PyUnstable_Long_CompactValue(number);
    if (compact < 0) return false;
    value = static_cast<std::size_t>(compact);
    return true;
#else
    // Before 3.12 the signed size is the digit count, with the int's sign.
    const Py_ssize_t digits = Py_SIZE(obj);
    if (digits == 0) {
        value = 0;
        return true;
    }
    if (digits != 1) return false;
    value = static_cast<std::size_t>(number->ob_digit[0]);
    return true;
#endif
}
}  // namespace detail

// A period argument as an unsigned size: an int (or bool, or an object with
// __index__) from 0 to the largest size_t.
inline Result<std::size_t> extract_size(PyObject* obj) noexcept {
    std::size_t value;
    if (detail::small_size(obj, value)) return value;
    return detail::extract_size_checked(obj);
}

// Every failed conversion of a bound argument passes through here: an error
// of exactly TypeError becomes "argument '<parameter>': <message>", keeping
// the inner exception's cause; anything else passes unchanged. If the new
// TypeError cannot be made (deep in a recursion), that failure is the error.
Error wrap_argument_error(std::string_view parameter, Error error) noexcept;

// The bound arguments of a call to the function of signature S: one borrowed
// reference per parameter. get(i, convert) converts parameter i; a failed
// conversion comes back wrapped by wrap_argument_error with the parameter's
// name from S, so a body never spells its parameters again:
//
//   auto period = args.get(0, extract_size);  // "argument 'period': ..."
//   if (!period) return period.take_error();
template <const auto& S>
class Arguments {
public:
    static constexpr std::size_t kArity = std::remove_cvref_t<decltype(S)>::arity;

    PyObject** slots() noexcept { return slots_.data(); }

    template <class Convert>
    std::invoke_result_t<Convert, PyObject*> get(std::size_t index, Convert&& convert) const noexcept {
        // One named result, returned on both paths, so that it is built in
        // the caller's frame: a copy of a result that was just stored field
        // by field costs a store-forwarding stall on every call.
        auto value = convert(slots_[index]);
        if (!value) value.error() = wrap_argument_error(S.parameters[index], value.take_error());
        return value;
    }

private:
    std::array<PyObject*, kArity> slots_{};
};

class EntryFrame {
public:
    explicit EntryFrame(std::source_location where = std::source_location::current()) noexcept;
    ~EntryFrame();
    EntryFrame(const EntryFrame&) = delete;
    EntryFrame& operator=(const EntryFrame&) = delete;

private:
    // This thread's counter, found once: in a dlopen'ed module every lookup
    // of a thread-local is a call into the dynamic linker.
    std::intptr_t* depth_;
};

class ReleasedLock {
public:
    ReleasedLock() noexcept;
    ~ReleasedLock();
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    std::intptr_t* depth_;  // this thread's counter, found once as in EntryFrame
    std::intptr_t saved_depth_;
    PyThreadState* thread_state_;
};

// A METH_FASTCALL | METH_KEYWORDS function of signature S: binds the call and
// runs Body on the arguments. Body acquires them in parameter order,
// validates, runs its kernel and releases what it holds before it returns;
// its error, if any, is raised here, once.
template <const auto& S, Status (*Body)(const Arguments<S>&) noexcept>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    EntryFrame frame;
    Arguments<S> arguments;
    Status failure = bind_arguments(S.view(), args, nargs, kwnames, arguments.slots());
    if (!failure) failure = Body(arguments);
    if (failure) {
        std::move(*failure).restore();
        return nullptr;
    }
    return Object::borrow(Py_None).release();
}

}  // namespace veldspar::frame
