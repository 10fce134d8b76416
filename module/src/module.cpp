// The module object: single-phase initialisation, the function table and __all__.
#include <atomic>
#include <cstdint>

#include "entry.hpp"

namespace veldspar::indicators {
namespace {

using frame::Error;
using frame::Object;
using frame::Status;

constexpr int kMethFlags = METH_FASTCALL | METH_KEYWORDS;
static_assert(kMethFlags == 0x82);

template <const auto& S, frame::Status (*Body)(const frame::Arguments<S>&) noexcept>
constexpr PyMethodDef method() {
    return {S.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&frame::entry<S, Body>)),
            kMethFlags, frame::kTextSignature<S>.data()};
}

// Registration order is the order of __all__. The function objects point at
// these records, so they live as long as the process.
PyMethodDef g_functions[] = {
    method<kSma, sma_body>(),
    method<kEma, ema_body>(),
    method<kMacd, macd_body>(),
    method<kAtr, atr_body>(),
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "veldspar",
    "",       // an empty docstring, not None
    0,        // no per-module state
    nullptr,  // functions are added by the module body
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> g_owning_interpreter{kNoInterpreter};
std::atomic<PyObject*> g_module{nullptr};

Status add_function(PyObject* module, PyMethodDef* definition) noexcept {
    Object function;
    {
        Object module_name = Object::steal(PyModule_GetNameObject(module));
        if (!module_name) return Error::fetch();
        function = Object::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
        if (!function) return Error::fetch();
    }
    Object name = Object::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return Error::fetch();
    if (!PyUnicode_Check(name.get())) return Error::type_mismatch(name.get(), messages::kStrTarget);
    Object all = Object::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        Error missing = Error::fetch();
        if (!missing.matches(PyExc_AttributeError)) return missing;
        all = Object::steal(frame::expect_object(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Error::fetch();
    } else if (!PyList_Check(all.get())) {
        return Error::type_mismatch(all.get(), messages::kListTarget);
    }
    if (PyList_Append(all.get(), name.get()) < 0) frame::expectation_failed(messages::kAppendToAllFailed);
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return Error::fetch();
    return std::nullopt;
}

Status module_body(PyObject* module) noexcept {
    for (PyMethodDef& definition : g_functions) {
        if (Status failure = add_function(module, &definition)) return failure;
    }
    return std::nullopt;
}

PyObject* init() noexcept {
    frame::EntryFrame frame;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        Error::fetch().restore();
        return nullptr;
    }
    std::int64_t owner = kNoInterpreter;
    if (!g_owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        Error::built(PyExc_ImportError, messages::kSubinterpreter).restore();
        return nullptr;
    }
    if (PyObject* cached = g_module.load(std::memory_order_acquire)) return Object::borrow(cached).release();

    Object module = Object::steal(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
    if (!module) {
        Error::fetch().restore();
        return nullptr;
    }
    if (Status failure = module_body(module.get())) {
        module = Object();
        std::move(*failure).restore();
        return nullptr;
    }
    PyObject* stored = nullptr;
    if (g_module.compare_exchange_strong(stored, module.get(), std::memory_order_acq_rel)) {
        stored = module.release();  // the cell keeps this reference
    }
    return Object::borrow(stored).release();
}

}  // namespace
}  // namespace veldspar::indicators

PyMODINIT_FUNC PyInit_veldspar(void) { return veldspar::indicators::init(); }
