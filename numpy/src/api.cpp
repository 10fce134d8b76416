// NumPy's C API at run time: locating NumPy's core module, taking its table, and the values kept for the process.
#include "veldspar/numpy/api.hpp"

#include "messages.hpp"

// The table and the runtime version that NumPy's headers read (declared there
// under PY_ARRAY_UNIQUE_SYMBOL); null and 0 until load() succeeds.
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

namespace veldspar::numpy::api {

PyArray_Descr* detail::g_float64 = nullptr;
const BorrowCheckingApi* detail::g_borrow_record = nullptr;

namespace {

using frame::Error;
using frame::Object;
using frame::Result;

PyObject* g_core_module_name = nullptr;

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
    if (overflow != 0 || value < 0 || value > 255) return frame::integral_overflow();
    return static_cast<unsigned>(value);
}

// The table from the "_ARRAY_API" capsule of NumPy's core module.
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
    if (g_core_module_name != nullptr) return g_core_module_name;
    auto major = numpy_major_version();
    if (!major) return major.take_error();
    Object name = frame::make_str(*major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    // Locating NumPy ran Python code: another thread may have stored its name meanwhile.
    if (g_core_module_name == nullptr) g_core_module_name = name.release();
    return g_core_module_name;
}

frame::Status load() noexcept {
    if (ready()) return std::nullopt;
    auto table = fetch_table();
    if (!table) return frame::error_caused_by(PyExc_ImportError, messages::kArrayApiUnavailable, table.take_error());
    // Taking the table ran Python code: another thread may have taken it meanwhile (the same table).
    if (ready()) return std::nullopt;
    // Nothing from here on releases the lock, so no thread sees the table
    // before the version and the descriptor that go with it.
    PyArray_API = *table;
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    detail::g_float64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (detail::g_float64 == nullptr) frame::python_api_call_failed();
    return std::nullopt;
}

const BorrowCheckingApi* keep_borrow_record(const BorrowCheckingApi* record) noexcept {
    if (detail::g_borrow_record == nullptr) detail::g_borrow_record = record;
    return detail::g_borrow_record;
}

}  // namespace veldspar::numpy::api
