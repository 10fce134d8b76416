// The inputs before a chunk: none for a batch kernel, a stream's window otherwise.
#pragma once

#include <cstddef>
#include <source_location>
#include <span>

#include "access.hpp"
#include "messages.hpp"

namespace veldspar::core::detail {

// A series has nothing before its first bar, and a batch kernel never looks
// there: every value it reaches back for lies inside the series.
struct NoHistory {
    double back(std::size_t) const noexcept { return stored_nan(); }
};

// A stream's window of its last `size` inputs: input t in slot t % size, so
// `pos` (count % size) is the slot of the oldest kept input and of the next
// one to arrive. The window stays untouched while a chunk runs, and keep()
// then stores the chunk's newest inputs in it.
struct Ring {
    double* slots;
    std::size_t size;
    std::size_t pos;

    // The input k bars before the chunk's first one, 1 <= k <= size.
    double back(std::size_t k) const noexcept { return slots[pos >= k ? pos - k : pos + size - k]; }

    // Stores the newest of the chunk's n inputs and returns the next pos.
    template <class A>
    std::size_t keep(In<A> x, std::size_t n) const noexcept {
        if (size == 0) return 0;
        // Only the newest `size` inputs survive; older ones would be overwritten.
        const std::size_t skip = n > size ? n - size : 0;
        std::size_t slot = skip == 0 ? pos : (pos + skip) % size;
        for (std::size_t j = skip; j < n; ++j) {
            slots[slot] = x[j];
            if (++slot == size) slot = 0;
        }
        return slot;
    }
};

// The ring over a stream's window, once the window is checked against its
// state: `size` slots, with `pos` among them. A restored state that is not
// valid can fail the second check; the window's storage is never overrun.
inline Ring ring_of(std::span<double> window, std::size_t size, std::size_t pos,
                    std::source_location where = std::source_location::current()) noexcept {
    if (window.size() != size) fault::internal_fault(messages::kWindowSize, where);
    if (size > 0 && pos >= size) fault::index_out_of_bounds(size, pos, where);
    return {window.data(), size, pos};
}

}  // namespace veldspar::core::detail
