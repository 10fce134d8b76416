// PanicException: the exception type that stands for an aborted internal fault.
//
// The module creates this type (at its first import, or at the first fetch of
// a Python exception if that comes first) and never raises it. If a fetched exception turns out to be one — Python code
// re-raising it through a callback of ours — the fault it stands for is
// resumed: the process prints it and aborts.
#pragma once

#include "veldspar/frame/object.hpp"

namespace veldspar::frame {

// The PanicException type (borrowed; created on first call, kept for the
// process). Needs the interpreter lock.
PyObject* panic_exception_type() noexcept;

}  // namespace veldspar::frame
