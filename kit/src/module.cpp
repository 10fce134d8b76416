// veldspar_kit._native: single-phase initialisation, one owning interpreter, the features added in name order.
#include "veldspar/frame/module.hpp"
#include "feature.hpp"
#include "messages.hpp"

namespace veldspar::kit {
namespace {

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
frame::ModuleCell g_cell;

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

PyMODINIT_FUNC PyInit__native(void) {
    using namespace veldspar::kit;
    return g_cell.init(g_definition, Feature::add_all, messages::kOtherInterpreter);
}
