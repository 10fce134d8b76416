// Locating NumPy's core module and taking its C-API table from the capsule.
#include "veldspar/np/api.hpp"

#include <atomic>

namespace veldspar::np {
namespace {

using py::Error;
using py::Object;
using py::Result;

std::atomic<PyObject*> g_core_module_name{nullptr};
std::atomic<void**> g_table{nullptr};
std::atomic<unsigned> g_feature_version{0};

Result<Object> import(const char* name) noexcept {
    Object module_name = py::make_str(name);
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
        return Error::built(PyExc_OverflowError, "out of range integral type conversion attempted");
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
        return Error::type_mismatch(capsule->get(), "PyCapsule");
    }
    const char* capsule_name = PyCapsule_GetName(capsule->get());
    PyErr_Clear();
    void* table = PyCapsule_GetPointer(capsule->get(), capsule_name);
    if (table == nullptr) {
        // An empty capsule would be dereferenced by every later call.
        if (PyErr_Occurred()) return Error::fetch();
        return Error::built(PyExc_ValueError, "NumPy's _ARRAY_API capsule holds no table");
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
    Object name = py::make_str(*major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    PyObject* expected = nullptr;
    if (g_core_module_name.compare_exchange_strong(expected, name.get(), std::memory_order_acq_rel)) {
        return name.release();
    }
    return expected;
}

Result<ArrayApi> array_api() noexcept {
    if (void** table = g_table.load(std::memory_order_acquire)) return ArrayApi(table);
    auto table = fetch_table();
    if (!table) {
        return py::error_caused_by(PyExc_ImportError, "Failed to access NumPy array API capsule: ", table.take_error());
    }
    // A racing thread may have stored its table first; both are the same.
    void** expected = nullptr;
    if (!g_table.compare_exchange_strong(expected, *table, std::memory_order_acq_rel)) return ArrayApi(expected);
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

}  // namespace veldspar::np
