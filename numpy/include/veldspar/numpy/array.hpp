// NumPy arrays as arguments: one classification, the layout kept at acquisition, inputs borrowed and outputs held.
//
// Every array argument is classified once (classify): plain (exactly NumPy's
// array type with NumPy's own float64 descriptor, decided by compares alone),
// equivalent (a subtype, or a descriptor that NumPy deems equivalent to
// float64), or refused. Plain and equivalent are accepted alike; a refused
// argument is the TypeError "'<type>' object cannot be converted to
// 'PyArray<T, D>'". Acceptance copies nothing and looks at nothing else (not
// the writeable flag, alignment or contiguity).
//
// An accepted argument is held for the rest of the call, and its layout is
// recorded at that moment. The entry functions validate and slice that record,
// never the array object again:
//
//   auto data = args.get(1, borrow_readonly);  // accepted, referenced, read-borrowed
//   auto output = args.get(2, hold_output);    // accepted, referenced
//   const ArrayView in = data->view();         // as acquired
//   if (!is_contiguous(in)) ...                // the caller's ValueError
//   const ArraySlice slice = array_slice(in);  // what a kernel sees
//
// `BorrowedArray` is the RAII form of the pair borrow_readonly /
// release_readonly: it ends the read borrow and drops its references exactly
// once, on every path; several declared in order are released newest first.
// `HeldArray` holds an output by a reference: NumPy refuses to resize (free)
// an array referenced elsewhere, so a kernel may write it without the
// interpreter lock.
//
// The registry finds a borrow again by the array's key (layout and element
// size) and key base (key_base below), both recomputed at release, and Python
// code can change either in place meanwhile (another thread during a kernel, a
// callback during the argument checks): a dtype or a shape, or the memory and
// the base through __setstate__. A borrow therefore keeps its layout and holds
// its key base, and an array that changed is released through a private view
// that has that layout and that base, so that a call ends exactly the borrows
// it registered.
//
// The types take the number of dimensions as a parameter; the module's
// arguments have one (BorrowedInput, HeldOutput), veldspar_kit's panels two
// (BorrowedPanel, HeldPanel, read as a PanelView). Everything here needs the
// interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "veldspar/frame/error.hpp"
#include "veldspar/numpy/api.hpp"
#include "veldspar/numpy/registry.hpp"

namespace veldspar::numpy {

enum class Acceptance { plain, equivalent, refused };

// What a refused argument is: not a NumPy array, an array with another
// number of dimensions, or one whose elements are not float64. For callers
// whose texts say what was expected.
enum class Refusal { not_an_array, other_rank, other_dtype };

// The one rule of acceptance: an instance of NumPy's array type (or a
// subtype) with Rank dimensions and a float64 descriptor (or an equivalent
// one). A refusal's reason goes to `why` when given. Needs the table; runs
// no Python code.
template <int Rank>
[[gnu::always_inline]] inline Acceptance classify(PyObject* obj, Refusal* why = nullptr) noexcept {
    const auto refuse = [why](Refusal reason) {
        if (why != nullptr) *why = reason;
        return Acceptance::refused;
    };
    PyTypeObject* type = Py_TYPE(obj);
    const bool exact = type == &PyArray_Type;
    if (!exact && !PyType_IsSubtype(type, &PyArray_Type)) return refuse(Refusal::not_an_array);
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != Rank) return refuse(Refusal::other_rank);
    // The descriptor is held by the array and float64's by NumPy for good;
    // EquivTypes runs no Python code that could drop either.
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr == api::float64()) return exact ? Acceptance::plain : Acceptance::equivalent;
    return PyArray_EquivTypes(descr, api::float64()) ? Acceptance::equivalent : refuse(Refusal::other_dtype);
}

namespace detail {
// The TypeError of a refused argument.
[[gnu::cold]] frame::Error refused(PyObject* obj) noexcept;
}  // namespace detail

// Accepts `obj` (else the TypeError above), taking NumPy's table at the first
// need (else its ImportError).
template <int Rank>
[[gnu::always_inline]] inline frame::Status extract_float64_array(PyObject* obj) noexcept {
    if (!api::ready()) [[unlikely]] {
        if (frame::Status failure = api::load()) return failure;
    }
    if (classify<Rank>(obj) == Acceptance::refused) [[unlikely]]
        return detail::refused(obj);
    return std::nullopt;
}

// What the registry keys an array by, besides its element size and key base:
// the address of element 0, and the extent and byte stride of each dimension.
template <int Rank>
struct Layout {
    char* data;
    npy_intp dims[Rank];
    npy_intp strides[Rank];

    // The layout of an array that has Rank dimensions.
    static Layout of(PyObject* obj) noexcept {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        Layout layout{static_cast<char*>(PyArray_DATA(array)), {}, {}};
        for (int i = 0; i < Rank; ++i) {
            layout.dims[i] = PyArray_DIMS(array)[i];
            layout.strides[i] = PyArray_STRIDES(array)[i];
        }
        return layout;
    }
    // Whether `obj`, an array, has this layout now.
    bool is_that_of(PyObject* obj) const noexcept {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(array) != Rank || PyArray_DATA(array) != data) return false;
        for (int i = 0; i < Rank; ++i) {
            if (PyArray_DIMS(array)[i] != dims[i] || PyArray_STRIDES(array)[i] != strides[i]) return false;
        }
        return true;
    }
};

// A one-dimensional layout as the entry functions read it: address of
// element 0, element count and byte stride.
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

// True when the two slices have a byte in common.
inline bool shares_bytes(const ArraySlice& a, const ArraySlice& b) noexcept {
    const auto a_start = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b_start = reinterpret_cast<std::uintptr_t>(b.data);
    return a.size != 0 && b.size != 0 && a_start < b_start + b.size * sizeof(double) &&
           b_start < a_start + a.size * sizeof(double);
}

inline bool is_writeable(PyObject* array) noexcept {
    return (PyArray_FLAGS(reinterpret_cast<PyArrayObject*>(array)) & NPY_ARRAY_WRITEABLE) != 0;
}

// A two-dimensional layout as the panel functions read it: the address of
// element (0, 0), the rows and columns, and the byte strides between rows and
// between the elements of a row.
struct PanelView {
    char* data;
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
};

// A C-contiguous panel: rows * cols doubles, row after row.
struct PanelSlice {
    void* data;
    std::size_t rows;
    std::size_t cols;
};

// Rows one after another, each a run of doubles 8 bytes apart: C order. As in
// NumPy, an empty panel is contiguous and the stride of an extent below two
// is not looked at.
inline bool is_c_contiguous(const PanelView& view) noexcept {
    const auto element = static_cast<std::ptrdiff_t>(sizeof(double));
    return view.rows == 0 || view.cols == 0 ||
           ((view.cols < 2 || view.col_stride == element) &&
            (view.rows < 2 || view.row_stride == element * static_cast<std::ptrdiff_t>(view.cols)));
}

// The slice of a C-contiguous panel (an internal fault for any other).
inline PanelSlice panel_slice(const PanelView& view) noexcept {
    if (!is_c_contiguous(view)) detail::slice_of_strided_view();
    return {view.data, view.rows, view.cols};
}

// True when the two panels have a byte in common.
inline bool shares_bytes(const PanelSlice& a, const PanelSlice& b) noexcept {
    return shares_bytes(ArraySlice{a.data, a.rows * a.cols}, ArraySlice{b.data, b.rows * b.cols});
}

// The object the registry keys an array's borrows on: the outermost array of
// its base chain, or the first base that is not an array (bytes, a memory
// map, ...), so that every view of one buffer meets there. Needs the table.
inline PyObject* key_base(PyObject* array) noexcept {
    PyObject* current = array;
    while (PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(current))) {
        current = base;
        if (!api::is_array(base)) break;
    }
    return current;
}

// An accepted array, referenced for the call, with its layout at acceptance.
template <int Rank>
class AcquiredArray {
public:
    PyObject* get() const noexcept { return array_.get(); }
    const Layout<Rank>& layout() const noexcept { return layout_; }
    ArrayView view() const noexcept requires(Rank == 1) {
        return {layout_.data, static_cast<std::size_t>(layout_.dims[0]), layout_.strides[0]};
    }
    PanelView panel() const noexcept requires(Rank == 2) {
        return {layout_.data, static_cast<std::size_t>(layout_.dims[0]), static_cast<std::size_t>(layout_.dims[1]),
                layout_.strides[0], layout_.strides[1]};
    }
    bool writeable() const noexcept { return is_writeable(array_.get()); }

protected:
    AcquiredArray(PyObject* array, Layout<Rank> layout) noexcept
        : array_(frame::Object::borrow(array)), layout_(layout) {}

    frame::Object array_;
    Layout<Rank> layout_;
};

// An output: accepted and referenced until the call ends.
template <int Rank>
class HeldArray : public AcquiredArray<Rank> {
public:
    // Accepts and holds `obj`.
    [[gnu::always_inline]] static frame::Result<HeldArray> hold(PyObject* obj) noexcept {
        if (frame::Status failure = extract_float64_array<Rank>(obj)) [[unlikely]]
            return std::move(*failure);
        return HeldArray(obj);
    }

private:
    explicit HeldArray(PyObject* array) noexcept : AcquiredArray<Rank>(array, Layout<Rank>::of(array)) {}
};

namespace detail {
// The BufferError of a borrow the registry refused with `code`.
[[gnu::cold]] frame::Error refusal(int code) noexcept;
// The BufferError "Interal borrow checking API error: <error>" of a registry
// that cannot be found or published, with `error` as its cause.
[[gnu::cold]] frame::Error registry_unavailable(frame::Error error) noexcept;
// Ends a read borrow of `array` through a private view with the registered
// layout whose base is `keyed`, the registered key base.
void release_as_registered(const BorrowCheckingApi* record, PyObject* array, PyObject* keyed, char* data, int nd,
                           const npy_intp* dims, const npy_intp* strides) noexcept;
}  // namespace detail

// An input: accepted, referenced, and registered as a read borrow until the
// call ends. A refused borrow is a BufferError: "AlreadyBorrowed",
// "Unexpected return code N from borrow checking API", or "Interal borrow
// checking API error: <error>" with its cause; nothing is held then.
template <int Rank>
class BorrowedArray : public AcquiredArray<Rank> {
public:
    BorrowedArray(BorrowedArray&&) noexcept = default;
    BorrowedArray& operator=(BorrowedArray&&) = delete;
    [[gnu::always_inline]] ~BorrowedArray() {
        if (this->array_) release_readonly();
    }

    // Accepts `obj` and registers a read borrow of it.
    [[gnu::always_inline]] static frame::Result<BorrowedArray> borrow(PyObject* obj) noexcept {
        // A record is kept only after the table was taken.
        const BorrowCheckingApi* record = api::borrow_record();
        if (record == nullptr) [[unlikely]]
            return borrow_first(obj);
        if (classify<Rank>(obj) == Acceptance::refused) [[unlikely]]
            return detail::refused(obj);
        return register_borrow(record, obj);
    }

private:
    BorrowedArray(PyObject* array, Layout<Rank> layout, frame::Object keyed) noexcept
        : AcquiredArray<Rank>(array, layout), keyed_(std::move(keyed)) {}

    // The first borrow of the process (or the first after one that failed):
    // the table and the record are taken on the way.
    [[gnu::cold, gnu::noinline]] static frame::Result<BorrowedArray> borrow_first(PyObject* obj) noexcept {
        if (frame::Status failure = extract_float64_array<Rank>(obj)) return std::move(*failure);
        auto record = borrow_checking_api();
        if (!record) return detail::registry_unavailable(record.take_error());
        return register_borrow(*record, obj);
    }

    [[gnu::always_inline]] static frame::Result<BorrowedArray> register_borrow(const BorrowCheckingApi* record,
                                                                               PyObject* array) noexcept {
        // Layout and key base are taken before the registry runs: a foreign
        // registry's function could run code that changes them. The key base
        // is held unless it is the array itself (an array that owns its
        // memory, the usual input), so that no other object takes its address.
        const Layout<Rank> layout = Layout<Rank>::of(array);
        PyObject* base = key_base(array);
        frame::Object keyed = base == array ? frame::Object() : frame::Object::borrow(base);
        const int code = record->acquire(record->state, array);
        if (code != kBorrowed) [[unlikely]]
            return detail::refusal(code);
        return BorrowedArray(array, layout, std::move(keyed));
    }

    // Ends the borrow: through the array when its key and key base are those
    // it was registered under (element size included: 8, as for every
    // float64 descriptor), else through a private view that has them.
    [[gnu::always_inline]] void release_readonly() noexcept {
        PyObject* array = this->array_.get();
        PyObject* keyed = keyed_ ? keyed_.get() : array;
        const BorrowCheckingApi* record = api::borrow_record();
        auto* a = reinterpret_cast<PyArrayObject*>(array);
        // An array that was its own key base still is while it has no base.
        const bool same_base = keyed_ ? key_base(array) == keyed : PyArray_BASE(a) == nullptr;
        if (same_base && this->layout_.is_that_of(array) &&
            (PyArray_DESCR(a) == api::float64() || api::element_size(PyArray_DESCR(a)) == sizeof(double))) [[likely]] {
            record->release(record->state, array);
        } else {
            detail::release_as_registered(record, array, keyed, this->layout_.data, Rank, this->layout_.dims,
                                          this->layout_.strides);
        }
    }

    frame::Object keyed_;  // the key base at registration, when it is not the array itself
};

// The module's arguments: one-dimensional float64 arrays.
using BorrowedInput = BorrowedArray<1>;
using HeldOutput = HeldArray<1>;

[[gnu::always_inline]] inline frame::Result<BorrowedInput> borrow_readonly(PyObject* obj) noexcept {
    return BorrowedInput::borrow(obj);
}
[[gnu::always_inline]] inline frame::Result<HeldOutput> hold_output(PyObject* obj) noexcept {
    return HeldOutput::hold(obj);
}

// Panels, veldspar_kit's arguments: two-dimensional float64 arrays, one series per row.
using BorrowedPanel = BorrowedArray<2>;
using HeldPanel = HeldArray<2>;

}  // namespace veldspar::numpy
