// The fault boundary: what the library does when one of its own invariants breaks.
//
// A broken invariant is never turned into an error value or an exception. It
// writes a report to standard error and ends the process with abort():
//
//   if (index >= len) veldspar::fault::index_out_of_bounds(len, index);
//
// prints
//
//   thread '<unnamed>' panicked at core/src/sma.cpp:41:9:
//   index out of bounds: the len is 4 but the index is 4
//
// Reports need no interpreter lock and no allocation, so a fault may be raised
// from any thread, inside or outside a released-lock section. Concurrent
// reports are serialised; a fault raised while this thread is writing a report
// prints a short line and aborts at once.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <source_location>
#include <string_view>

namespace veldspar::fault {

// Writes the fault report for `message` at `where` and aborts.
[[noreturn]] void internal_fault(std::string_view message,
                                 std::source_location where = std::source_location::current()) noexcept;

// The fault of an index outside a slice of `len` elements.
[[noreturn]] void index_out_of_bounds(std::size_t len, std::size_t index,
                                      std::source_location where = std::source_location::current()) noexcept;

// The end of the process when the system refuses `bytes` bytes of memory:
// "memory allocation of N bytes failed", no fault report.
[[noreturn]] void allocation_failed(std::size_t bytes) noexcept;

// malloc that never returns null: refusal ends the process as above. Every
// allocation the library makes goes through here, so an out-of-memory
// condition never surfaces as std::bad_alloc at a C boundary, and no
// process-wide new-handler is needed.
inline void* checked_malloc(std::size_t bytes) noexcept {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) allocation_failed(bytes);
    return p;
}

// Standard-library allocator on checked_malloc (for strings and the maps).
template <class T>
struct CheckedAllocator {
    using value_type = T;
    CheckedAllocator() noexcept = default;
    template <class U>
    CheckedAllocator(const CheckedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) allocation_failed(static_cast<std::size_t>(-1));
        return static_cast<T*>(checked_malloc(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }
    template <class U>
    bool operator==(const CheckedAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace veldspar::fault
