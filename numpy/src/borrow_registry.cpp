// The borrow registry: live borrows per base buffer, the conflict test, and the four C functions of the record.
#include "borrow_registry.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <numeric>
#include <unordered_map>
#include <utility>
#include <vector>

#include "messages.hpp"
#include "veldspar/fault.hpp"
#include "veldspar/np/array.hpp"
#include "veldspar/np/registry.hpp"

namespace veldspar::np {
namespace {

// The memory an array covers, as seen by the conflict test. Elements start
// at data + k·divisor for some integer k (the divisor divides every stride),
// are `width` bytes wide, and lie within [start, end).
struct BorrowKey {
    std::uintptr_t start;
    std::uintptr_t end;
    std::uintptr_t data;
    std::intptr_t divisor;
    std::uintptr_t width;

    bool operator==(const BorrowKey&) const noexcept = default;
};

// |x| without the overflow of -INTPTR_MIN.
std::uintptr_t magnitude(std::intptr_t x) noexcept {
    const auto u = static_cast<std::uintptr_t>(x);
    return x < 0 ? 0 - u : u;
}

bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept {
    if (b.start >= a.end || a.start >= b.end) return false;
    // With both divisors 0 (all strides zero) nothing rules a shared byte
    // out, so overlapping ranges count as a conflict.
    const std::uintptr_t g = std::gcd(magnitude(a.divisor), magnitude(b.divisor));
    if (g == 0) return true;
    // An element of a starts d = a.data - b.data + i·a.divisor - j·b.divisor
    // bytes after one of b, so d ≡ r (mod g) with r below in [0, g). The two
    // share a byte iff -a.width < d < b.width. The values of d nearest to 0
    // are r and r - g, so no byte can be shared iff b.width <= r and
    // r - g <= -a.width. (With widths of 1: iff g does not divide the
    // distance of the data addresses.)
    const std::uintptr_t r = a.data >= b.data ? (a.data - b.data) % g : (g - (b.data - a.data) % g) % g;
    return !(b.width <= r && r + a.width <= g);
}

// Called once, when the registry is made: that happens only after an array
// was accepted, so the table is cached; a failure here means NumPy's own
// capsule was tampered with after use.
ArrayApi cached_array_api() noexcept {
    auto api = array_api();
    if (!api) internal_fault(messages::kArrayApiLostInRegistry);
    return *api;
}

// The outermost array of the base chain, or the first base that is not an
// array (bytes, mmap, ...): every view of one buffer meets there.
std::uintptr_t base_address(const ArrayApi& api, PyObject* array) noexcept {
    PyObject* current = array;
    while (PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(current))) {
        current = base;
        if (!api.is_array(base)) break;
    }
    return reinterpret_cast<std::uintptr_t>(current);
}

BorrowKey borrow_key(const ArrayApi& api, PyObject* obj) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const int nd = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));

    std::intptr_t divisor = 1;
    if (nd == 1) {
        divisor = strides[0];
    } else if (nd > 1) {
        std::uintptr_t g = 0;
        for (int i = 0; i < nd; ++i) g = std::gcd(g, magnitude(strides[i]));
        divisor = static_cast<std::intptr_t>(g);
    }

    // A zero-size element still claims its address, as a 1-byte one would.
    const std::size_t element = element_size(api, PyArray_DESCR(array));
    const std::uintptr_t width = element == 0 ? 1 : element;

    bool empty = nd == 0;
    for (int i = 0; i < nd; ++i) empty = empty || dims[i] == 0;
    if (empty) return {data, data, data, divisor, width};

    // Addresses wrap like the pointers they are; only their order matters.
    std::uintptr_t start = data;
    std::uintptr_t end = data;
    for (int i = 0; i < nd; ++i) {
        const auto reach = static_cast<std::uintptr_t>(dims[i] - 1) * static_cast<std::uintptr_t>(strides[i]);
        if (static_cast<std::intptr_t>(reach) < 0) {
            start += reach;
        } else {
            end += reach;
        }
    }
    end += element;
    return {start, end, data, divisor, width};
}

// Keeps the blocks the maps free and hands them out again, so that a borrow
// and its release, which add and remove map nodes (and, for a new base, a
// whole inner map), call neither malloc nor free once the registry is warm.
// Used only under the registry's mutex. Blocks are recycled by exact size:
// the maps ask for a handful of sizes (nodes of each map, small bucket
// arrays); other sizes, and blocks beyond a few per size, go to the system.
class BlockPool {
public:
    BlockPool() noexcept = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool() {
        for (SizeClass& size_class : classes_) {
            while (FreeBlock* block = size_class.head) {
                size_class.head = block->next;
                std::free(block);
            }
        }
    }

    void* allocate(std::size_t bytes) noexcept {
        if (SizeClass* size_class = find(bytes); size_class != nullptr && size_class->head != nullptr) {
            FreeBlock* block = size_class->head;
            size_class->head = block->next;
            --size_class->count;
            return block;
        }
        return checked_malloc(bytes < sizeof(FreeBlock) ? sizeof(FreeBlock) : bytes);
    }

    void deallocate(void* p, std::size_t bytes) noexcept {
        SizeClass* size_class = find(bytes);
        if (size_class == nullptr) {
            for (SizeClass& candidate : classes_) {
                if (candidate.bytes == 0) {
                    candidate.bytes = bytes;
                    size_class = &candidate;
                    break;
                }
            }
        }
        if (size_class == nullptr || size_class->count == kKeptPerSize) {
            std::free(p);
            return;
        }
        auto* block = static_cast<FreeBlock*>(p);
        block->next = size_class->head;
        size_class->head = block;
        ++size_class->count;
    }

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    struct SizeClass {
        std::size_t bytes = 0;
        FreeBlock* head = nullptr;
        std::size_t count = 0;
    };
    static constexpr std::size_t kSizes = 8;
    static constexpr std::size_t kKeptPerSize = 64;

    SizeClass* find(std::size_t bytes) noexcept {
        for (SizeClass& size_class : classes_) {
            if (size_class.bytes == bytes) return &size_class;
        }
        return nullptr;
    }

    SizeClass classes_[kSizes];
};

template <class T>
struct PoolAllocator {
    using value_type = T;
    explicit PoolAllocator(BlockPool* pool) noexcept : pool(pool) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) noexcept : pool(other.pool) {}
    T* allocate(std::size_t n) noexcept {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) allocation_failed(static_cast<std::size_t>(-1));
        return static_cast<T*>(pool->allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { pool->deallocate(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const PoolAllocator<U>& other) const noexcept {
        return pool == other.pool;
    }

    BlockPool* pool;
};

template <class K, class V>
using Map = std::unordered_map<K, V, std::hash<K>, std::equal_to<K>, PoolAllocator<std::pair<const K, V>>>;

// The inner map: a base rarely has more than a couple of live keys, and a new
// key is compared with every one of them by the conflict test anyway, so a
// flat array searched by equality serves better than hashing four words.
// Erasing moves the last entry into the gap; order means nothing here.
template <class K, class V>
class FlatMap {
public:
    using value_type = std::pair<K, V>;
    using allocator_type = PoolAllocator<value_type>;
    using iterator = value_type*;

    explicit FlatMap(const allocator_type& allocator) noexcept : entries_(allocator) {}

    iterator begin() noexcept { return entries_.data(); }
    iterator end() noexcept { return entries_.data() + entries_.size(); }
    std::size_t size() const noexcept { return entries_.size(); }
    void reserve(std::size_t n) noexcept { entries_.reserve(n); }

    iterator find(const K& key) noexcept {
        iterator it = begin();
        while (it != end() && !(it->first == key)) ++it;
        return it;
    }
    bool contains(const K& key) noexcept { return find(key) != end(); }
    void emplace(const K& key, V value) noexcept { entries_.emplace_back(key, value); }
    void erase(iterator it) noexcept {
        *it = entries_.back();
        entries_.pop_back();
    }

private:
    std::vector<value_type, allocator_type> entries_;
};

// base address → key → count: n > 0 readers, or -1 for one writer. A count
// of 0 is never stored and an inner map is never empty.
class BorrowRegistry {
public:
    int acquire(std::uintptr_t base, const BorrowKey& key) noexcept {
        std::lock_guard lock(mutex_);
        auto outer = bases_.find(base);
        if (outer == bases_.end()) {
            add_base(base, key, 1);
            return kBorrowed;
        }
        Counts& counts = outer->second;
        if (auto held = counts.find(key); held != counts.end()) {
            // Wraps at the largest count, so that both a writer (-1 + 1) and
            // a saturated reader count refuse here.
            const auto next = static_cast<std::intptr_t>(static_cast<std::uintptr_t>(held->second) + 1);
            if (next <= 0) return kAlreadyBorrowed;
            held->second = next;
            return kBorrowed;
        }
        for (const auto& [other, count] : counts) {
            if (count < 0 && conflicts(key, other)) return kAlreadyBorrowed;
        }
        counts.emplace(key, 1);
        return kBorrowed;
    }

    int acquire_mut(std::uintptr_t base, const BorrowKey& key) noexcept {
        std::lock_guard lock(mutex_);
        auto outer = bases_.find(base);
        if (outer == bases_.end()) {
            add_base(base, key, -1);
            return kBorrowed;
        }
        Counts& counts = outer->second;
        if (counts.contains(key)) return kAlreadyBorrowed;
        for (const auto& entry : counts) {
            if (conflicts(key, entry.first)) return kAlreadyBorrowed;
        }
        counts.emplace(key, -1);
        return kBorrowed;
    }

    // A release that matches no borrow of its kind (never acquired, or the
    // array's data, shape or strides changed while it was borrowed) is
    // ignored: the maps stay as they were and the process goes on.
    void release(std::uintptr_t base, const BorrowKey& key) noexcept {
        std::lock_guard lock(mutex_);
        auto outer = bases_.find(base);
        if (outer == bases_.end()) return;
        Counts& counts = outer->second;
        auto held = counts.find(key);
        if (held == counts.end() || held->second <= 0) return;
        if (--held->second == 0) remove(outer, held);
    }

    void release_mut(std::uintptr_t base, const BorrowKey& key) noexcept {
        std::lock_guard lock(mutex_);
        auto outer = bases_.find(base);
        if (outer == bases_.end()) return;
        auto held = outer->second.find(key);
        if (held == outer->second.end() || held->second != -1) return;
        remove(outer, held);
    }

private:
    using Counts = FlatMap<BorrowKey, std::intptr_t>;
    using Bases = Map<std::uintptr_t, Counts>;

    void add_base(std::uintptr_t base, const BorrowKey& key, std::intptr_t count) noexcept {
        // Room for one entry: most buffers are borrowed through one key at a time.
        Counts counts{Counts::allocator_type(&pool_)};
        counts.reserve(1);
        counts.emplace(key, count);
        bases_.emplace(base, std::move(counts));
    }

    void remove(Bases::iterator outer, Counts::iterator held) noexcept {
        if (outer->second.size() > 1) {
            outer->second.erase(held);
        } else {
            bases_.erase(outer);
        }
    }

    std::mutex mutex_;
    BlockPool pool_;  // outlives the maps, which return their blocks to it
    Bases bases_{0, std::hash<std::uintptr_t>{}, std::equal_to<std::uintptr_t>{}, Bases::allocator_type(&pool_)};
};

// Base and key are computed before the registry's mutex is taken: the base
// walk and the element size go through NumPy, which must never run while
// another thread waits on the mutex with the interpreter lock.
struct Target {
    std::uintptr_t base;
    BorrowKey key;
};

// One allocation for everything the capsule owns; the capsule's context
// points at it so that the destructor finds the whole block, and the record's
// state points at it so that the four functions find the registry and NumPy's
// table, taken once when the block is made.
struct CapsuleBlock {
    BorrowCheckingApi record;
    BorrowRegistry registry;
    ArrayApi arrays;
    char name[sizeof kBorrowCapsuleName];

    explicit CapsuleBlock(ArrayApi arrays) noexcept;

    Target target_of(PyObject* array) const noexcept {
        return {base_address(arrays, array), borrow_key(arrays, array)};
    }
};

CapsuleBlock& block_of(void* state) noexcept { return *static_cast<CapsuleBlock*>(state); }

extern "C" {

static int veldspar_registry_acquire(void* state, PyObject* array) noexcept {
    CapsuleBlock& block = block_of(state);
    const Target target = block.target_of(array);
    return block.registry.acquire(target.base, target.key);
}

static int veldspar_registry_acquire_mut(void* state, PyObject* array) noexcept {
    if (!is_writeable(array)) return kNotWriteable;
    CapsuleBlock& block = block_of(state);
    const Target target = block.target_of(array);
    return block.registry.acquire_mut(target.base, target.key);
}

static void veldspar_registry_release(void* state, PyObject* array) noexcept {
    CapsuleBlock& block = block_of(state);
    const Target target = block.target_of(array);
    block.registry.release(target.base, target.key);
}

static void veldspar_registry_release_mut(void* state, PyObject* array) noexcept {
    CapsuleBlock& block = block_of(state);
    const Target target = block.target_of(array);
    block.registry.release_mut(target.base, target.key);
}

}  // extern "C"

CapsuleBlock::CapsuleBlock(ArrayApi arrays) noexcept
    : record{1,
             this,
             veldspar_registry_acquire,
             veldspar_registry_acquire_mut,
             veldspar_registry_release,
             veldspar_registry_release_mut},
      arrays(arrays) {
    std::memcpy(name, kBorrowCapsuleName, sizeof name);
}

void free_block(CapsuleBlock* block) noexcept {
    block->~CapsuleBlock();
    std::free(block);
}

extern "C" void veldspar_registry_capsule_destructor(PyObject* capsule) noexcept {
    free_block(static_cast<CapsuleBlock*>(PyCapsule_GetContext(capsule)));
}

}  // namespace

py::Result<py::Object> make_registry_capsule() noexcept {
    auto* block = new (checked_malloc(sizeof(CapsuleBlock))) CapsuleBlock(cached_array_api());
    py::Object capsule = py::Object::steal(PyCapsule_New(&block->record, block->name, nullptr));
    if (!capsule) {
        free_block(block);
        return py::Error::fetch();
    }
    // The destructor is installed only once the context is set, so it never
    // sees a capsule without its block.
    if (PyCapsule_SetContext(capsule.get(), block) != 0 ||
        PyCapsule_SetDestructor(capsule.get(), veldspar_registry_capsule_destructor) != 0) {
        py::python_api_call_failed();
    }
    return capsule;
}

}  // namespace veldspar::np
