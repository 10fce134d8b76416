// The module object: single-phase initialisation, the function table and __all__.
#include "veldspar/frame/module.hpp"
#include "entry.hpp"
#include "veldspar/frame/panic.hpp"

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

// The first interpreter to import the module owns it; every later import gets the same object.
frame::ModuleCell g_cell;

// Adds every function of the table, in order, and __all__ listing them in
// that order. PanicException is made first, so that it exists from the first
// import on.
Status module_body(PyObject* module) noexcept {
    frame::panic_exception_type();
    Object module_name = Object::steal(PyModule_GetNameObject(module));
    if (!module_name) return Error::fetch();
    constexpr Py_ssize_t kCount = sizeof g_functions / sizeof g_functions[0];
    Object all = Object::steal(frame::expect_object(PyList_New(kCount)));
    for (Py_ssize_t i = 0; i < kCount; ++i) {
        PyMethodDef& definition = g_functions[i];
        Object function = Object::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
        if (!function) return Error::fetch();
        Object name = Object::steal(frame::expect_object(PyUnicode_InternFromString(definition.ml_name)));
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return Error::fetch();
        PyList_SET_ITEM(all.get(), i, name.release());  // steals the name
    }
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Error::fetch();
    return std::nullopt;
}

}  // namespace
}  // namespace veldspar::indicators

PyMODINIT_FUNC PyInit_veldspar(void) {
    using namespace veldspar::indicators;
    return g_cell.init(g_definition, module_body, messages::kSubinterpreter);
}
