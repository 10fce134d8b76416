// PanicException: the exception type that stands for an aborted internal fault.
//
// The module creates this type at its first import and never raises it. If a
// fetched exception turns out to be one (Python code re-raising it through a
// callback of ours), the fault it stands for is resumed: the process prints it
// and aborts. Fetching only compares against a type that exists and never
// creates one, so an extension that never creates it (veldspar_kit's) adds no
// second type of that name to the process.
#pragma once

#include "veldspar/frame/object.hpp"

namespace veldspar::frame {

// The PanicException type (borrowed; created on first call, kept for the
// process). Needs the interpreter lock.
PyObject* panic_exception_type() noexcept;

// The type if this extension created it already, else null. Lock-free.
PyObject* created_panic_exception_type() noexcept;

}  // namespace veldspar::frame
