// Owned Python references: the one place where reference counts change by hand.
//
// `Object` owns one strong reference and drops it when it goes out of scope
// (the RAII form of the C pattern "Py_XDECREF on every exit path"). Ownership
// enters only through the two named steps, so every transfer is visible:
//
//   Object name = Object::steal(PyModule_GetNameObject(m));  // new reference
//   Object self = Object::borrow(m);                         // takes one more
//
// Every function that hands back a raw pointer says whether the reference is
// borrowed or new; raw Py_INCREF/Py_DECREF appear nowhere else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace veldspar::frame {

class Object {
public:
    Object() noexcept = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Object(Object&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Object& operator=(Object&& other) noexcept {
        Object dropped(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    ~Object() { Py_XDECREF(ptr_); }

    // Takes over a new reference (null allowed: an empty Object).
    static Object steal(PyObject* ptr) noexcept { return Object(ptr); }
    // Takes an additional reference to a borrowed one.
    static Object borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Object(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Gives up ownership: the caller now holds the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Object(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace veldspar::frame
