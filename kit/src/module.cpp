// veldspar_kit._native: single-phase initialisation, one owning interpreter, the features added in name order.
#include <atomic>
#include <cstdint>

#include "feature.hpp"
#include "messages.hpp"

namespace veldspar::kit {
namespace {

using frame::Error;
using frame::Object;
using frame::Status;

// Constant-initialised, so features may register from any source in any load order.
constinit const Feature* g_features = nullptr;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "veldspar_kit._native",
    "The native part of veldspar_kit: the types and functions that its public modules export.",
    0,        // no per-module state: what the features keep belongs to the process
    nullptr,  // the features add their own
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// As in the veldspar module: the first interpreter to import the extension owns it, and the
// module object made then is handed to every later import of that interpreter.
constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> g_owning_interpreter{kNoInterpreter};
std::atomic<PyObject*> g_module{nullptr};

PyObject* init() noexcept {
    frame::EntryFrame frame;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        Error::fetch().restore();
        return nullptr;
    }
    std::int64_t owner = kNoInterpreter;
    if (!g_owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        Error::built(PyExc_ImportError, messages::kOtherInterpreter).restore();
        return nullptr;
    }
    if (PyObject* cached = g_module.load(std::memory_order_acquire)) return Object::borrow(cached).release();

    Object module = Object::steal(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
    if (!module) {
        Error::fetch().restore();
        return nullptr;
    }
    if (Status failure = Feature::add_all(module.get())) {
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

Feature::Feature(std::string_view name, Add add) noexcept : name_(name), add_(add), next_(nullptr) {
    const Feature** link = &g_features;
    while (*link != nullptr && (*link)->name_ < name) link = &(*link)->next_;
    next_ = *link;
    *link = this;
}

Status Feature::add_all(PyObject* module) noexcept {
    for (const Feature* feature = g_features; feature != nullptr; feature = feature->next_) {
        if (Status failure = feature->add_(module)) return failure;
    }
    return std::nullopt;
}

}  // namespace veldspar::kit

PyMODINIT_FUNC PyInit__native(void) { return veldspar::kit::init(); }
