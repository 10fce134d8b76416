// Array arguments off the common path: refusals, and the release of a borrow whose array changed.
#include "veldspar/numpy/array.hpp"

#include <cstdio>

#include "messages.hpp"
#include "veldspar/fault/fault.hpp"

namespace veldspar::numpy {

using frame::Error;
using frame::Object;

Error detail::refused(PyObject* obj) noexcept { return Error::type_mismatch(obj, messages::kArrayTarget); }

Error detail::refusal(int code) noexcept {
    if (code == kAlreadyBorrowed) return Error::built(PyExc_BufferError, messages::kAlreadyBorrowed);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", code);
    return Error::built_text(PyExc_BufferError, frame::format_text(messages::kUnexpectedCode, {digits}));
}

Error detail::registry_unavailable(Error error) noexcept {
    return frame::error_caused_by(PyExc_BufferError, messages::kRegistryUnavailable, std::move(error));
}

void detail::slice_of_strided_view() noexcept { fault::internal_fault(messages::kSliceOfStridedView); }

// The registry computes the key of the view from its layout, and its key base
// from its base: `keyed` itself, as at registration, since `keyed` is either
// not an array or an array that had no base then. The data address is never
// null (NumPy allocates for every array made without memory), so NumPy uses it.
void detail::release_as_registered(const BorrowCheckingApi* record, PyObject* array, PyObject* keyed, char* data,
                                   int nd, const npy_intp* dims, const npy_intp* strides) noexcept {
    // NewFromDescr steals a reference to the descriptor, SetBaseObject one to the base, even on failure.
    auto* float64 =
        reinterpret_cast<PyArray_Descr*>(Object::borrow(reinterpret_cast<PyObject*>(api::float64())).release());
    Object view = Object::steal(PyArray_NewFromDescr(&PyArray_Type, float64, nd, const_cast<npy_intp*>(dims),
                                                     const_cast<npy_intp*>(strides), data, 0, nullptr));
    if (view &&
        PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Object::borrow(keyed).release()) == 0) {
        record->release(record->state, view.get());
        return;
    }
    // NumPy is out of memory. Releasing through the array as it is now could
    // end some other borrow that has its present key; a borrow kept only
    // refuses later writers of this memory. Keep it, and say so.
    PyErr_WriteUnraisable(array);
}

}  // namespace veldspar::numpy
