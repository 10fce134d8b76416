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

static_assert(sizeof(npy_intp) == sizeof(std::intptr_t) && alignof(npy_intp) == alignof(std::intptr_t));

// The registry's state: the table, and what reading an array object needs,
// fixed when the registry is made (NumPy's C API is reached by then: the
// registry is made at the first borrow, after an array was accepted).
struct Registry {
    table::BorrowTable borrows;
    PyTypeObject* array_type;
    bool numpy2_descr;  // descriptors in NumPy 2.x layout (C-API feature version 18 and up)
};

// The outermost array of the base chain, or the first base that is not an
// array (bytes, mmap, ...): every view of one buffer meets there.
std::uintptr_t base_address(const Registry& registry, PyObject* array) noexcept {
    PyObject* current = array;
    while (PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(current))) {
        current = base;
        PyTypeObject* type = Py_TYPE(base);
        if (type != registry.array_type && !PyType_IsSubtype(type, registry.array_type)) break;
    }
    return reinterpret_cast<std::uintptr_t>(current);
}

std::size_t element_width(const Registry& registry, PyArray_Descr* descr) noexcept {
    if (registry.numpy2_descr) return static_cast<std::size_t>(reinterpret_cast<_PyArray_DescrNumPy2*>(descr)->elsize);
    return static_cast<std::size_t>(reinterpret_cast<PyArray_DescrProto*>(descr)->elsize);
}

// Base and key are computed before the table's mutex is taken: the base
// walk may call into Python's type machinery, which must never run while
// another thread waits on the mutex. (Kept as separate locals: a struct of
// both would be built field by field and then block-copied, and the wide load
// of a copy that spans several just-made narrow stores stalls.)
[[gnu::always_inline]] inline table::BorrowKey key_of(const Registry& registry, PyObject* obj) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    return table::borrow_key(reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)), PyArray_NDIM(array),
                             reinterpret_cast<const std::intptr_t*>(PyArray_DIMS(array)),
                             reinterpret_cast<const std::intptr_t*>(PyArray_STRIDES(array)),
                             element_width(registry, PyArray_DESCR(array)));
}

Registry& registry_of(void* state) noexcept { return *static_cast<Registry*>(state); }

extern "C" {

static int veldspar_registry_acquire(void* state, PyObject* array) noexcept {
    Registry& registry = registry_of(state);
    const table::BorrowKey key = key_of(registry, array);
    return registry.borrows.acquire(base_address(registry, array), key) ? kBorrowed : kAlreadyBorrowed;
}

static int veldspar_registry_acquire_mut(void* state, PyObject* array) noexcept {
    if (!is_writeable(array)) return kNotWriteable;
    Registry& registry = registry_of(state);
    const table::BorrowKey key = key_of(registry, array);
    return registry.borrows.acquire_mut(base_address(registry, array), key) ? kBorrowed : kAlreadyBorrowed;
}

static void veldspar_registry_release(void* state, PyObject* array) noexcept {
    Registry& registry = registry_of(state);
    const table::BorrowKey key = key_of(registry, array);
    registry.borrows.release(base_address(registry, array), key);
}

static void veldspar_registry_release_mut(void* state, PyObject* array) noexcept {
    Registry& registry = registry_of(state);
    const table::BorrowKey key = key_of(registry, array);
    registry.borrows.release_mut(base_address(registry, array), key);
}

}  // extern "C"

// One allocation for everything the capsule owns; the capsule's context
// points at it so that the destructor finds the whole block.
struct CapsuleBlock {
    BorrowCheckingApi record;
    Registry registry;
    char name[sizeof kBorrowCapsuleName];

    explicit CapsuleBlock(const ArrayApi& api) noexcept
        : record{1,
                 &registry,
                 veldspar_registry_acquire,
                 veldspar_registry_acquire_mut,
                 veldspar_registry_release,
                 veldspar_registry_release_mut},
          registry{{}, api.array_type(), api.feature_version() >= NPY_2_0_API_VERSION} {
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
    // The registry is made only after an array was accepted, so the table is
    // cached; a failure here means NumPy's own capsule was tampered with after use.
    auto api = array_api();
    if (!api) fault::internal_fault(messages::kArrayApiLostInRegistry);
    auto* block = new (fault::checked_malloc(sizeof(CapsuleBlock))) CapsuleBlock(*api);
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
