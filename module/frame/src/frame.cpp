// The frame's work: binding fast-call arguments, converting periods, wrapping argument errors, lock depth.
#include "veldspar/frame/frame.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "messages.hpp"
#include "veldspar/fault/fault.hpp"

namespace veldspar::frame {
namespace {

String decimal(std::size_t value) {
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%zu", value);
    return String(digits, static_cast<std::size_t>(n));
}

Error type_error(String text) { return Error::built_text(PyExc_TypeError, std::move(text)); }

Error too_many_positional(const FunctionSignature& signature, std::size_t given) {
    return type_error(
        format_text(messages::kTooManyPositional, {signature.name, decimal(signature.positional), decimal(given)}));
}

Error multiple_values(const FunctionSignature& signature, std::string_view keyword) {
    return type_error(format_text(messages::kMultipleValues, {signature.name, keyword}));
}

Error unexpected_keyword(const FunctionSignature& signature, PyObject* keyword) {
    return type_error(format_text(messages::kUnexpectedKeyword, {signature.name, text_of(keyword)}));
}

Error missing_required(const FunctionSignature& signature, PyObject* const* slots) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required; ++i) count += slots[i] == nullptr;
    String names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed != 0) {
            names += count == 2 ? messages::kPairSeparator
                                : (listed + 1 == count ? messages::kLastSeparator : messages::kListSeparator);
        }
        names += format_text(messages::kQuotedName, {signature.parameters[i]});
        ++listed;
    }
    return type_error(format_text(count == 1 ? messages::kMissingOne : messages::kMissingMany,
                                  {signature.name, decimal(count), names}));
}

}  // namespace

Status detail::bind_by_name_or_count(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, PyObject** slots) noexcept {
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t count = signature.parameters.size();
    for (std::size_t i = 0; i < given && i < signature.positional; ++i) slots[i] = args[i];
    if (given > signature.positional) return too_many_positional(signature, given);

    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return unexpected_keyword(signature, name);
            }
            const std::string_view text(utf8, static_cast<std::size_t>(size));
            std::size_t index = 0;
            while (index < count && signature.parameters[index] != text) ++index;
            if (index == count) return unexpected_keyword(signature, name);
            if (slots[index] != nullptr) return multiple_values(signature, text);
            slots[index] = args[given + static_cast<std::size_t>(k)];
        }
    }

    if (given < signature.required) {
        for (std::size_t i = given; i < signature.required; ++i) {
            if (slots[i] == nullptr) return missing_required(signature, slots);
        }
    }
    return std::nullopt;
}

Result<std::size_t> detail::extract_size_checked(PyObject* obj) noexcept {
    unsigned long long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        Object index = Object::steal(PyNumber_Index(obj));
        if (!index) return Error::fetch();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
    if (value > SIZE_MAX) return integral_overflow();
    return static_cast<std::size_t>(value);
}

Error wrap_argument_error(std::string_view parameter, Error error) noexcept {
    if (!error.is_exactly(PyExc_TypeError)) return error;
    Object inner = std::move(error).into_exception();
    String text = format_text(messages::kArgumentError, {parameter, text_of(inner.get())});
    auto wrapped = make_exception(PyExc_TypeError, text);
    if (!wrapped) return wrapped.take_error();
    // SetCause steals the cause reference and sets __suppress_context__.
    PyException_SetCause(wrapped->get(), PyException_GetCause(inner.get()));
    return Error::from_exception(std::move(*wrapped));
}

namespace {

// Marks a garbage-collector traversal in progress.
constexpr std::intptr_t kTraversalDepth = -1;

// The counter and its guard on entry are required behaviour of the entry
// frame, kept although nothing in this module makes the count negative (only
// a garbage-collector traversal function would, and the module has none).
thread_local std::intptr_t t_lock_depth = 0;

}  // namespace

EntryFrame::EntryFrame(std::source_location where) noexcept : depth_(&t_lock_depth) {
    if (*depth_ < 0) {
        if (*depth_ == kTraversalDepth) {
            fault::internal_fault(messages::kLockDuringTraversal, where);
        }
        fault::internal_fault(messages::kLockProhibited, where);
    }
    ++*depth_;
}

EntryFrame::~EntryFrame() { --*depth_; }

ReleasedLock::ReleasedLock() noexcept : depth_(&t_lock_depth), saved_depth_(*depth_) {
    *depth_ = 0;
    thread_state_ = PyEval_SaveThread();
}

ReleasedLock::~ReleasedLock() {
    *depth_ = saved_depth_;
    try {
        PyEval_RestoreThread(thread_state_);
    } catch (...) {
        // Up to CPython 3.13 a thread that takes the lock back while the
        // interpreter shuts down (a daemon thread) is ended by pthread_exit,
        // whose forced unwind (abi::__forced_unwind, the only unwind a C
        // function can start) may not cross this noexcept frame:
        // std::terminate would abort the whole process. The thread has
        // nothing left to do: park it for good, as CPython 3.14 does itself.
        // (Not caught by name: binding the name to the forced unwind's
        // object is undefined, and the sanitizers say so.)
        for (;;) pause();
    }
}

}  // namespace veldspar::frame
