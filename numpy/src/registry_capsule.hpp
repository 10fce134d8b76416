// This module's borrow registry, packaged as the capsule it publishes: the table behind the record's four functions.
//
//   auto capsule = make_registry_capsule();   // owns table, record and name
//   PyObject_SetAttrString(core, kBorrowCapsuleName, capsule->get());
//
// Other modules reach the registry only through the four C functions of the
// capsule's record; nothing here is visible to them beyond that record.
#pragma once

#include "veldspar/frame/error.hpp"

namespace veldspar::numpy {

inline constexpr char kBorrowCapsuleName[] = "_RUST_NUMPY_BORROW_CHECKING_API";

// A new capsule named kBorrowCapsuleName whose pointer is a version-1 record
// over an empty table. Table, record and name live in one block that the
// capsule's destructor frees. The error is that of PyCapsule_New.
frame::Result<frame::Object> make_registry_capsule() noexcept;

}  // namespace veldspar::numpy
