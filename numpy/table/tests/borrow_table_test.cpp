// The borrow table: counting, release semantics, conflicts between views, growth and concurrent use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "veldspar/table/borrow_table.hpp"

namespace veldspar::table {
namespace {

constexpr std::uintptr_t kBase = 0x10000;
constexpr std::uintptr_t kBuffer = 0x20000;

// A one-dimensional view: n elements of `width` bytes, `stride` apart, from kBuffer + offset.
BorrowKey view(std::intptr_t offset, std::intptr_t n, std::intptr_t stride, std::size_t width = 8) {
    return borrow_key(kBuffer + offset, 1, &n, &stride, width);
}

TEST(BorrowKeyTest, CoversTheBytesOfEveryElement) {
    EXPECT_EQ(view(0, 4, 8), (BorrowKey{kBuffer, kBuffer + 32, kBuffer, 8, 8}));
    // Reversed: data is the last element, the range runs down from it.
    EXPECT_EQ(view(24, 4, -8), (BorrowKey{kBuffer, kBuffer + 32, kBuffer + 24, -8, 8}));
    EXPECT_EQ(view(8, 0, 8), (BorrowKey{kBuffer + 8, kBuffer + 8, kBuffer + 8, 8, 8}));
    EXPECT_EQ(view(0, 3, 8, 0), (BorrowKey{kBuffer, kBuffer + 16, kBuffer, 8, 1}));
    const std::intptr_t dims[] = {3, 4}, strides[] = {-48, 12};
    EXPECT_EQ(borrow_key(kBuffer + 96, 2, dims, strides, 4), (BorrowKey{kBuffer, kBuffer + 136, kBuffer + 96, 12, 4}));
    EXPECT_EQ(borrow_key(kBuffer, 0, nullptr, nullptr, 8), (BorrowKey{kBuffer, kBuffer, kBuffer, 1, 8}));
}

struct ConflictCase {
    const char* name;
    BorrowKey a, b;
    bool conflict;
};

class ConflictTest : public testing::TestWithParam<ConflictCase> {};

TEST_P(ConflictTest, DecidesWhetherTwoViewsMayShareAByte) {
    const ConflictCase& c = GetParam();
    EXPECT_EQ(conflicts(c.a, c.b), c.conflict);
    EXPECT_EQ(conflicts(c.b, c.a), c.conflict);
    // Through the table: a writer on one view refuses a reader of the other exactly when they conflict.
    BorrowTable table;
    ASSERT_TRUE(table.acquire_mut(kBase, c.a));
    EXPECT_EQ(table.acquire(kBase, c.b), !c.conflict);
    EXPECT_EQ(table.acquire_mut(kBase, c.b), false);  // held as a reader now, or refused as one
    table.release_mut(kBase, c.a);
    // And a reader of one refuses a writer of the other exactly when they conflict.
    EXPECT_TRUE(table.acquire(kBase, c.b));
    EXPECT_EQ(table.acquire_mut(kBase, c.a), !c.conflict);
}

INSTANTIATE_TEST_SUITE_P(
    Views, ConflictTest,
    testing::Values(ConflictCase{"overlap", view(0, 4, 8), view(16, 4, 8), true},
                    ConflictCase{"adjacent", view(0, 4, 8), view(32, 4, 8), false},
                    ConflictCase{"reversed_over_forward", view(24, 4, -8), view(0, 2, 8), true},
                    ConflictCase{"even_and_odd_elements", view(0, 4, 16), view(8, 4, 16), false},
                    ConflictCase{"even_and_every_element", view(0, 4, 16), view(0, 8, 8), true},
                    ConflictCase{"zero_strides_overlapping", view(0, 5, 0), view(0, 3, 0), true},
                    ConflictCase{"zero_stride_between_elements", view(8, 5, 0, 4), view(0, 4, 16), false},
                    ConflictCase{"zero_stride_on_an_element", view(16, 5, 0, 4), view(0, 4, 16), true},
                    ConflictCase{"int32_inside_a_double", view(4, 4, 8, 4), view(0, 4, 8), true},
                    ConflictCase{"float32_between_doubles", view(8, 4, 16, 4), view(0, 4, 16), false},
                    ConflictCase{"misaligned_byte_view", view(1, 4, 16, 1), view(0, 4, 16), true},
                    ConflictCase{"misaligned_double_straddling", view(12, 2, 16), view(0, 3, 16, 4), true},
                    ConflictCase{"reversed_odd_and_forward_even", view(56, 4, -16), view(0, 4, 16), false}),
    [](const testing::TestParamInfo<ConflictCase>& info) { return info.param.name; });

TEST(BorrowTableTest, CountsReadersOfOneKeyAndForgetsTheBaseAtTheLastRelease) {
    BorrowTable table;
    const BorrowKey key = view(0, 4, 8);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(table.acquire(kBase, key));
        EXPECT_EQ(table.count(kBase, key), i);
    }
    EXPECT_EQ(table.keys(kBase), 1u);
    table.release(kBase, key);
    table.release(kBase, key);
    EXPECT_EQ(table.count(kBase, key), 1);
    table.release(kBase, key);
    EXPECT_EQ(table.bases(), 0u);
    EXPECT_EQ(table.keys(kBase), 0u);
}

TEST(BorrowTableTest, AWriterExcludesEveryOtherBorrowOfItsKey) {
    BorrowTable table;
    const BorrowKey key = view(0, 4, 8);
    ASSERT_TRUE(table.acquire_mut(kBase, key));
    EXPECT_EQ(table.count(kBase, key), -1);
    EXPECT_FALSE(table.acquire(kBase, key));
    EXPECT_FALSE(table.acquire_mut(kBase, key));
    table.release_mut(kBase, key);
    ASSERT_TRUE(table.acquire(kBase, key));
    EXPECT_FALSE(table.acquire_mut(kBase, key));
    // Readers of another base are not concerned.
    EXPECT_TRUE(table.acquire_mut(kBase + 16, key));
}

TEST(BorrowTableTest, ReleasesThatMatchNoBorrowOfTheirKindChangeNothing) {
    BorrowTable table;
    const BorrowKey read = view(0, 4, 8), write = view(64, 4, 8);
    ASSERT_TRUE(table.acquire(kBase, read));
    ASSERT_TRUE(table.acquire_mut(kBase, write));
    table.release(kBase + 16, read);      // unknown base
    table.release(kBase, view(0, 3, 8));  // unknown key
    table.release(kBase, write);          // a writer's key, released as a reader
    table.release_mut(kBase, read);       // a reader's key, released as a writer
    EXPECT_EQ(table.count(kBase, read), 1);
    EXPECT_EQ(table.count(kBase, write), -1);
    EXPECT_EQ(table.bases(), 1u);
}

TEST(BorrowTableTest, ManyBasesAndKeysComeAndGoInAnyOrder) {
    BorrowTable table;
    std::mt19937 rng(5);
    std::vector<std::uintptr_t> bases(1000);
    for (std::size_t i = 0; i < bases.size(); ++i) bases[i] = kBase + 16 * (i * 7919 % 4096);
    for (std::uintptr_t base : bases) ASSERT_TRUE(table.acquire(base, view(0, 4, 8)));
    // One base with many keys spills out of its slot and back.
    for (std::intptr_t k = 1; k <= 40; ++k) ASSERT_TRUE(table.acquire(bases[0], view(8 * k, 1, 8)));
    EXPECT_EQ(table.bases(), bases.size());
    EXPECT_EQ(table.keys(bases[0]), 41u);
    for (std::intptr_t k = 40; k >= 1; --k) table.release(bases[0], view(8 * k, 1, 8));
    std::shuffle(bases.begin(), bases.end(), rng);
    for (std::size_t i = 0; i < bases.size(); ++i) {
        table.release(bases[i], view(0, 4, 8));
        // Every base not yet released is still found after the removals around it.
        if (i % 97 == 0) {
            for (std::size_t j = i + 1; j < bases.size(); ++j) ASSERT_EQ(table.count(bases[j], view(0, 4, 8)), 1);
        }
    }
    EXPECT_EQ(table.bases(), 0u);
}

TEST(BorrowTableTest, WritersOfManyBasesGrowTheTableAsReadersDo) {
    BorrowTable table;
    for (std::uintptr_t i = 0; i < 100; ++i) ASSERT_TRUE(table.acquire_mut(kBase + 16 * i, view(0, 4, 8)));
    EXPECT_EQ(table.bases(), 100u);
    for (std::uintptr_t i = 0; i < 100; ++i) EXPECT_EQ(table.count(kBase + 16 * i, view(0, 4, 8)), -1);
    for (std::uintptr_t i = 0; i < 100; ++i) table.release_mut(kBase + 16 * i, view(0, 4, 8));
    EXPECT_EQ(table.bases(), 0u);
}

TEST(BorrowTableTest, ConcurrentBorrowsAreNeitherLostNorLeft) {
    BorrowTable table;
    const BorrowKey shared = view(0, 4, 8);
    constexpr int kRounds = 20000;
    auto work = [&](std::uintptr_t own) {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_TRUE(table.acquire(kBase, shared));
            ASSERT_TRUE(table.acquire(own, shared));
            // A writer on a disjoint view of the shared base may come and go meanwhile.
            if (table.acquire_mut(kBase, view(64, 4, 8))) table.release_mut(kBase, view(64, 4, 8));
            table.release(own, shared);
            table.release(kBase, shared);
        }
        for (int i = 0; i < kRounds; ++i) ASSERT_TRUE(table.acquire(kBase, shared));
    };
    std::thread first(work, kBase + 16), second(work, kBase + 32);
    first.join();
    second.join();
    EXPECT_EQ(table.count(kBase, shared), 2 * kRounds);
    EXPECT_EQ(table.bases(), 1u);
}

}  // namespace
}  // namespace veldspar::table
