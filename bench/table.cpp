// The borrow table alone: read borrows and releases of one key, by one thread and by two at once.
//
// One key of one base is the case where the table's lock is contended
// hardest (many threads reading the same prices). Items are borrow-and-release
// pairs; with real time, items_per_second is the whole table's rate, so
// 1e9 / items_per_second is ns per pair. The lock serialises the pairs: two
// threads at best match one thread's rate, and a lock whose waiters slept would
// fall far below it. After each run the table must hold nothing: a count or a
// base left behind is a lost update, reported as the `left` counter and an error.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "veldspar/table/borrow_table.hpp"

namespace {

using veldspar::table::BorrowKey;
using veldspar::table::BorrowTable;

constexpr std::uintptr_t kBase = 0x10000;

BorrowKey one_key() noexcept {
    const std::intptr_t n = 16, stride = 8;
    return veldspar::table::borrow_key(0x20000, 1, &n, &stride, sizeof(double));
}

BorrowTable g_table;

void table_one_key(benchmark::State& state) {
    const BorrowKey key = one_key();
    for (auto _ : state) {
        // Readers never refuse readers: a refusal is a fault of the table.
        if (!g_table.acquire(kBase, key)) {
            state.SkipWithError("a read borrow was refused");
            break;
        }
        g_table.release(kBase, key);
    }
    state.SetItemsProcessed(state.iterations());
    // Every thread has left the loop (the loop ends at a barrier): the table must be empty.
    if (state.thread_index() == 0) {
        const auto left = static_cast<double>(g_table.count(kBase, key)) + static_cast<double>(g_table.bases());
        state.counters["left"] = left;
        if (left != 0) state.SkipWithError("the table kept a borrow: an update was lost");
    }
}

BENCHMARK(table_one_key)->Name("table/one_key")->UseRealTime()->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
