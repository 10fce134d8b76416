// Error values: building, fetching, inspecting and raising them.
#include "veldspar/frame/error.hpp"

#include <cstdio>

#include "messages.hpp"
#include "veldspar/frame/panic.hpp"

namespace veldspar::frame {

Error Error::built(PyObject* type, std::string_view fixed_text) noexcept { return Error(Built{type, fixed_text, {}}); }

Error Error::built_text(PyObject* type, String text) noexcept { return Error(Built{type, {}, std::move(text)}); }

Error Error::type_mismatch(PyObject* obj, const char* target) noexcept {
    return Error(Mismatch{Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))), target});
}

Error Error::fetch() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        // Nothing pending: whatever came without a type is dropped.
        Object::steal(value);
        Object::steal(traceback);
        return built(PyExc_SystemError, messages::kNoExceptionSet);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Error error(Fetched{Object::steal(type), Object::steal(value), Object::steal(traceback)});
    const auto& fetched = *std::get_if<Fetched>(&error.state_);
    // Null until created: an extension that never creates the type never finds one.
    PyObject* panic = created_panic_exception_type();
    if (panic != nullptr && fetched.value && reinterpret_cast<PyObject*>(Py_TYPE(fetched.value.get())) == panic) {
        std::fputs(messages::kPanicResumed, stderr);
        std::fflush(stderr);
        std::move(error).restore();
        PyErr_PrintEx(0);
        std::fflush(stderr);
        std::abort();
    }
    return error;
}

Error Error::from_exception(Object exception) noexcept {
    Object type = Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    Object traceback = Object::steal(PyException_GetTraceback(exception.get()));
    return Error(Fetched{std::move(type), std::move(exception), std::move(traceback)});
}

bool Error::is_exactly(PyObject* type) const noexcept {
    if (const auto* built = std::get_if<Built>(&state_)) return built->type == type;
    if (std::holds_alternative<Mismatch>(state_)) return type == PyExc_TypeError;
    const auto& fetched = *std::get_if<Fetched>(&state_);
    return fetched.value && reinterpret_cast<PyObject*>(Py_TYPE(fetched.value.get())) == type;
}

bool Error::matches(PyObject* type) const noexcept {
    if (const auto* built = std::get_if<Built>(&state_)) return PyErr_GivenExceptionMatches(built->type, type) != 0;
    if (std::holds_alternative<Mismatch>(state_)) return PyErr_GivenExceptionMatches(PyExc_TypeError, type) != 0;
    return PyErr_GivenExceptionMatches(std::get_if<Fetched>(&state_)->value.get(), type) != 0;
}

Object Error::into_exception() && noexcept {
    if (auto* fetched = std::get_if<Fetched>(&state_)) {
        if (fetched->value) return std::move(fetched->value);
    }
    // Let the interpreter make the instance exactly as raising would.
    std::move(*this).restore();
    Error normalised = fetch();
    return std::move(std::get_if<Fetched>(&normalised.state_)->value);
}

namespace {

bool is_exception_class(PyObject* type) noexcept {
    return PyType_Check(type) &&
           PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

void raise_built(PyObject* type, std::string_view text) noexcept {
    Object message = make_str(text);
    if (is_exception_class(type)) {
        PyErr_SetObject(type, message.get());
    } else {
        PyErr_SetString(PyExc_TypeError, messages::kNotAnException);
    }
}

}  // namespace

void Error::restore() && noexcept {
    if (auto* built = std::get_if<Built>(&state_)) {
        raise_built(built->type, built->text.empty() ? built->fixed_text : std::string_view(built->text));
    } else if (auto* mismatch = std::get_if<Mismatch>(&state_)) {
        raise_built(PyExc_TypeError,
                    format_text(messages::kTypeMismatch, {qualname_of(mismatch->type.get()), mismatch->target}));
    } else {
        auto& fetched = *std::get_if<Fetched>(&state_);
        PyErr_Restore(fetched.type.release(), fetched.value.release(), fetched.traceback.release());
    }
}

String format_text(std::string_view pattern, std::initializer_list<std::string_view> parts) noexcept {
    String text;
    const std::string_view* part = parts.begin();
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        if (pattern.compare(at, 2, "{}") == 0 && part != parts.end()) {
            text += *part++;
            ++at;
        } else {
            text += pattern[at];
        }
    }
    return text;
}

Error integral_overflow() noexcept { return Error::built(PyExc_OverflowError, messages::kIntegralOverflow); }

namespace {

// "type: T, value: V, traceback: TB" for an error taken from the interpreter,
// built without fetching (a fetch would run the panic check again).
String render_pending() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Object t = Object::steal(type), v = Object::steal(value), tb = Object::steal(traceback);
    if (!t) return String(messages::kNoPendingError);
    const String type_text = qualname_of(t.get());
    const String value_text = v ? text_of(v.get()) : String(messages::kNone);
    String traceback_text(messages::kNone);
    if (tb) {
        Object lines = Object::steal(PyObject_Repr(tb.get()));
        traceback_text = lines ? text_of(lines.get()) : String(messages::kUnprintableTraceback);
        PyErr_Clear();
    }
    return format_text(messages::kPendingError, {type_text, value_text, traceback_text});
}

}  // namespace

void expectation_failed(std::string_view expectation, std::source_location where) noexcept {
    fault::internal_fault(format_text(messages::kExpectationFailed, {expectation, render_pending()}), where);
}

void python_api_call_failed(std::source_location where) noexcept {
    PyErr_Print();
    fault::internal_fault(messages::kApiCallFailed, where);
}

Object make_str(std::string_view text, std::source_location where) noexcept {
    return Object::steal(
        expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())), where));
}

namespace {

// UTF-8 of a str, repairing lone surrogates; empty optional if not a str.
std::optional<String> utf8_of(PyObject* str) noexcept {
    if (!PyUnicode_Check(str)) return std::nullopt;
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return String(data, static_cast<std::size_t>(size));
    PyErr_Clear();
    Object bytes = Object::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) python_api_call_failed();
    Object repaired =
        Object::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) python_api_call_failed();
    const char* data = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (data == nullptr) python_api_call_failed();
    return String(data, static_cast<std::size_t>(size));
}

}  // namespace

String text_of(PyObject* obj) noexcept {
    Object str = Object::steal(PyObject_Str(obj));
    if (str) {
        if (auto text = utf8_of(str.get())) return std::move(*text);
    }
    PyErr_WriteUnraisable(obj);
    Object name = Object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    std::optional<String> type_name = name ? utf8_of(name.get()) : std::nullopt;
    PyErr_Clear();
    if (!type_name) return String(messages::kUnprintableUnknown);
    return format_text(messages::kUnprintable, {*type_name});
}

Result<Object> make_exception(PyObject* type, std::string_view text) noexcept {
    Object message = make_str(text);
    Object exception = Object::steal(PyObject_CallOneArg(type, message.get()));
    if (!exception) return Error::fetch();
    return exception;
}

Error error_caused_by(PyObject* type, std::string_view prefix, Error cause) noexcept {
    Object inner = std::move(cause).into_exception();
    auto error = make_exception(
        type, format_text(messages::kCausedBy, {prefix, qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(inner.get()))),
                                                text_of(inner.get())}));
    if (!error) return error.take_error();
    PyException_SetCause(error->get(), inner.release());  // steals the cause
    return Error::from_exception(std::move(*error));
}

String qualname_of(PyObject* type) noexcept {
    Object name = Object::steal(PyObject_GetAttrString(type, "__qualname__"));
    std::optional<String> text = name ? utf8_of(name.get()) : std::nullopt;
    if (!text) {
        PyErr_Clear();
        return String(messages::kUnknownTypeName);
    }
    return std::move(*text);
}

}  // namespace veldspar::frame
