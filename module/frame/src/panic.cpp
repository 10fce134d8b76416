// The PanicException type, created once for the process.
#include "veldspar/frame/panic.hpp"

#include <atomic>

#include "messages.hpp"
#include "veldspar/frame/error.hpp"

namespace veldspar::frame {
namespace {

// Filled once; the stored type keeps the reference made at creation.
std::atomic<PyObject*> g_panic_type{nullptr};

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    PyObject* created =
        PyErr_NewExceptionWithDoc(messages::kPanicName, messages::kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) expectation_failed(messages::kPanicTypeFailed);
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Object::steal(created);  // another creation won: drop ours
        return expected;
    }
    return created;
}

PyObject* created_panic_exception_type() noexcept { return g_panic_type.load(std::memory_order_acquire); }

}  // namespace veldspar::frame
