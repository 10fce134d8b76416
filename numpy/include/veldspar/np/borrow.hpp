// Input arrays held for one call: a new reference plus a read borrow in the shared registry.
//
//   auto data = borrow_readonly(arg);   // accepted, referenced, registered
//   if (!data) return wrap_argument_error("data", data.take_error());
//   ...                                 // release_readonly when `data` goes out of scope
//
// `BorrowedInput` is the RAII form of the pair borrow_readonly /
// release_readonly: it ends the borrow and drops the reference exactly once,
// on every path; several inputs declared in order are released newest first.
//
// The registry finds a borrow by the array's layout at release, and Python
// code (another thread during a kernel, a callback during argument checks)
// can change an array's dtype or shape in place meanwhile. The layout seen at
// acquisition is therefore kept, and a changed array is released through a
// private view that has that layout, so a call ends exactly the borrows it
// registered.
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
    BorrowedInput(py::Object array, const BorrowCheckingApi* api, ArrayApi arrays, ArrayView acquired) noexcept
        : array_(std::move(array)), api_(api), arrays_(arrays), acquired_(acquired) {}
    void release_readonly() noexcept;
    bool layout_unchanged() const noexcept;
    py::Object view_as_acquired() const noexcept;

    py::Object array_;
    const BorrowCheckingApi* api_;
    ArrayApi arrays_;
    ArrayView acquired_;  // the array's layout when the borrow was registered (8-byte elements)
};

// Accepts `obj` as a float64 array (else the TypeError of
// extract_float64_array), takes a reference and registers a read borrow. A
// refused borrow is a BufferError: "AlreadyBorrowed", "Unexpected return code
// N from borrow checking API", or "Interal borrow checking API error: <error>"
// with the underlying error as its cause; nothing is then held.
py::Result<BorrowedInput> borrow_readonly(PyObject* obj) noexcept;

}  // namespace veldspar::np
