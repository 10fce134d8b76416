// The borrow table: an open-addressed map from base to its live keys, the conflict test, the mutex (Linux futex).
#include "veldspar/table/borrow_table.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "veldspar/fault/fault.hpp"

namespace veldspar::table {
namespace {

constexpr std::size_t kInitialSlots = 16;

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield");
#endif
}

template <class T>
T* allocate(std::size_t n) noexcept {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) fault::allocation_failed(static_cast<std::size_t>(-1));
    return static_cast<T*>(fault::checked_malloc(n * sizeof(T)));
}

// Spill capacities are 8 << c for class c.
int block_class(std::uint32_t capacity) noexcept { return std::countr_zero(capacity) - 3; }

}  // namespace

std::uintptr_t gcd_of_magnitudes(const std::intptr_t* strides, int nd) noexcept {
    std::uintptr_t g = 0;
    for (int i = 0; i < nd; ++i) g = std::gcd(g, magnitude(strides[i]));
    return g;
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

void TableMutex::lock_contended() noexcept {
    // The holder runs a few dozen instructions: wait for it awake first.
    for (int spin = 0; spin < 100; ++spin) {
        cpu_relax();
        int expected = kFree;
        if (state_.load(std::memory_order_relaxed) == kFree &&
            state_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire)) {
            return;
        }
    }
    // Then sleep. Whoever takes the lock from here on marks it kSleepers, so
    // that its unlock wakes the next sleeper (at worst one wake too many).
    while (state_.exchange(kSleepers, std::memory_order_acquire) != kFree) {
        // Returns at once if the state is no longer kSleepers; a spurious
        // return only loops.
        syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE, kSleepers, nullptr, nullptr, 0);
    }
}

void TableMutex::wake_one() noexcept {
    syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

BorrowTable::BorrowTable() noexcept : slots_(allocate<Slot>(kInitialSlots)), mask_(kInitialSlots - 1) {
    for (std::size_t i = 0; i < kInitialSlots; ++i) slots_[i].base = 0;
}

BorrowTable::~BorrowTable() {
    for (std::size_t i = 0; i <= mask_; ++i) {
        if (slots_[i].base != 0 && slots_[i].capacity > kLocalEntries) std::free(slots_[i].spill);
    }
    std::free(slots_);
    for (FreeBlock* head : free_blocks_) {
        while (FreeBlock* block = head) {
            head = block->next;
            std::free(block);
        }
    }
}

bool BorrowTable::acquire_locked(Slot* slot, std::uintptr_t base, const BorrowKey& key) noexcept {
    if (slot->base == 0) {  // a new base, after growing
        grow();
        fill(*probe(base), base, key, 1);
        return true;
    }
    if (Entry* entry = entry_of(*slot, key)) {
        // Wraps at the largest count, so that both a writer (-1 + 1) and a
        // saturated reader count refuse here.
        const auto next = static_cast<std::intptr_t>(static_cast<std::uintptr_t>(entry->count) + 1);
        if (next <= 0) return false;
        entry->count = next;
        return true;
    }
    Entry* entries = slot->entries();
    for (std::uint32_t i = 0; i < slot->size; ++i) {
        if (entries[i].count < 0 && conflicts(key, entries[i].key)) return false;
    }
    append(*slot, key, 1);
    return true;
}

bool BorrowTable::acquire_mut_locked(Slot* slot, std::uintptr_t base, const BorrowKey& key) noexcept {
    if (slot->base == 0) {
        grow();
        fill(*probe(base), base, key, -1);
        return true;
    }
    Entry* entries = slot->entries();
    for (std::uint32_t i = 0; i < slot->size; ++i) {
        if (entries[i].key == key || conflicts(key, entries[i].key)) return false;
    }
    append(*slot, key, -1);
    return true;
}

void BorrowTable::release_locked(Slot& slot, const BorrowKey& key, bool writer) noexcept {
    Entry* entry = entry_of(slot, key);
    if (entry == nullptr) return;
    if (writer ? entry->count == -1 : (entry->count > 0 && --entry->count == 0)) remove(slot, *entry);
}

BorrowTable::Entry* BorrowTable::entry_of(Slot& slot, const BorrowKey& key) noexcept {
    Entry* entries = slot.entries();
    for (std::uint32_t i = 0; i < slot.size; ++i) {
        if (entries[i].key == key) return &entries[i];
    }
    return nullptr;
}

std::intptr_t BorrowTable::count(std::uintptr_t base, const BorrowKey& key) noexcept {
    std::lock_guard lock(mutex_);
    Slot* slot = find(base);
    Entry* entry = slot == nullptr ? nullptr : entry_of(*slot, key);
    return entry == nullptr ? 0 : entry->count;
}

std::size_t BorrowTable::keys(std::uintptr_t base) noexcept {
    std::lock_guard lock(mutex_);
    Slot* slot = find(base);
    return slot == nullptr ? 0 : slot->size;
}

std::size_t BorrowTable::bases() noexcept {
    std::lock_guard lock(mutex_);
    return used_;
}

void BorrowTable::append(Slot& slot, const BorrowKey& key, std::intptr_t count) noexcept {
    if (slot.size == slot.capacity) {
        if (slot.capacity > (static_cast<std::uint32_t>(-1) >> 1))
            fault::allocation_failed(static_cast<std::size_t>(-1));
        const std::uint32_t capacity = slot.capacity > kLocalEntries ? 2 * slot.capacity : 8;
        Entry* block = take_block(capacity);
        std::memcpy(static_cast<void*>(block), slot.entries(), slot.size * sizeof(Entry));
        if (slot.capacity > kLocalEntries) give_block(slot.spill, slot.capacity);
        slot.spill = block;
        slot.capacity = capacity;
    }
    slot.entries()[slot.size++] = {key, count};
}

void BorrowTable::remove(Slot& slot, Entry& entry) noexcept {
    if (slot.size == 1) {
        erase(slot);
        return;
    }
    // Order means nothing: the last entry fills the gap.
    entry = slot.entries()[--slot.size];
}

void BorrowTable::erase(Slot& slot) noexcept {
    if (slot.capacity > kLocalEntries) give_block(slot.spill, slot.capacity);
    // Backward shift: every later slot of the probe run that may live in the
    // gap moves into it, so that lookups never meet a hole in their run.
    std::size_t gap = static_cast<std::size_t>(&slot - slots_);
    if (slots_[(gap + 1) & mask_].base == 0) {  // the usual case: nothing to shift
        slot.base = 0;
        --used_;
        return;
    }
    for (std::size_t i = (gap + 1) & mask_; slots_[i].base != 0; i = (i + 1) & mask_) {
        const std::size_t want = home(slots_[i].base);
        // Slot i may move to the gap iff its home is not in (gap, i], cyclically.
        const bool home_after_gap = gap <= i ? (gap < want && want <= i) : (gap < want || want <= i);
        if (!home_after_gap) {
            std::memcpy(static_cast<void*>(&slots_[gap]), &slots_[i], sizeof(Slot));
            gap = i;
        }
    }
    slots_[gap].base = 0;
    --used_;
}

void BorrowTable::grow() noexcept {
    Slot* old = slots_;
    const std::size_t old_count = mask_ + 1;
    if (old_count > static_cast<std::size_t>(-1) / 2 / sizeof(Slot))
        fault::allocation_failed(static_cast<std::size_t>(-1));
    slots_ = allocate<Slot>(2 * old_count);
    mask_ = 2 * old_count - 1;
    for (std::size_t i = 0; i <= mask_; ++i) slots_[i].base = 0;
    for (std::size_t j = 0; j < old_count; ++j) {
        if (old[j].base == 0) continue;
        std::size_t i = home(old[j].base);
        while (slots_[i].base != 0) i = (i + 1) & mask_;
        std::memcpy(static_cast<void*>(&slots_[i]), &old[j], sizeof(Slot));
    }
    std::free(old);
}

BorrowTable::Entry* BorrowTable::take_block(std::uint32_t capacity) noexcept {
    const int c = block_class(capacity);
    if (c < kBlockClasses && free_blocks_[c] != nullptr) {
        FreeBlock* block = free_blocks_[c];
        free_blocks_[c] = block->next;
        --kept_[c];
        return reinterpret_cast<Entry*>(block);
    }
    return allocate<Entry>(capacity);
}

void BorrowTable::give_block(Entry* block, std::uint32_t capacity) noexcept {
    const int c = block_class(capacity);
    if (c >= kBlockClasses || kept_[c] == kKeptPerClass) {
        std::free(block);
        return;
    }
    auto* free_block = reinterpret_cast<FreeBlock*>(block);
    free_block->next = free_blocks_[c];
    free_blocks_[c] = free_block;
    ++kept_[c];
}

}  // namespace veldspar::table
