// The PanicException type and faults on failed expectations of Python calls.
#include "veldspar/py/panic.hpp"

#include <atomic>

#include "veldspar/fault.hpp"
#include "veldspar/py/error.hpp"

namespace veldspar::py {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Filled once; the stored type keeps the reference made at creation.
std::atomic<PyObject*> g_panic_type{nullptr};

// "type: T, value: V, traceback: TB" for an error taken from the interpreter,
// built without fetching (a fetch would run the panic check again).
String render_pending() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Object t = Object::steal(type), v = Object::steal(value), tb = Object::steal(traceback);
    if (!t) return "no exception was set";
    String out = "type: ";
    out += qualname_of(t.get());
    out += ", value: ";
    out += v ? text_of(v.get()) : String("None");
    out += ", traceback: ";
    if (tb) {
        Object lines = Object::steal(PyObject_Repr(tb.get()));
        out += lines ? text_of(lines.get()) : String("<unprintable traceback>");
        PyErr_Clear();
    } else {
        out += "None";
    }
    return out;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) expectation_failed("Failed to initialize new exception type.");
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Object::steal(created);  // another creation won: drop ours
        return expected;
    }
    return created;
}

void expectation_failed(std::string_view expectation, std::source_location where) noexcept {
    String message(expectation);
    message += ": ";
    message += render_pending();
    internal_fault(message, where);
}

}  // namespace veldspar::py
