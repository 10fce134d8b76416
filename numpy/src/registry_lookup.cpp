// Finding the shared borrow registry on NumPy's core module, or publishing this module's own there.
#include "veldspar/numpy/registry.hpp"

#include <cstdio>
#include <cstring>

#include "messages.hpp"
#include "registry_capsule.hpp"
#include "veldspar/numpy/api.hpp"

namespace veldspar::numpy {
namespace {

using frame::Error;
using frame::Object;
using frame::Result;

Error unsupported_version(std::uint64_t version) noexcept {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(version));
    return Error::built_text(PyExc_TypeError, frame::format_text(messages::kUnsupportedVersion, {digits}));
}

// Attaches a new registry to `core`, or adopts the capsule that another
// thread attached while this one ran Python code (the failed lookup may have
// called a module __getattr__). Nothing between the dictionary check and the
// attachment runs Python code, so the process keeps one registry.
Result<Object> publish_registry(PyObject* core) noexcept {
    auto capsule = make_registry_capsule();
    if (!capsule) return capsule.take_error();
    if (PyModule_Check(core)) {
        if (PyObject* published = PyDict_GetItemString(PyModule_GetDict(core), kBorrowCapsuleName)) {
            return Object::borrow(published);  // ours is dropped: its destructor frees it
        }
    }
    if (PyObject_SetAttrString(core, kBorrowCapsuleName, capsule->get()) != 0) return Error::fetch();
    return std::move(*capsule);
}

Result<const BorrowCheckingApi*> find_or_publish_record() noexcept {
    auto core_name = api::core_module_name();
    if (!core_name) return core_name.take_error();
    Object core = Object::steal(PyImport_Import(*core_name));
    if (!core) return Error::fetch();

    Object capsule = Object::steal(PyObject_GetAttrString(core.get(), kBorrowCapsuleName));
    if (!capsule) {
        // Whatever the lookup raised, there is no registry to use yet.
        PyErr_Clear();
        auto published = publish_registry(core.get());
        if (!published) return published.take_error();
        capsule = std::move(*published);
    }
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type))
        return Error::type_mismatch(capsule.get(), messages::kCapsuleTarget);

    // Any capsule can be put under this name (another module's C API, say):
    // only one named for the registry holds a record. The ValueError of a
    // name mismatch is the error.
    const void* record = PyCapsule_GetPointer(capsule.get(), kBorrowCapsuleName);
    if (record == nullptr) return Error::fetch();
    // Read as raw bytes: the record's later fields depend on its version.
    std::uint64_t version = 0;
    std::memcpy(&version, record, sizeof version);
    if (version < 1) return unsupported_version(version);

    // The record lives inside the capsule: keep the capsule for the life of the process.
    (void)capsule.release();
    return static_cast<const BorrowCheckingApi*>(record);
}

}  // namespace

Result<const BorrowCheckingApi*> borrow_checking_api() noexcept {
    if (const BorrowCheckingApi* kept = api::borrow_record()) return kept;
    auto record = find_or_publish_record();
    if (!record) return record.take_error();
    return api::keep_borrow_record(*record);
}

}  // namespace veldspar::numpy
