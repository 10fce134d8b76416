// The borrow registry's table: live borrows per base buffer, their counts, and the conflict test.
//
//   BorrowTable table;
//   const std::intptr_t n = 16, stride = 8;
//   const BorrowKey key = borrow_key(data, 1, &n, &stride, sizeof(double));
//   if (table.acquire(base, key)) {   // a read borrow; false: a writer holds it
//       ...
//       table.release(base, key);
//   }
//
// The table knows no Python and no NumPy: the adapter that publishes it to
// other modules (numpy/src/registry_capsule.cpp) reads the base, the layout
// and the element width from array objects and passes plain numbers here.
//
// Contract of the four operations, each atomic under the table's mutex:
// - acquire: a read borrow. Refused when the key is held by a writer, when
//   its reader count is at the largest signed value, or when a writer holds
//   a key of the same base that conflicts with it.
// - acquire_mut: a write borrow. Refused when the key, or any key of the same
//   base that conflicts with it, is held at all.
// - release, release_mut: end one borrow of that kind. A release that matches
//   no borrow of its kind changes nothing.
// A base with no live borrow takes no room; a warm table allocates nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace veldspar::table {

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
inline std::uintptr_t magnitude(std::intptr_t x) noexcept {
    const auto u = static_cast<std::uintptr_t>(x);
    return x < 0 ? 0 - u : u;
}

std::uintptr_t gcd_of_magnitudes(const std::intptr_t* strides, int nd) noexcept;

// The key of an array with `nd` dimensions of extents `dims` and byte strides
// `strides`, first element at `data`, elements `element` bytes wide.
inline BorrowKey borrow_key(std::uintptr_t data, int nd, const std::intptr_t* dims, const std::intptr_t* strides,
                            std::size_t element) noexcept {
    // A zero-size element still claims its address, as a 1-byte one would.
    const std::uintptr_t width = element == 0 ? 1 : element;
    // Addresses wrap like the pointers they are; only their order matters.
    const auto reach = [&](int i) {
        return static_cast<std::uintptr_t>(dims[i] - 1) * static_cast<std::uintptr_t>(strides[i]);
    };
    if (nd == 1) {  // every array this module borrows
        if (dims[0] == 0) return {data, data, data, strides[0], width};
        const std::uintptr_t r = reach(0);
        if (static_cast<std::intptr_t>(r) < 0) return {data + r, data + element, data, strides[0], width};
        return {data, data + r + element, data, strides[0], width};
    }
    const std::intptr_t divisor = nd == 0 ? 1 : static_cast<std::intptr_t>(gcd_of_magnitudes(strides, nd));
    std::uintptr_t start = data;
    std::uintptr_t end = data;
    for (int i = 0; i < nd; ++i) {
        if (dims[i] == 0) return {data, data, data, divisor, width};
        const std::uintptr_t r = reach(i);
        if (static_cast<std::intptr_t>(r) < 0) {
            start += r;
        } else {
            end += r;
        }
    }
    if (nd == 0) return {data, data, data, divisor, width};
    return {start, end + element, data, divisor, width};
}

// True when the two keys may share a byte. It may report a conflict where
// none exists; it never misses one.
bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept;

// A mutex that spins briefly before it sleeps. Every critical section of the
// table is a few dozen instructions that never block, so a waiter nearly
// always gets the lock while spinning; sleeping (a futex wait) is the
// fallback when the holder was descheduled. Not recursive. (Sleeping is a
// futex of its own: std::atomic::wait would export libstdc++'s waiter pool
// from the module.)
class TableMutex {
public:
    void lock() noexcept {
        int expected = kFree;
        if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire)) lock_contended();
    }
    void unlock() noexcept {
        if (state_.exchange(kFree, std::memory_order_release) == kSleepers) wake_one();
    }

private:
    static constexpr int kFree = 0;
    static constexpr int kLocked = 1;
    static constexpr int kSleepers = 2;  // locked, and a thread may be sleeping on it
    void lock_contended() noexcept;
    void wake_one() noexcept;

    std::atomic<int> state_{kFree};
    static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
                  "the futex waits on the atomic's own word");
};

class BorrowTable {
public:
    BorrowTable() noexcept;
    ~BorrowTable();
    BorrowTable(const BorrowTable&) = delete;
    BorrowTable& operator=(const BorrowTable&) = delete;

    // True: the borrow is registered. False: refused, and nothing changed.
    bool acquire(std::uintptr_t base, const BorrowKey& key) noexcept { return acquire_as(base, key, 1); }
    bool acquire_mut(std::uintptr_t base, const BorrowKey& key) noexcept { return acquire_as(base, key, -1); }
    void release(std::uintptr_t base, const BorrowKey& key) noexcept { release_as(base, key, false); }
    void release_mut(std::uintptr_t base, const BorrowKey& key) noexcept { release_as(base, key, true); }

    // What the table holds: the count of `key` in `base` (n > 0 readers, -1
    // a writer, 0 none), the number of keys of `base`, the number of bases.
    std::intptr_t count(std::uintptr_t base, const BorrowKey& key) noexcept;
    std::size_t keys(std::uintptr_t base) noexcept;
    std::size_t bases() noexcept;

private:
    struct Entry {
        BorrowKey key;
        std::intptr_t count;
    };
    // The borrows of one base. Most bases are borrowed through one to three
    // keys at a time (an array, or the columns of one buffer): those live in
    // the slot; more spill into a block of their own.
    static constexpr std::uint32_t kLocalEntries = 3;
    struct Slot {
        std::uintptr_t base;  // 0: the slot is empty
        std::uint32_t size;
        std::uint32_t capacity;
        Entry* spill;  // when capacity > kLocalEntries
        Entry local[kLocalEntries];

        Entry* entries() noexcept { return capacity > kLocalEntries ? spill : local; }
    };

    std::size_t home(std::uintptr_t base) const noexcept {
        // Object addresses are aligned, so the low bits say little; a
        // Fibonacci multiply spreads the rest over the slots.
        const std::uint64_t h = (static_cast<std::uint64_t>(base) >> 4) * 0x9E3779B97F4A7C15u;
        return static_cast<std::size_t>(h >> 32) & mask_;
    }
    // The slot of `base`, or the empty slot where it would go.
    Slot* probe(std::uintptr_t base) noexcept {
        std::size_t i = home(base);
        while (slots_[i].base != base && slots_[i].base != 0) i = (i + 1) & mask_;
        return &slots_[i];
    }
    Slot* find(std::uintptr_t base) noexcept {  // null if absent
        Slot* slot = probe(base);
        return slot->base == 0 ? nullptr : slot;
    }
    // Whether one more base keeps the slots at most half full.
    bool has_room() const noexcept { return 2 * (used_ + 1) <= mask_ + 1; }
    // Makes the empty slot `slot` hold `base` with one entry; has_room() holds.
    void fill(Slot& slot, std::uintptr_t base, const BorrowKey& key, std::intptr_t count) noexcept {
        slot.base = base;
        slot.size = 1;
        slot.capacity = kLocalEntries;
        slot.local[0] = {key, count};
        ++used_;
    }
    // A borrow as a reader (count 1) or the writer (count -1). A base's first
    // borrow, the usual case, is claimed inline.
    bool acquire_as(std::uintptr_t base, const BorrowKey& key, std::intptr_t count) noexcept {
        std::lock_guard lock(mutex_);
        Slot* slot = probe(base);
        if (slot->base == 0 && has_room()) {
            fill(*slot, base, key, count);
            return true;
        }
        return count > 0 ? acquire_locked(slot, base, key) : acquire_mut_locked(slot, base, key);
    }
    void release_as(std::uintptr_t base, const BorrowKey& key, bool writer) noexcept {
        std::lock_guard lock(mutex_);
        Slot* slot = probe(base);
        if (slot->base != 0) release_locked(*slot, key, writer);
    }
    // The paths past the inline cases, with the mutex held. `slot` is what
    // probe() gave for `base`.
    bool acquire_locked(Slot* slot, std::uintptr_t base, const BorrowKey& key) noexcept;
    bool acquire_mut_locked(Slot* slot, std::uintptr_t base, const BorrowKey& key) noexcept;
    void release_locked(Slot& slot, const BorrowKey& key, bool writer) noexcept;
    Entry* entry_of(Slot& slot, const BorrowKey& key) noexcept;  // null if absent
    void append(Slot& slot, const BorrowKey& key, std::intptr_t count) noexcept;
    void remove(Slot& slot, Entry& entry) noexcept;
    void erase(Slot& slot) noexcept;
    void grow() noexcept;
    Entry* take_block(std::uint32_t capacity) noexcept;
    void give_block(Entry* block, std::uint32_t capacity) noexcept;

    TableMutex mutex_;
    // Open addressing with linear probing over a power-of-two number of
    // slots, kept at most half full; removal shifts later slots back, so no
    // tombstones accumulate.
    Slot* slots_;
    std::size_t mask_;
    std::size_t used_ = 0;
    // Spill blocks of every capacity (8, 16, 32, ... entries) that a base
    // gave back, kept for the next: a warm table calls neither malloc nor free.
    static constexpr int kBlockClasses = 24;
    static constexpr std::size_t kKeptPerClass = 8;
    struct FreeBlock {
        FreeBlock* next;
    };
    FreeBlock* free_blocks_[kBlockClasses] = {};
    std::size_t kept_[kBlockClasses] = {};
};

}  // namespace veldspar::table
