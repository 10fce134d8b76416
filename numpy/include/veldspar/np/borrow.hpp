// Input arrays held for one call: a new reference plus a read borrow in the shared registry.
//
//   auto data = borrow_readonly(arg);   // accepted, referenced, registered
//   if (!data) return wrap_argument_error("data", data.take_error());
//   ...                                 // release_readonly when `data` goes out of scope
//
// `BorrowedInput` is the RAII form of the pair borrow_readonly /
// release_readonly: it ends the borrow and drops the reference exactly once,
// on every path; several inputs declared in order are released newest first.
#pragma once

#include "veldspar/np/array.hpp"
#include "veldspar/np/registry.hpp"

namespace veldspar::np {

class BorrowedInput {
public:
    BorrowedInput(BorrowedInput&& other) noexcept = default;
    BorrowedInput& operator=(BorrowedInput&&) = delete;
    BorrowedInput(const BorrowedInput&) = delete;
    ~BorrowedInput() { release_readonly(); }

    PyObject* get() const noexcept { return array_.get(); }

private:
    friend py::Result<BorrowedInput> borrow_readonly(PyObject* obj) noexcept;
    BorrowedInput(py::Object array, const BorrowCheckingApi* api) noexcept : array_(std::move(array)), api_(api) {}
    void release_readonly() noexcept;

    py::Object array_;
    const BorrowCheckingApi* api_;
};

// Accepts `obj` as a float64 array (else the TypeError of
// extract_float64_array), takes a reference and registers a read borrow. A
// refused borrow is a BufferError: "AlreadyBorrowed", "Unexpected return code
// N from borrow checking API", or "Interal borrow checking API error: <error>"
// with the underlying error as its cause; nothing is then held.
py::Result<BorrowedInput> borrow_readonly(PyObject* obj) noexcept;

}  // namespace veldspar::np
