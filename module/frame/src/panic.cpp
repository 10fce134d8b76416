// The PanicException type and faults on failed expectations of Python calls.
#include "veldspar/py/panic.hpp"

#include <atomic>

#include "messages.hpp"
#include "veldspar/fault.hpp"
#include "veldspar/py/error.hpp"

namespace veldspar::py {
namespace {

// Filled once; the stored type keeps the reference made at creation.
std::atomic<PyObject*> g_panic_type{nullptr};

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

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(messages::kPanicName, messages::kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) expectation_failed(messages::kPanicTypeFailed);
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Object::steal(created);  // another creation won: drop ours
        return expected;
    }
    return created;
}

void expectation_failed(std::string_view expectation, std::source_location where) noexcept {
    internal_fault(format_text(messages::kExpectationFailed, {expectation, render_pending()}), where);
}

}  // namespace veldspar::py
