// Array arguments: acceptance as a one-dimensional float64 array, views and contiguous slices.
//
//   auto array = extract_float64_array(arg);          // or the TypeError
//   ArrayView view = array_view(*array);
//   if (!is_contiguous(view)) ...                     // the caller's ValueError
//   ArraySlice slice = array_slice(view);             // what kernels see
//
// Acceptance copies nothing and keeps nothing (hold_output keeps a reference
// for the call); views and slices are plain reads of the array object, valid
// for the call that made them.
#pragma once

#include <cstddef>

#include "veldspar/np/api.hpp"

namespace veldspar::np {

// Address of element 0, element count and byte stride of an accepted array.
struct ArrayView {
    char* data;
    std::size_t size;
    std::ptrdiff_t stride;
};

// A contiguous view: `size` doubles, 8 bytes apart in ascending order.
struct ArraySlice {
    void* data;
    std::size_t size;
};

// True for an instance of NumPy's array type (or a subtype) with exactly one
// dimension and a dtype equivalent to float64. Fails only when NumPy's C API
// cannot be reached.
py::Result<bool> is_float64_array(PyObject* obj) noexcept;

// `obj` itself (borrowed) if it is a float64 array, else the TypeError
// "'<type>' object cannot be converted to 'PyArray<T, D>'".
py::Result<PyObject*> extract_float64_array(PyObject* obj) noexcept;

// An output array: accepted as extract_float64_array does, and held by a new
// reference until the call ends. A kernel may write it without the
// interpreter lock; held, it cannot be resized (freed) by another thread
// meanwhile, because NumPy refuses to resize an array referenced elsewhere.
py::Result<py::Object> hold_output(PyObject* obj) noexcept;

inline ArrayView array_view(PyObject* array) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    return {static_cast<char*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIMS(a)[0]),
            static_cast<std::ptrdiff_t>(PyArray_STRIDES(a)[0])};
}

// Fewer than two elements, or elements exactly 8 bytes apart ascending.
inline bool is_contiguous(const ArrayView& view) noexcept {
    return view.size < 2 || view.stride == static_cast<std::ptrdiff_t>(sizeof(double));
}

// The slice of a contiguous view (an internal fault for any other view).
ArraySlice array_slice(const ArrayView& view) noexcept;

inline bool is_writeable(PyObject* array) noexcept {
    return (PyArray_FLAGS(reinterpret_cast<PyArrayObject*>(array)) & NPY_ARRAY_WRITEABLE) != 0;
}

// True when the two slices have a byte in common.
inline bool shares_bytes(const ArraySlice& a, const ArraySlice& b) noexcept {
    const auto a_start = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b_start = reinterpret_cast<std::uintptr_t>(b.data);
    return a.size != 0 && b.size != 0 && a_start < b_start + b.size * sizeof(double) &&
           b_start < a_start + a.size * sizeof(double);
}

}  // namespace veldspar::np
