// NumPy arrays as arguments: NumPy's C-API table, acceptance, views and slices, inputs and outputs held for a call.
//
// NumPy is reached at run time, never linked: the table of C-API entries is
// taken from the "_ARRAY_API" capsule of NumPy's core multiarray module at the
// first need (not at import), so `import veldspar` works without NumPy. The
// headers below describe types and layouts only. Everything here needs the
// interpreter lock.
//
//   auto data = borrow_readonly(arg);                 // accepted, referenced, registered
//   auto output = hold_output(arg);                   // accepted and referenced
//   ArrayView view = array_view(data->get());
//   if (!is_contiguous(view)) ...                     // the caller's ValueError
//   ArraySlice slice = array_slice(view);             // what kernels see
//
// Acceptance copies nothing; views and slices are plain reads of the array
// object, valid for the call that made them.
//
// `BorrowedInput` is the RAII form of the pair borrow_readonly /
// release_readonly: it ends the borrow and drops the reference exactly once,
// on every path; several inputs declared in order are released newest first.
//
// The registry finds a borrow by the array's layout at release, and Python
// code (another thread during a kernel, a callback during argument checks)
// can change an array's dtype or shape in place meanwhile. The layout seen at
// acquisition is therefore kept, and a changed array is released through a
// private view that has that layout, so a call ends exactly the borrows it
// registered.
#pragma once

// NumPy's C headers, for types and layouts only. The oldest C API relied on is
// pinned by the build (NPY_TARGET_VERSION), so NumPy 2.x headers describe
// structures that NumPy 1.x lays out the same way.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
#include <numpy/ndarraytypes.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// The headers are per-architecture (_numpyconfig.h): catch a header set that
// was made for another target.
static_assert(sizeof(npy_intp) == NPY_SIZEOF_INTP, "NumPy headers do not match this target");
static_assert(sizeof(npy_intp) == sizeof(void*), "npy_intp must be pointer-sized");
static_assert(sizeof(npy_intp) == sizeof(std::ptrdiff_t), "strides are read as ptrdiff_t");
static_assert(NPY_DOUBLE == 12 && NPY_ARRAY_WRITEABLE == 0x0400, "NumPy constants changed");
#if NPY_TARGET_VERSION >= NPY_2_0_API_VERSION
#error "build with NPY_TARGET_VERSION below 2.0 so that the module runs on NumPy 1.x too"
#endif

#include "veldspar/frame/error.hpp"
#include "veldspar/numpy/registry.hpp"

namespace veldspar::numpy {

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
        using Fn =
            PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*, const npy_intp*, void*, int, PyObject*);
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

namespace detail {
// The cached table, null until the first successful fetch_array_api().
extern std::atomic<void**> g_array_table;
// NumPy's float64 descriptor, a built-in that lives as long as NumPy: stored
// before the table, so valid once the table is seen.
extern std::atomic<PyArray_Descr*> g_float64;
frame::Result<ArrayApi> fetch_array_api() noexcept;
}  // namespace detail

// The table, obtained and cached on first use. A failure is the ImportError
// "Failed to access NumPy array API capsule: <error>" with the underlying
// error as its cause; the next call tries again from the start. Every array
// argument asks, so the cached case is inline.
inline frame::Result<ArrayApi> array_api() noexcept {
    if (void** table = detail::g_array_table.load(std::memory_order_acquire)) return ArrayApi(table);
    return detail::fetch_array_api();
}

// "numpy._core.multiarray" (NumPy 2.x) or "numpy.core.multiarray" (1.x), as a
// borrowed str kept for the process. Locates NumPy on first use.
frame::Result<PyObject*> core_module_name() noexcept;

// Element size of a descriptor, read in the layout of the NumPy running here.
std::size_t element_size(const ArrayApi& api, PyArray_Descr* descr) noexcept;

// Address of element 0, element count and byte stride of an accepted array.
struct ArrayView {
    char* data;
    std::size_t size;
    std::ptrdiff_t stride;
};

// A contiguous view: `size` doubles, 8 bytes apart in ascending order.
struct ArraySlice {
    void* data;
    std::size_t size;
};

// `obj` itself (borrowed) if it is a float64 array, else the TypeError
// "'<type>' object cannot be converted to 'PyArray<T, D>'".
frame::Result<PyObject*> extract_float64_array(PyObject* obj) noexcept;

namespace detail {
// The common case of acceptance, decided inline with the cached table: an
// array of exactly NumPy's type, one-dimensional, with NumPy's own float64
// descriptor. Anything else (a subclass, another float64 descriptor, an
// error to report) takes the full path.
inline bool is_plain_float64(void** table, PyObject* obj) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    return Py_TYPE(obj) == ArrayApi(table).array_type() && PyArray_NDIM(array) == 1 &&
           PyArray_DESCR(array) == g_float64.load(std::memory_order_relaxed);
}
frame::Result<frame::Object> hold_output_checked(PyObject* obj) noexcept;
}  // namespace detail

// An output array: accepted as extract_float64_array does, and held by a new
// reference until the call ends. A kernel may write it without the
// interpreter lock; held, it cannot be resized (freed) by another thread
// meanwhile, because NumPy refuses to resize an array referenced elsewhere.
inline frame::Result<frame::Object> hold_output(PyObject* obj) noexcept {
    void** table = detail::g_array_table.load(std::memory_order_acquire);
    if (table != nullptr && detail::is_plain_float64(table, obj)) return frame::Object::borrow(obj);
    return detail::hold_output_checked(obj);
}

inline ArrayView array_view(PyObject* array) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    return {static_cast<char*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIMS(a)[0]),
            static_cast<std::ptrdiff_t>(PyArray_STRIDES(a)[0])};
}

// Fewer than two elements, or elements exactly 8 bytes apart ascending.
inline bool is_contiguous(const ArrayView& view) noexcept {
    return view.size < 2 || view.stride == static_cast<std::ptrdiff_t>(sizeof(double));
}

namespace detail {
[[noreturn, gnu::cold]] void slice_of_strided_view() noexcept;
}

// The slice of a contiguous view (an internal fault for any other view).
inline ArraySlice array_slice(const ArrayView& view) noexcept {
    if (!is_contiguous(view)) detail::slice_of_strided_view();
    return {view.data, view.size};
}

inline bool is_writeable(PyObject* array) noexcept {
    return (PyArray_FLAGS(reinterpret_cast<PyArrayObject*>(array)) & NPY_ARRAY_WRITEABLE) != 0;
}

// True when the two slices have a byte in common.
inline bool shares_bytes(const ArraySlice& a, const ArraySlice& b) noexcept {
    const auto a_start = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b_start = reinterpret_cast<std::uintptr_t>(b.data);
    return a.size != 0 && b.size != 0 && a_start < b_start + b.size * sizeof(double) &&
           b_start < a_start + a.size * sizeof(double);
}

class BorrowedInput;
namespace detail {
frame::Result<BorrowedInput> borrow_readonly_checked(PyObject* obj) noexcept;
inline frame::Result<BorrowedInput> register_borrow(const BorrowCheckingApi* record, PyObject* array) noexcept;
frame::Error refusal(int code) noexcept;
}  // namespace detail

class BorrowedInput {
public:
    BorrowedInput(BorrowedInput&& other) noexcept = default;
    BorrowedInput& operator=(BorrowedInput&&) = delete;
    BorrowedInput(const BorrowedInput&) = delete;
    ~BorrowedInput() {
        if (array_) release_readonly();
    }

    PyObject* get() const noexcept { return array_.get(); }

private:
    friend frame::Result<BorrowedInput> detail::register_borrow(const BorrowCheckingApi* record,
                                                                PyObject* array) noexcept;
    // Made only after a borrow was registered, so the table and the registry
    // record are cached for good: neither is kept here.
    BorrowedInput(frame::Object array, ArrayView acquired) noexcept : array_(std::move(array)), acquired_(acquired) {}

    // Whether the array still has the one-dimensional layout of acquisition
    // (its descriptor aside).
    bool layout_as_acquired() const noexcept {
        auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
        return PyArray_NDIM(array) == 1 && PyArray_DATA(array) == acquired_.data &&
               static_cast<std::size_t>(PyArray_DIMS(array)[0]) == acquired_.size &&
               PyArray_STRIDES(array)[0] == acquired_.stride;
    }
    void release_readonly() noexcept {
        if (layout_as_acquired() && PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array_.get())) ==
                                        detail::g_float64.load(std::memory_order_relaxed)) {
            const BorrowCheckingApi* record = detail::g_borrow_record.load(std::memory_order_acquire);
            record->release(record->state, array_.get());
        } else {
            release_changed();
        }
    }
    // The release of an array whose layout or descriptor is not the one of
    // acquisition (or whose float64 descriptor is another object).
    void release_changed() noexcept;
    frame::Object view_as_acquired() const noexcept;

    frame::Object array_;  // dropped after the borrow ends (members go after the destructor's body)
    ArrayView acquired_;   // the array's layout when the borrow was registered (8-byte elements)
};

// Accepts `obj` as a float64 array (else the TypeError of
// extract_float64_array), takes a reference and registers a read borrow. A
// refused borrow is a BufferError: "AlreadyBorrowed", "Unexpected return code
// N from borrow checking API", or "Interal borrow checking API error: <error>"
// with the underlying error as its cause; nothing is then held.
inline frame::Result<BorrowedInput> borrow_readonly(PyObject* obj) noexcept {
    void** table = detail::g_array_table.load(std::memory_order_acquire);
    const BorrowCheckingApi* record = detail::g_borrow_record.load(std::memory_order_acquire);
    if (table == nullptr || record == nullptr || !detail::is_plain_float64(table, obj)) {
        return detail::borrow_readonly_checked(obj);
    }
    return detail::register_borrow(record, obj);
}

// A read borrow of `array`, already accepted, through `record`.
inline frame::Result<BorrowedInput> detail::register_borrow(const BorrowCheckingApi* record, PyObject* array) noexcept {
    // The layout is read before the registry runs: a foreign registry's
    // function could run code that changes it.
    const ArrayView acquired = array_view(array);
    const int code = record->acquire(record->state, array);
    if (code != kBorrowed) return refusal(code);
    return BorrowedInput(frame::Object::borrow(array), acquired);
}

}  // namespace veldspar::numpy
