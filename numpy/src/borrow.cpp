// Holding input arrays: acceptance, reference and read borrow, and their release.
#include "veldspar/np/borrow.hpp"

#include <cstdio>

namespace veldspar::np {
namespace {

py::Error refusal(int code) noexcept {
    if (code == kAlreadyBorrowed) return py::Error::built(PyExc_BufferError, "AlreadyBorrowed");
    char text[80];
    std::snprintf(text, sizeof text, "Unexpected return code %d from borrow checking API", code);
    return py::Error::built_text(PyExc_BufferError, py::String(text));
}

}  // namespace

py::Result<BorrowedInput> borrow_readonly(PyObject* obj) noexcept {
    // Acceptance needs the table first too, and fails the same way.
    auto arrays = array_api();
    if (!arrays) return arrays.take_error();
    auto array = extract_float64_array(obj);
    if (!array) return array.take_error();
    py::Object held = py::Object::borrow(*array);
    auto api = borrow_checking_api();
    if (!api) {
        return py::error_caused_by(PyExc_BufferError, "Interal borrow checking API error: ", api.take_error());
    }
    const ArrayView acquired = array_view(held.get());
    const int code = (*api)->acquire((*api)->state, held.get());
    if (code != kBorrowed) return refusal(code);
    return BorrowedInput(std::move(held), *api, *arrays, acquired);
}

bool BorrowedInput::layout_unchanged() const noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    return PyArray_NDIM(array) == 1 && PyArray_DATA(array) == acquired_.data &&
           static_cast<std::size_t>(PyArray_DIMS(array)[0]) == acquired_.size &&
           PyArray_STRIDES(array)[0] == acquired_.stride &&
           element_size(arrays_, PyArray_DESCR(array)) == sizeof(double);
}

// A one-dimensional float64 array over the acquisition-time layout whose base
// is the borrowed array, so that its base chain ends where the array's does:
// the registry computes the key of the registered borrow from it. Empty, with
// an exception set, if NumPy cannot make it. The data address is never null
// (NumPy allocates for every array made without memory), so NumPy uses it.
py::Object BorrowedInput::view_as_acquired() const noexcept {
    PyArray_Descr* float64 = arrays_.descr_from_type(NPY_DOUBLE);
    if (float64 == nullptr) return {};
    npy_intp size = static_cast<npy_intp>(acquired_.size);
    npy_intp stride = acquired_.stride;
    py::Object view = py::Object::steal(
        arrays_.new_from_descr(arrays_.array_type(), float64, 1, &size, &stride, acquired_.data, 0, nullptr));
    if (!view) return {};
    if (arrays_.set_base_object(view.get(), py::Object::borrow(array_.get()).release()) != 0) return {};
    return view;
}

void BorrowedInput::release_readonly() noexcept {
    if (!array_) return;  // moved from
    if (layout_unchanged()) {
        api_->release(api_->state, array_.get());
    } else if (py::Object view = view_as_acquired()) {
        api_->release(api_->state, view.get());
    } else {
        // NumPy is out of memory. Releasing through the array as it is now
        // could end some other borrow that has its present layout; a borrow
        // kept only refuses later writers of this memory. Keep it, and say so.
        PyErr_WriteUnraisable(array_.get());
    }
    py::Object dropped = std::move(array_);
}

}  // namespace veldspar::np
