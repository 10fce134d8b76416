// NumPy's C headers, configured for this module: types and layouts only.
//
// Nothing here calls NumPy: the module reaches NumPy's functions through the
// table of api.hpp. The oldest C API relied on is pinned by the build
// (NPY_TARGET_VERSION), so NumPy 2.x headers describe structures that NumPy
// 1.x lays out the same way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
#include <numpy/ndarraytypes.h>

#include <cstddef>
#include <cstdint>

// The headers are per-architecture (_numpyconfig.h): catch a header set that
// was made for another target.
static_assert(sizeof(npy_intp) == NPY_SIZEOF_INTP, "NumPy headers do not match this target");
static_assert(sizeof(npy_intp) == sizeof(void*), "npy_intp must be pointer-sized");
static_assert(sizeof(npy_intp) == sizeof(std::ptrdiff_t), "strides are read as ptrdiff_t");
static_assert(NPY_DOUBLE == 12 && NPY_ARRAY_WRITEABLE == 0x0400, "NumPy constants changed");
#if NPY_TARGET_VERSION >= NPY_2_0_API_VERSION
#error "build with NPY_TARGET_VERSION below 2.0 so that the module runs on NumPy 1.x too"
#endif
