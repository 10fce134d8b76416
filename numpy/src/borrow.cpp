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
    auto array = extract_float64_array(obj);
    if (!array) return array.take_error();
    py::Object held = py::Object::borrow(*array);
    auto api = borrow_checking_api();
    if (!api) {
        return py::error_caused_by(PyExc_BufferError, "Interal borrow checking API error: ", api.take_error());
    }
    const int code = (*api)->acquire((*api)->state, held.get());
    if (code != kBorrowed) return refusal(code);
    return BorrowedInput(std::move(held), *api);
}

void BorrowedInput::release_readonly() noexcept {
    if (!array_) return;  // moved from
    api_->release(api_->state, array_.get());
    py::Object dropped = std::move(array_);
}

}  // namespace veldspar::np
