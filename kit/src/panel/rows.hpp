// A panel's rows split across threads: the calling thread and as many more as asked for.
#pragma once

#include <cstddef>

#include "veldspar/core/panel.hpp"

namespace veldspar::kit::panel {

// Runs work(context, range) over ranges that together cover rows [0, rows)
// once each: min(threads, rows) ranges of near-equal size, the first on the
// calling thread and each other on a thread of its own, and returns when all
// are done. A thread that cannot be started (the system is out of threads or
// memory) leaves its range to the calling thread, which runs it after its
// own: the rows are computed all the same, only with fewer threads. Needs no
// interpreter lock, and touches no Python object.
void split_rows(std::size_t rows, std::size_t threads, void (*work)(const void* context, core::RowRange),
                const void* context) noexcept;

// split_rows with a callable, call(range).
template <class Call>
void split_rows(std::size_t rows, std::size_t threads, const Call& call) noexcept {
    split_rows(
        rows, threads, [](const void* context, core::RowRange range) { (*static_cast<const Call*>(context))(range); },
        &call);
}

}  // namespace veldspar::kit::panel
