// The adapter between array objects and the borrow table: base and key of an array, the record's four C functions.
#include "registry_capsule.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "messages.hpp"
#include "veldspar/fault/fault.hpp"
#include "veldspar/numpy/array.hpp"
#include "veldspar/numpy/registry.hpp"
#include "veldspar/table/borrow_table.hpp"

namespace veldspar::numpy {
namespace {

// Key base and key are computed before the table's mutex is taken: the base
// walk may call into Python's type machinery, which must never run while
// another thread waits on the mutex. (Kept as separate locals: a struct of
// both would be built field by field and then block-copied, and the wide load
// of a copy that spans several just-made narrow stores stalls.)
std::uintptr_t base_address(PyObject* array) noexcept { return reinterpret_cast<std::uintptr_t>(key_base(array)); }

[[gnu::always_inline]] inline table::BorrowKey key_of(PyObject* obj) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    return table::borrow_key(reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)), PyArray_NDIM(array),
                             reinterpret_cast<const std::intptr_t*>(PyArray_DIMS(array)),
                             reinterpret_cast<const std::intptr_t*>(PyArray_STRIDES(array)),
                             api::element_size(PyArray_DESCR(array)));
}

// The registry's state is the table. Reading array objects needs NumPy's C-API
// table, which is taken by then: the registry is made at the first borrow,
// after an array was accepted.
table::BorrowTable& table_of(void* state) noexcept { return *static_cast<table::BorrowTable*>(state); }

extern "C" {

static int veldspar_registry_acquire(void* state, PyObject* array) noexcept {
    const table::BorrowKey key = key_of(array);
    return table_of(state).acquire(base_address(array), key) ? kBorrowed : kAlreadyBorrowed;
}

static int veldspar_registry_acquire_mut(void* state, PyObject* array) noexcept {
    if (!is_writeable(array)) return kNotWriteable;
    const table::BorrowKey key = key_of(array);
    return table_of(state).acquire_mut(base_address(array), key) ? kBorrowed : kAlreadyBorrowed;
}

static void veldspar_registry_release(void* state, PyObject* array) noexcept {
    const table::BorrowKey key = key_of(array);
    table_of(state).release(base_address(array), key);
}

static void veldspar_registry_release_mut(void* state, PyObject* array) noexcept {
    const table::BorrowKey key = key_of(array);
    table_of(state).release_mut(base_address(array), key);
}

}  // extern "C"

// One allocation for everything the capsule owns; the capsule's context
// points at it so that the destructor finds the whole block.
struct CapsuleBlock {
    BorrowCheckingApi record;
    table::BorrowTable table;
    char name[sizeof kBorrowCapsuleName];

    CapsuleBlock() noexcept
        : record{1,
                 &table,
                 veldspar_registry_acquire,
                 veldspar_registry_acquire_mut,
                 veldspar_registry_release,
                 veldspar_registry_release_mut} {
        std::memcpy(name, kBorrowCapsuleName, sizeof name);
    }
};

void free_block(CapsuleBlock* block) noexcept {
    block->~CapsuleBlock();
    std::free(block);
}

extern "C" void veldspar_registry_capsule_destructor(PyObject* capsule) noexcept {
    free_block(static_cast<CapsuleBlock*>(PyCapsule_GetContext(capsule)));
}

}  // namespace

frame::Result<frame::Object> make_registry_capsule() noexcept {
    // The registry is made only after an array was accepted, so the table is taken.
    if (!api::ready()) fault::internal_fault(messages::kArrayApiLostInRegistry);
    auto* block = new (fault::checked_malloc(sizeof(CapsuleBlock))) CapsuleBlock();
    frame::Object capsule = frame::Object::steal(PyCapsule_New(&block->record, block->name, nullptr));
    if (!capsule) {
        free_block(block);
        return frame::Error::fetch();
    }
    // The destructor is installed only once the context is set, so it never
    // sees a capsule without its block.
    if (PyCapsule_SetContext(capsule.get(), block) != 0 ||
        PyCapsule_SetDestructor(capsule.get(), veldspar_registry_capsule_destructor) != 0) {
        frame::python_api_call_failed();
    }
    return capsule;
}

}  // namespace veldspar::numpy
