// The borrow table against a plain model: random borrows and releases, alone and from several threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "veldspar/table/borrow_table.hpp"

namespace veldspar::table {
namespace {

// Views of one buffer that overlap, interleave, reverse and nest, so that
// the keys of one base conflict in every way the table distinguishes.
std::vector<BorrowKey> key_pool() {
    const auto view = [](std::intptr_t offset, std::intptr_t n, std::intptr_t stride, std::size_t width = 8) {
        return borrow_key(0x40000 + offset, 1, &n, &stride, width);
    };
    return {view(0, 16, 8),    view(0, 8, 8),     view(64, 8, 8),  view(0, 8, 16),  view(8, 8, 16),
            view(120, 16, -8), view(4, 8, 8),     view(0, 4, 32),  view(16, 4, 32), view(200, 4, 8),
            view(0, 0, 8),     view(32, 5, 0, 4), view(1, 8, 8, 1)};
}

std::tuple<std::uintptr_t, std::uintptr_t, std::uintptr_t, std::intptr_t, std::uintptr_t> order(const BorrowKey& k) {
    return {k.start, k.end, k.data, k.divisor, k.width};
}

struct KeyLess {
    bool operator()(const BorrowKey& a, const BorrowKey& b) const { return order(a) < order(b); }
};

// What the table must hold, written as plainly as its contract reads.
class Model {
public:
    bool acquire(std::uintptr_t base, const BorrowKey& key) {
        auto& keys = bases_[base];
        if (auto found = keys.find(key); found != keys.end()) {
            if (found->second < 0) return forget_if_empty(base, false);
            ++found->second;
            return true;
        }
        for (const auto& [other, count] : keys) {
            if (count < 0 && conflicts(key, other)) return forget_if_empty(base, false);
        }
        keys[key] = 1;
        return true;
    }
    bool acquire_mut(std::uintptr_t base, const BorrowKey& key) {
        auto& keys = bases_[base];
        for (const auto& [other, count] : keys) {
            if (other == key || conflicts(key, other)) return forget_if_empty(base, false);
        }
        keys[key] = -1;
        return true;
    }
    void release(std::uintptr_t base, const BorrowKey& key, bool writer) {
        auto outer = bases_.find(base);
        if (outer == bases_.end()) return;
        auto found = outer->second.find(key);
        if (found == outer->second.end()) return;
        if (writer ? found->second == -1 : (found->second > 0 && --found->second == 0)) outer->second.erase(found);
        forget_if_empty(base, true);
    }
    std::intptr_t count(std::uintptr_t base, const BorrowKey& key) const {
        auto outer = bases_.find(base);
        if (outer == bases_.end()) return 0;
        auto found = outer->second.find(key);
        return found == outer->second.end() ? 0 : found->second;
    }
    std::size_t keys(std::uintptr_t base) const {
        auto outer = bases_.find(base);
        return outer == bases_.end() ? 0 : outer->second.size();
    }
    std::size_t bases() const { return bases_.size(); }

private:
    bool forget_if_empty(std::uintptr_t base, bool result) {
        if (bases_[base].empty()) bases_.erase(base);
        return result;
    }
    std::map<std::uintptr_t, std::map<BorrowKey, std::intptr_t, KeyLess>> bases_;
};

// One random operation on `base` and a key of the pool, applied to both; false when they disagree.
bool step(std::mt19937& rng, BorrowTable& table, Model& model, std::uintptr_t base,
          const std::vector<BorrowKey>& keys) {
    const BorrowKey& key = keys[rng() % keys.size()];
    // Acquires slightly outnumber releases, so that bases fill, spill and empty again.
    switch (rng() % 9) {
        case 0:
        case 1:
        case 2: return table.acquire(base, key) == model.acquire(base, key);
        case 3:
        case 4: return table.acquire_mut(base, key) == model.acquire_mut(base, key);
        case 5:
        case 6:
            table.release(base, key);
            model.release(base, key, false);
            return true;
        default:
            table.release_mut(base, key);
            model.release(base, key, true);
            return true;
    }
}

// Whether the table holds what the model holds, for these bases and every key of the pool.
::testing::AssertionResult same(BorrowTable& table, const Model& model, const std::vector<std::uintptr_t>& bases,
                                const std::vector<BorrowKey>& keys) {
    for (std::uintptr_t base : bases) {
        if (table.keys(base) != model.keys(base)) {
            return ::testing::AssertionFailure()
                   << "base " << base << ": " << table.keys(base) << " keys, model " << model.keys(base);
        }
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (table.count(base, keys[k]) != model.count(base, keys[k])) {
                return ::testing::AssertionFailure()
                       << "base " << base << " key " << k << ": count " << table.count(base, keys[k]) << ", model "
                       << model.count(base, keys[k]);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// `count` bases, 16 bytes apart like object addresses, from `first`: enough of
// them to grow the table several times and to make probe runs that erasure
// must shift back.
std::vector<std::uintptr_t> base_pool(std::uintptr_t first, std::size_t count) {
    std::vector<std::uintptr_t> bases(count);
    for (std::size_t i = 0; i < count; ++i) bases[i] = first + 16 * i;
    return bases;
}

TEST(BorrowTableModelTest, RandomSequencesAgreeWithTheModel) {
    const std::vector<BorrowKey> keys = key_pool();
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        // Few bases busy with many keys, or many bases with few: both shapes, by seed.
        const std::vector<std::uintptr_t> bases = base_pool(0x100000 * seed, seed % 2 == 0 ? 8 : 300);
        BorrowTable table;
        Model model;
        for (int i = 1; i <= 20000; ++i) {
            const std::uintptr_t base = bases[rng() % bases.size()];
            ASSERT_TRUE(step(rng, table, model, base, keys)) << "seed " << seed << ", operation " << i;
            if (i % 2500 == 0) {
                ASSERT_TRUE(same(table, model, bases, keys)) << "seed " << seed << ", operation " << i;
                ASSERT_EQ(table.bases(), model.bases()) << "seed " << seed;
            }
        }
        // Released down to nothing, the table is empty again.
        for (std::uintptr_t base : bases) {
            for (const BorrowKey& key : keys) {
                while (model.count(base, key) > 0) {
                    table.release(base, key);
                    model.release(base, key, false);
                }
                if (model.count(base, key) < 0) {
                    table.release_mut(base, key);
                    model.release(base, key, true);
                }
            }
        }
        ASSERT_EQ(table.bases(), 0u) << "seed " << seed;
    }
}

class BorrowTableThreadsTest : public testing::TestWithParam<int> {};

// Each thread owns bases of its own, so its model is exact while the others
// grow, fill and empty the same table; all of them also read-borrow one
// shared base, whose count must come out exact at the end.
TEST_P(BorrowTableThreadsTest, ThreadsOnOneTableEachAgreeWithTheirModel) {
    const int threads = GetParam();
    const std::vector<BorrowKey> keys = key_pool();
    const std::uintptr_t shared = 0x10;
    constexpr int kOperations = 50000;
    BorrowTable table;
    std::vector<Model> models(threads);
    std::vector<std::vector<std::uintptr_t>> bases(threads);
    std::vector<int> disagreements(threads, 0);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        bases[t] = base_pool(0x1000000 * (t + 1), 60);
        running.emplace_back([&, t] {
            std::mt19937 rng(100 + t);
            for (int i = 0; i < kOperations; ++i) {
                disagreements[t] += !step(rng, table, models[t], bases[t][rng() % bases[t].size()], keys);
                if (i % 4 == 0) {
                    table.acquire(shared, keys[0]);
                    if (i % 8 == 0) table.release(shared, keys[0]);
                }
            }
        });
    }
    for (std::thread& thread : running) thread.join();
    std::size_t expected_bases = 1;
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(disagreements[t], 0) << "thread " << t;
        EXPECT_TRUE(same(table, models[t], bases[t], keys)) << "thread " << t;
        expected_bases += models[t].bases();
    }
    EXPECT_EQ(table.count(shared, keys[0]), threads * kOperations / 8);
    EXPECT_EQ(table.bases(), expected_bases);
}

INSTANTIATE_TEST_SUITE_P(Threads, BorrowTableThreadsTest, testing::Values(2, 3, 4));

}  // namespace
}  // namespace veldspar::table
