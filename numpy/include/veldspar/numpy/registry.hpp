// The process-wide array-borrow registry shared by native modules through NumPy's core module.
//
// Modules that hand out views of NumPy memory agree on one registry, published
// as the capsule "_RUST_NUMPY_BORROW_CHECKING_API" on NumPy's core multiarray
// module. The first module to need it creates it; every later one finds it and
// calls its functions. The capsule's record has a fixed C layout, because
// separately built modules read it.
//
// The record is found or published once per process, at the first borrow,
// and never looked up again: a capsule put on the core module later is not
// seen. Its four functions touch array objects and the registry's maps, and
// must be called with the interpreter lock held, by this module and by any
// other; the maps have a mutex of their own besides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "veldspar/frame/error.hpp"

namespace veldspar::numpy {

extern "C" {
// The record the capsule points to. The array argument is a NumPy array object.
struct BorrowCheckingApi {
    std::uint64_t version;
    void* state;
    int (*acquire)(void* state, PyObject* array);      // read borrow
    int (*acquire_mut)(void* state, PyObject* array);  // write borrow
    void (*release)(void* state, PyObject* array);
    void (*release_mut)(void* state, PyObject* array);
};
}

// Offsets are shared with modules built elsewhere: version at 0 on every
// target, then pointer-sized fields from 8 (8, 12, 16, 20, 24 on 32-bit ARM;
// 8, 16, 24, 32, 40 on 64-bit targets).
static_assert(offsetof(BorrowCheckingApi, version) == 0);
static_assert(offsetof(BorrowCheckingApi, state) == 8);
static_assert(offsetof(BorrowCheckingApi, acquire) == 8 + sizeof(void*));
static_assert(offsetof(BorrowCheckingApi, acquire_mut) == 8 + 2 * sizeof(void*));
static_assert(offsetof(BorrowCheckingApi, release) == 8 + 3 * sizeof(void*));
static_assert(offsetof(BorrowCheckingApi, release_mut) == 8 + 4 * sizeof(void*));
static_assert(sizeof(void*) != 4 || offsetof(BorrowCheckingApi, release_mut) == 24, "32-bit record layout");
static_assert(sizeof(void*) != 8 || offsetof(BorrowCheckingApi, release_mut) == 40, "64-bit record layout");

// Return codes of acquire and acquire_mut.
inline constexpr int kBorrowed = 0;
inline constexpr int kAlreadyBorrowed = -1;
inline constexpr int kNotWriteable = -2;

// The record: the one kept (api::borrow_record()), or found on / published to
// NumPy's core module at first need and kept for the process. Needs the
// interpreter lock and NumPy's table (api::ready()).
frame::Result<const BorrowCheckingApi*> borrow_checking_api() noexcept;

}  // namespace veldspar::numpy
