// Single-phase initialisation for one owning interpreter: the module cell.
#include "veldspar/frame/module.hpp"

#include "veldspar/frame/frame.hpp"

namespace veldspar::frame {

PyObject* ModuleCell::init(PyModuleDef& definition, Body body, std::string_view refusal) noexcept {
    EntryFrame frame;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        Error::fetch().restore();
        return nullptr;
    }
    std::int64_t owner = kNoInterpreter;
    if (!owner_.compare_exchange_strong(owner, id) && owner != id) {
        Error::built(PyExc_ImportError, refusal).restore();
        return nullptr;
    }
    if (PyObject* cached = module_.load(std::memory_order_acquire)) return Object::borrow(cached).release();

    Object module = Object::steal(PyModule_Create2(&definition, PYTHON_API_VERSION));
    if (!module) {
        Error::fetch().restore();
        return nullptr;
    }
    if (Status failure = body(module.get())) {
        module = Object();
        std::move(*failure).restore();
        return nullptr;
    }
    PyObject* stored = nullptr;
    if (module_.compare_exchange_strong(stored, module.get(), std::memory_order_acq_rel)) {
        stored = module.release();  // the cell keeps this reference
    }
    return Object::borrow(stored).release();
}

}  // namespace veldspar::frame
