// NumPy arrays as arguments: the C-API table from NumPy's capsule, acceptance, and inputs held with a read borrow.
#include "veldspar/numpy/array.hpp"

#include <atomic>
#include <cstdio>

#include "messages.hpp"
#include "veldspar/fault/fault.hpp"

namespace veldspar::numpy {
namespace {

using frame::Error;
using frame::Object;
using frame::Result;

std::atomic<PyObject*> g_core_module_name{nullptr};
std::atomic<unsigned> g_feature_version{0};

Result<Object> import(const char* name) noexcept {
    Object module_name = frame::make_str(name);
    Object module = Object::steal(PyImport_Import(module_name.get()));
    if (!module) return Error::fetch();
    return module;
}

Result<Object> attribute(PyObject* obj, const char* name) noexcept {
    Object value = Object::steal(PyObject_GetAttrString(obj, name));
    if (!value) return Error::fetch();
    return value;
}

// NumPy's major version, from numpy.lib.NumpyVersion(numpy.__version__).major.
Result<unsigned> numpy_major_version() noexcept {
    auto numpy = import("numpy");
    if (!numpy) return numpy.take_error();
    auto version = attribute(numpy->get(), "__version__");
    if (!version) return version.take_error();
    auto lib = import("numpy.lib");
    if (!lib) return lib.take_error();
    auto parser = attribute(lib->get(), "NumpyVersion");
    if (!parser) return parser.take_error();
    Object parsed = Object::steal(PyObject_CallOneArg(parser->get(), version->get()));
    if (!parsed) return Error::fetch();
    auto major = attribute(parsed.get(), "major");
    if (!major) return major.take_error();
    Object index = Object::steal(PyNumber_Index(major->get()));
    if (!index) return Error::fetch();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return Error::fetch();
    if (overflow != 0 || value < 0 || value > 255) {
        return frame::integral_overflow();
    }
    return static_cast<unsigned>(value);
}

Result<void**> fetch_table() noexcept {
    auto name = core_module_name();
    if (!name) return name.take_error();
    Object module = Object::steal(PyImport_Import(*name));
    if (!module) return Error::fetch();
    auto capsule = attribute(module.get(), "_ARRAY_API");
    if (!capsule) return capsule.take_error();
    if (!Py_IS_TYPE(capsule->get(), &PyCapsule_Type)) {
        return Error::type_mismatch(capsule->get(), messages::kCapsuleTarget);
    }
    const char* capsule_name = PyCapsule_GetName(capsule->get());
    PyErr_Clear();
    void* table = PyCapsule_GetPointer(capsule->get(), capsule_name);
    if (table == nullptr) {
        // An empty capsule would be dereferenced by every later call.
        if (PyErr_Occurred()) return Error::fetch();
        return Error::built(PyExc_ValueError, messages::kArrayApiEmpty);
    }
    // The table points into the capsule: keep it for the life of the process.
    (void)capsule->release();
    return static_cast<void**>(table);
}

}  // namespace

Result<PyObject*> core_module_name() noexcept {
    if (PyObject* cached = g_core_module_name.load(std::memory_order_acquire)) return cached;
    auto major = numpy_major_version();
    if (!major) return major.take_error();
    Object name = frame::make_str(*major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    PyObject* expected = nullptr;
    if (g_core_module_name.compare_exchange_strong(expected, name.get(), std::memory_order_acq_rel)) {
        return name.release();
    }
    return expected;
}

std::atomic<void**> detail::g_array_table{nullptr};
// Taken with the table, so that accepting an array is a pointer comparison.
std::atomic<PyArray_Descr*> detail::g_float64{nullptr};

Result<ArrayApi> detail::fetch_array_api() noexcept {
    auto table = fetch_table();
    if (!table) {
        return frame::error_caused_by(PyExc_ImportError, messages::kArrayApiUnavailable, table.take_error());
    }
    PyArray_Descr* float64 = ArrayApi(*table).descr_from_type(NPY_DOUBLE);
    if (float64 == nullptr) frame::python_api_call_failed();
    // Stored before the table: whoever sees the table sees the descriptor.
    // A racing thread stores the same descriptor, and its table is the same.
    g_float64.store(float64, std::memory_order_relaxed);
    void** expected = nullptr;
    if (!g_array_table.compare_exchange_strong(expected, *table, std::memory_order_acq_rel)) {
        return ArrayApi(expected);
    }
    return ArrayApi(*table);
}

unsigned ArrayApi::feature_version() const noexcept {
    unsigned version = g_feature_version.load(std::memory_order_relaxed);
    if (version == 0) {
        version = reinterpret_cast<unsigned (*)()>(table_[kGetNDArrayCFeatureVersion])();
        g_feature_version.store(version, std::memory_order_relaxed);
    }
    return version;
}

std::size_t element_size(const ArrayApi& api, PyArray_Descr* descr) noexcept {
    if (api.feature_version() >= NPY_2_0_API_VERSION) {
        return static_cast<std::size_t>(reinterpret_cast<_PyArray_DescrNumPy2*>(descr)->elsize);
    }
    return static_cast<std::size_t>(reinterpret_cast<PyArray_DescrProto*>(descr)->elsize);
}

namespace {

// Valid once array_api() has returned a table.
PyArray_Descr* float64_descr() noexcept { return detail::g_float64.load(std::memory_order_relaxed); }

// Acceptance with the table already in hand: one lookup serves a whole argument.
frame::Result<PyObject*> accept(const ArrayApi& api, PyObject* obj) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (api.is_array(obj) && PyArray_NDIM(array) == 1) {
        // The descriptor is held by the array and float64's by NumPy for
        // good; equiv_types runs no Python code that could drop either.
        PyArray_Descr* descr = PyArray_DESCR(array);
        PyArray_Descr* float64 = float64_descr();
        if (descr == float64 || api.equiv_types(descr, float64)) return obj;
    }
    return Error::type_mismatch(obj, messages::kArrayTarget);
}

}  // namespace

Result<PyObject*> extract_float64_array(PyObject* obj) noexcept {
    auto api = array_api();
    if (!api) return api.take_error();
    return accept(*api, obj);
}

Result<Object> detail::hold_output_checked(PyObject* obj) noexcept {
    auto array = extract_float64_array(obj);
    if (!array) return array.take_error();
    return Object::borrow(*array);
}

Error detail::refusal(int code) noexcept {
    if (code == kAlreadyBorrowed) return Error::built(PyExc_BufferError, messages::kAlreadyBorrowed);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", code);
    return Error::built_text(PyExc_BufferError, frame::format_text(messages::kUnexpectedCode, {digits}));
}

void detail::slice_of_strided_view() noexcept { fault::internal_fault(messages::kSliceOfStridedView); }

Result<BorrowedInput> detail::borrow_readonly_checked(PyObject* obj) noexcept {
    auto arrays = array_api();
    if (!arrays) return arrays.take_error();
    auto array = accept(*arrays, obj);
    if (!array) return array.take_error();
    auto api = borrow_checking_api();
    if (!api) return frame::error_caused_by(PyExc_BufferError, messages::kRegistryUnavailable, api.take_error());
    return register_borrow(*api, *array);
}

// A one-dimensional float64 array over the acquisition-time layout whose base
// is the borrowed array, so that its base chain ends where the array's does:
// the registry computes the key of the registered borrow from it. Empty, with
// an exception set, if NumPy cannot make it. The data address is never null
// (NumPy allocates for every array made without memory), so NumPy uses it.
frame::Object BorrowedInput::view_as_acquired() const noexcept {
    const ArrayApi arrays(detail::g_array_table.load(std::memory_order_acquire));
    // new_from_descr steals a reference to the descriptor.
    auto* float64 =
        reinterpret_cast<PyArray_Descr*>(Object::borrow(reinterpret_cast<PyObject*>(float64_descr())).release());
    npy_intp size = static_cast<npy_intp>(acquired_.size);
    npy_intp stride = acquired_.stride;
    frame::Object view = frame::Object::steal(
        arrays.new_from_descr(arrays.array_type(), float64, 1, &size, &stride, acquired_.data, 0, nullptr));
    if (!view) return {};
    if (arrays.set_base_object(view.get(), frame::Object::borrow(array_.get()).release()) != 0) return {};
    return view;
}

void BorrowedInput::release_changed() noexcept {
    const BorrowCheckingApi* record = detail::g_borrow_record.load(std::memory_order_acquire);
    const ArrayApi arrays(detail::g_array_table.load(std::memory_order_acquire));
    // Another float64 descriptor object (a byte-order twin, say) with the same
    // layout is no change: the registry sees the same key.
    if (layout_as_acquired() &&
        element_size(arrays, PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array_.get()))) == sizeof(double)) {
        record->release(record->state, array_.get());
    } else if (frame::Object view = view_as_acquired()) {
        record->release(record->state, view.get());
    } else {
        // NumPy is out of memory. Releasing through the array as it is now
        // could end some other borrow that has its present layout; a borrow
        // kept only refuses later writers of this memory. Keep it, and say so.
        PyErr_WriteUnraisable(array_.get());
    }
}

}  // namespace veldspar::numpy
