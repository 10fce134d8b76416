// NumPy's C API, reached at run time: the module is never linked against NumPy.
//
// The table of C-API entries is taken from the "_ARRAY_API" capsule of
// NumPy's core multiarray module at the first need (not at import), so
// `import veldspar` works without NumPy. Everything here needs the
// interpreter lock.
#pragma once

#include "veldspar/np/numpy_headers.hpp"
#include "veldspar/py/error.hpp"

namespace veldspar::np {

// The entries of NumPy's C-API table that this module uses (a handle on the
// cached table: cheap to copy).
class ArrayApi {
public:
    explicit ArrayApi(void** table) noexcept : table_(table) {}

    // NumPy's array type object.
    PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table_[kArrayType]); }
    // A new reference to the descriptor of a built-in type number.
    PyArray_Descr* descr_from_type(int type_num) const noexcept {
        return reinterpret_cast<PyArray_Descr* (*)(int)>(table_[kDescrFromType])(type_num);
    }
    bool equiv_types(PyArray_Descr* a, PyArray_Descr* b) const noexcept {
        return reinterpret_cast<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(table_[kEquivTypes])(a, b) != 0;
    }
    // NumPy's C-API feature version at run time (18 and up: NumPy 2.x).
    unsigned feature_version() const noexcept;
    // A new array of `subtype` over existing memory at `data` (null would
    // make NumPy allocate), or null with an exception set. Steals `descr`,
    // even on failure.
    PyObject* new_from_descr(PyTypeObject* subtype, PyArray_Descr* descr, int nd, const npy_intp* dims,
                             const npy_intp* strides, void* data, int flags, PyObject* obj) const noexcept {
        using Fn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*, const npy_intp*, void*, int,
                                 PyObject*);
        return reinterpret_cast<Fn>(table_[kNewFromDescr])(subtype, descr, nd, dims, strides, data, flags, obj);
    }
    // Makes `base` the base object of a new array: 0, or -1 with an exception
    // set. Steals `base`, even on failure.
    int set_base_object(PyObject* array, PyObject* base) const noexcept {
        return reinterpret_cast<int (*)(PyArrayObject*, PyObject*)>(table_[kSetBaseObject])(
            reinterpret_cast<PyArrayObject*>(array), base);
    }

    // True for an instance of NumPy's array type or a subtype.
    bool is_array(PyObject* obj) const noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        return type == array_type() || PyType_IsSubtype(type, array_type());
    }

private:
    static constexpr int kArrayType = 2;
    static constexpr int kDescrFromType = 45;
    static constexpr int kNewFromDescr = 94;
    static constexpr int kEquivTypes = 182;
    static constexpr int kGetNDArrayCFeatureVersion = 211;
    static constexpr int kSetBaseObject = 282;

    void** table_;
};

// The table, obtained and cached on first use. A failure is the ImportError
// "Failed to access NumPy array API capsule: <error>" with the underlying
// error as its cause; the next call tries again from the start.
py::Result<ArrayApi> array_api() noexcept;

// "numpy._core.multiarray" (NumPy 2.x) or "numpy.core.multiarray" (1.x), as a
// borrowed str kept for the process. Locates NumPy on first use.
py::Result<PyObject*> core_module_name() noexcept;

// Element size of a descriptor, read in the layout of the NumPy running here.
std::size_t element_size(const ArrayApi& api, PyArray_Descr* descr) noexcept;

}  // namespace veldspar::np
