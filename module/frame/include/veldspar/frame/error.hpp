// Errors as values: how a failure travels from where it happens to the one place it is raised.
//
// An `Error` is either built (an exception type and a message; the exception
// object is made only when the error is raised or inspected) or fetched (the
// type, value and traceback taken from the interpreter). Functions that can
// fail return `Result<T>` or `Status`; the entry frame raises the error once,
// just before returning to the interpreter:
//
//   Result<std::size_t> period = extract_size(arg);
//   if (!period) return period.take_error();   // up to the entry frame
//
// Building a message allocates only on the failure path. An interpreter call
// that fails while an error is being built is an internal fault.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "veldspar/fault/fault.hpp"
#include "veldspar/frame/object.hpp"

namespace veldspar::frame {

// Message text owned by an error: a string whose allocation failure aborts.
using String = std::basic_string<char, std::char_traits<char>, fault::CheckedAllocator<char>>;

class Error {
public:
    // A built error with a fixed message (a literal: it is not copied).
    static Error built(PyObject* type, std::string_view fixed_text) noexcept;
    // A built error with a message made at run time.
    static Error built_text(PyObject* type, String text) noexcept;
    // The TypeError "'<qualname of obj's type>' object cannot be converted to
    // '<target>'". It holds the type until raised; the text is made then.
    static Error type_mismatch(PyObject* obj, const char* target) noexcept;
    // Takes the interpreter's pending exception (after a call signalled
    // failure), normalised. With none pending, the SystemError "attempted to
    // fetch exception but none was set". A fetched PanicException does not
    // come back: it is printed and the process aborts.
    static Error fetch() noexcept;
    // An exception instance, as if fetched.
    static Error from_exception(Object exception) noexcept;

    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    // True when the exception this error raises is exactly of type `type`
    // (a subclass does not count).
    bool is_exactly(PyObject* type) const noexcept;
    // True when the exception this error raises is an instance of `type` or
    // of a subclass (except-clause matching).
    bool matches(PyObject* type) const noexcept;
    // The exception instance this error stands for (made now if built).
    Object into_exception() && noexcept;
    // Makes this error the interpreter's current exception.
    void restore() && noexcept;

private:
    struct Built {
        PyObject* type;  // a static exception type of the interpreter
        std::string_view fixed_text;
        String text;
    };
    struct Mismatch {
        Object type;  // the offending object's type
        const char* target;
    };
    struct Fetched {
        Object type, value, traceback;
    };
    explicit Error(std::variant<Built, Mismatch, Fetched> state) noexcept : state_(std::move(state)) {}

    std::variant<Built, Mismatch, Fetched> state_;
};

// A value or the error that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    // get_if rather than get: the alternative is known, and nothing here may
    // throw (std::get's bad_variant_access).
    T& operator*() noexcept { return *std::get_if<0>(&state_); }
    T* operator->() noexcept { return std::get_if<0>(&state_); }
    Error take_error() noexcept { return std::move(*std::get_if<1>(&state_)); }
    // The error of a failed result, in place.
    Error& error() noexcept { return *std::get_if<1>(&state_); }

private:
    std::variant<T, Error> state_;
};

// Success, or the error of a step that returns nothing.
using Status = std::optional<Error>;

// `pattern` with each "{}" replaced by the next of `parts`, in order: how the
// messages of every layer are written whole, with their variable parts marked.
String format_text(std::string_view pattern, std::initializer_list<std::string_view> parts) noexcept;

// The OverflowError "out of range integral type conversion attempted": an
// integer that does not fit the type it is converted to.
Error integral_overflow() noexcept;

// A new exception of `type` whose one argument is `text`, or the error the
// interpreter raised instead: making it runs the interpreter's recursion
// check, which fails deep in a recursion that Python code started (a hook
// that calls back into the module), and that failure is then the error.
Result<Object> make_exception(PyObject* type, std::string_view text) noexcept;

// An exception of `type` whose message is `prefix` followed by the rendering
// "<type>: <message>" of `cause`, with `cause` as its __cause__ (or the error
// of make_exception).
Error error_caused_by(PyObject* type, std::string_view prefix, Error cause) noexcept;

// str(obj) as UTF-8 by the rules for objects shown in messages: text that
// cannot be encoded strictly goes through "surrogatepass" with invalid
// sequences replaced by U+FFFD; if str() itself fails, the failure is reported
// as unraisable and the text is "<unprintable TYPE object>".
String text_of(PyObject* obj) noexcept;

// `__qualname__` of a type as text, or "<failed to extract type name>".
String qualname_of(PyObject* type) noexcept;

// Two internal faults for an interpreter call that must succeed, by one rule:
// a step that states its own expectation (creating PanicException, appending
// to __all__) calls expectation_failed with that text, and the pending error
// is rendered into the fault message; every other such call (making a str, a
// list, an exception instance, a capsule's context) calls
// python_api_call_failed, which prints the pending error and faults with a
// fixed message.

// Faults with "<expectation>: type: T, value: V, traceback: TB".
[[noreturn]] void expectation_failed(std::string_view expectation,
                                     std::source_location where = std::source_location::current()) noexcept;

// Prints the pending error (PyErr_Print) and faults with "Python API call failed".
[[noreturn]] void python_api_call_failed(std::source_location where = std::source_location::current()) noexcept;

// A borrowed or new object that must exist, or python_api_call_failed.
inline PyObject* expect_object(PyObject* obj, std::source_location where = std::source_location::current()) noexcept {
    if (obj == nullptr) python_api_call_failed(where);
    return obj;
}

// Makes a Python str from UTF-8 text, or python_api_call_failed.
Object make_str(std::string_view text, std::source_location where = std::source_location::current()) noexcept;

}  // namespace veldspar::frame
