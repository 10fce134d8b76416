// A module object of single-phase initialisation that the first interpreter to import it owns.
//
// The caches behind an extension of this project (NumPy's C-API table, the
// borrow registry, PanicException, the types it makes) belong to the process,
// not to an interpreter, so one interpreter owns the extension for the life of
// the process, and the module object made by its first successful import is
// handed to every later import:
//
//   ModuleCell g_cell;  // at namespace scope: constant-initialised
//   PyMODINIT_FUNC PyInit_name() { return g_cell.init(g_definition, body, kOtherInterpreterText); }
//
// init() records the calling interpreter as the owner (even if the import then
// fails), refuses any other interpreter with the ImportError `refusal`, and
// otherwise returns the stored module or makes it: PyModule_Create2, then
// `body`; a failed body leaves the cell empty, so a later import starts again.
// Two racing first imports both run `body`; the first to store its module wins
// and the other drops its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "veldspar/frame/error.hpp"

namespace veldspar::frame {

class ModuleCell {
public:
    using Body = Status (*)(PyObject* module) noexcept;

    // A new reference to the module, or null with the error raised.
    PyObject* init(PyModuleDef& definition, Body body, std::string_view refusal) noexcept;

private:
    static constexpr std::int64_t kNoInterpreter = -1;
    std::atomic<std::int64_t> owner_{kNoInterpreter};
    std::atomic<PyObject*> module_{nullptr};  // holds the reference made by the first successful import
};

}  // namespace veldspar::frame
