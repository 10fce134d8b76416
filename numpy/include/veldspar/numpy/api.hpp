// NumPy's C API as the module reaches it: the table taken at run time, the running version, the values kept.
//
// The module is not linked against NumPy. At the first need (the first array
// argument of the process, never at import) load() locates NumPy's core
// module and takes the table of C-API entries from its "_ARRAY_API" capsule.
// From then on NumPy's own headers name the entries (PyArray_Type,
// PyArray_DescrFromType, PyArray_EquivTypes, ...) and read the descriptor
// fields whose place moved in NumPy 2 by the version that is running
// (PyDataType_ELSIZE, keyed on PyArray_RUNTIME_VERSION). This unit is the only
// one that fills the table or the version; nothing else switches on it.
//
//   if (!api::ready()) {
//       if (frame::Status failure = api::load()) return std::move(*failure);  // the ImportError
//   }
//   bool array = api::is_array(obj);                         // PyArray_Type or a subtype
//   std::size_t width = api::element_size(PyArray_DESCR(a));  // in 1.x or 2.x layout
//
// What it keeps, each filled once, at first need, and never released: the
// table and the runtime version, NumPy's float64 descriptor, the core module's
// name, and the record of the shared borrow registry (found or published by
// registry.hpp's procedure). Every value is stored and read with the
// interpreter lock held, and the lock orders those stores before the loads:
// the cells are plain pointers, as NumPy's own PyArray_API is.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// NumPy's headers, with the table under a name of this module's own and no
// import function: the table is taken by load(), whose steps and error texts
// are the module's, not NumPy's import_array(). The oldest C API relied on is
// pinned by the build (NPY_TARGET_VERSION), so the headers compile accessors
// that read 1.x and 2.x layouts alike.
#define PY_ARRAY_UNIQUE_SYMBOL veldspar_numpy_api
#define NO_IMPORT_ARRAY
#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
#include <numpy/ndarrayobject.h>

#include <cstddef>
#include <cstdint>

#include "veldspar/frame/error.hpp"

// The headers are per-architecture (_numpyconfig.h): catch a set made for another target.
static_assert(sizeof(npy_intp) == NPY_SIZEOF_INTP, "NumPy headers do not match this target");
static_assert(sizeof(npy_intp) == sizeof(void*) && sizeof(npy_intp) == sizeof(std::intptr_t) &&
                  alignof(npy_intp) == alignof(std::intptr_t),
              "extents and strides are read as pointer-sized integers");
static_assert(NPY_DOUBLE == 12 && NPY_ARRAY_WRITEABLE == 0x0400, "NumPy constants changed");
#if NPY_TARGET_VERSION >= NPY_2_0_API_VERSION
#error "build with NPY_TARGET_VERSION below 2.0 so that the module runs on NumPy 1.x too"
#endif

namespace veldspar::numpy {

struct BorrowCheckingApi;  // registry.hpp

namespace api {

namespace detail {
extern PyArray_Descr* g_float64;
extern const BorrowCheckingApi* g_borrow_record;
}  // namespace detail

// Whether the table is taken. Every array argument asks, so this is inline.
inline bool ready() noexcept { return PyArray_API != nullptr; }

// Takes the table, the runtime version and the float64 descriptor if they
// are not taken yet. A failure is the ImportError "Failed to access NumPy
// array API capsule: <error>" with the underlying error as its cause; nothing
// is kept then, and the next need tries again from the start.
frame::Status load() noexcept;

// "numpy._core.multiarray" (NumPy 2.x) or "numpy.core.multiarray" (1.x), a
// borrowed str kept for the process: where the table and the registry live.
// Locates NumPy on first use.
frame::Result<PyObject*> core_module_name() noexcept;

// The rest needs the table (ready()).

// True for an instance of NumPy's array type or of a subtype.
inline bool is_array(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyArray_Type || PyType_IsSubtype(type, &PyArray_Type);
}

// NumPy's float64 descriptor, a built-in that lives as long as NumPy.
inline PyArray_Descr* float64() noexcept { return detail::g_float64; }

// The element size of a descriptor, read in the layout of the NumPy running here.
inline std::size_t element_size(const PyArray_Descr* descr) noexcept {
    return static_cast<std::size_t>(PyDataType_ELSIZE(descr));
}

// The shared borrow registry's record: null until first found or published.
inline const BorrowCheckingApi* borrow_record() noexcept { return detail::g_borrow_record; }
// Keeps `record` unless one is kept already (two threads may both have run the
// procedure, releasing the lock in between); returns the kept one.
const BorrowCheckingApi* keep_borrow_record(const BorrowCheckingApi* record) noexcept;

}  // namespace api
}  // namespace veldspar::numpy
