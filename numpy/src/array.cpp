// Acceptance of float64 arrays and contiguous slices of them.
#include "veldspar/np/array.hpp"

#include "veldspar/fault.hpp"

namespace veldspar::np {

py::Result<bool> is_float64_array(PyObject* obj) noexcept {
    auto api = array_api();
    if (!api) return api.take_error();
    if (!api->is_array(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1) return false;
    py::Object descr = py::Object::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    py::Object float64 = py::Object::steal(reinterpret_cast<PyObject*>(api->descr_from_type(NPY_DOUBLE)));
    if (!float64) py::python_api_call_failed();
    return descr.get() == float64.get() || api->equiv_types(reinterpret_cast<PyArray_Descr*>(descr.get()),
                                                            reinterpret_cast<PyArray_Descr*>(float64.get()));
}

py::Result<PyObject*> extract_float64_array(PyObject* obj) noexcept {
    auto accepted = is_float64_array(obj);
    if (!accepted) return accepted.take_error();
    if (!*accepted) return py::Error::type_mismatch(obj, "PyArray<T, D>");
    return obj;
}

py::Result<py::Object> hold_output(PyObject* obj) noexcept {
    auto array = extract_float64_array(obj);
    if (!array) return array.take_error();
    return py::Object::borrow(*array);
}

ArraySlice array_slice(const ArrayView& view) noexcept {
    if (!is_contiguous(view)) internal_fault("array_slice of a view that is not contiguous");
    return {view.data, view.size};
}

}  // namespace veldspar::np
