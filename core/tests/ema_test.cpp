// compute_ema against the oracle and the worked examples.
#include <gtest/gtest.h>

#include <tuple>

#include "test_support.hpp"

namespace {

using veldspar::core::compute_ema;
using veldspar::core::kNaNBits;
using veldspar::test::bits;
using veldspar::test::kNaN;
using veldspar::test::Placed;
using veldspar::test::value_bits;
namespace want = veldspar::test::want;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Runs the kernel on copies of x placed `offset` bytes past an 8-aligned address.
std::vector<double> run(std::size_t period, const std::vector<double>& x, std::size_t offset = 0) {
    const Placed in(x, offset);
    Placed out(veldspar::test::unwritten(x.size()), offset);
    compute_ema(period, in.read(), out.write());
    return out.values();
}

TEST(Ema, WorkedExamples) {
    EXPECT_EQ(bits(run(3, {1, 2, 3, 4, 5})), bits({kNaN, kNaN, 2.0, 3.0, 4.0}));
    EXPECT_EQ(bits(run(4, {1, 2, 3, 4, 5})), bits({kNaN, kNaN, kNaN, 2.5, 3.5}));
    // The finite value before the seed window is ignored; NaN is skipped.
    EXPECT_EQ(bits(run(2, {1.0, kNaN, 2.0, 3.0, 4.0, kNaN, 6.0})),
              bits({kNaN, kNaN, kNaN, 2.5, 3.5, kNaN, 5.166666666666667}));
    // A NaN inside the first window moves the seed past it.
    EXPECT_EQ(bits(run(3, {1, 2, kNaN, 4, 5, 6, 7})), bits({kNaN, kNaN, kNaN, kNaN, kNaN, 5.0, 6.0}));
    // Infinities are skipped like NaN.
    EXPECT_EQ(bits(run(2, {kInf, 2.0, 4.0, -kInf, 8.0})), bits({kNaN, kNaN, 3.0, kNaN, 6.333333333333333}));
    EXPECT_EQ(bits(run(2, {kNaN, 1.0, kNaN, 2.0})), bits({kNaN, kNaN, kNaN, kNaN}));
    EXPECT_EQ(bits(run(2, {1.0, 2.0, kNaN})), bits({kNaN, 1.5, kNaN}));
    // The seed is a true division, not a product with the reciprocal.
    EXPECT_EQ(bits(run(3, {1, 1, 3}))[2], bits({1.6666666666666667})[0]);
    // period 1 reproduces finite values; only the sign of a zero can change.
    EXPECT_EQ(bits(run(1, {3.0, kNaN, 5.0})), bits({3.0, kNaN, 5.0}));
    EXPECT_EQ(bits(run(1, {1.0, -0.0})), bits({1.0, 0.0}));
    EXPECT_EQ(bits(run(1, {-1.0, -0.0})), bits({-1.0, -0.0}));
    // The seed sum starts from negative zero.
    EXPECT_EQ(bits(run(1, {-0.0})), bits({-0.0}));
    // An overflowing seed window gives an infinite seed that persists.
    EXPECT_EQ(bits(run(2, {1e308, 1e308, 1.0})), bits({kNaN, kInf, kInf}));
    EXPECT_EQ(bits(run(2, {1.0, 2.0})), bits({kNaN, 1.5}));
}

TEST(Ema, SeedSumRestartsAfterABrokenRun) {
    // A run of finite values shorter than the period must not leak into the
    // seed: the seed here is the mean of 10, 20 and 30 only.
    EXPECT_EQ(bits(run(3, {7.0, 1.0, kNaN, 10.0, 20.0, 30.0})), bits({kNaN, kNaN, kNaN, kNaN, kNaN, 20.0}));
    // The restarted sum starts from -0.0 again.
    EXPECT_EQ(bits(run(2, {5.0, kInf, -0.0, -0.0})), bits({kNaN, kNaN, kNaN, -0.0}));
}

TEST(Ema, NoWindowIsAllNaN) {
    for (std::size_t period : {std::size_t{0}, std::size_t{3}, std::size_t{1000}, static_cast<std::size_t>(-1)}) {
        EXPECT_EQ(bits(run(period, {1.0, 2.0})), bits({kNaN, kNaN})) << period;
    }
    EXPECT_TRUE(run(3, {}).empty());
    EXPECT_TRUE(run(0, {}).empty());
}

TEST(Ema, OutputThatIsItsInputBecomesNaN) {
    std::vector<double> x = {1, 2, 3, 4};
    compute_ema(2, {x.data(), x.size()}, {x.data(), x.size()});
    EXPECT_EQ(bits(x), bits({kNaN, kNaN, kNaN, kNaN}));
}

// Length x byte offset of the slices (0: aligned, else misaligned).
class EmaRandom : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(EmaRandom, MatchesReferenceBitForBit) {
    const auto [n, offset] = GetParam();
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        const auto x = veldspar::test::random_series(n, seed, /*hostile=*/seed % 2 == 0);
        for (std::size_t period : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                                   n / 3 + 1, n - 1, n, n + 1}) {
            const auto got = run(period, x, offset);
            const auto want = want::ema(period, x);
            ASSERT_EQ(value_bits(got), value_bits(want)) << "n=" << n << " period=" << period << " seed=" << seed;
            // EMA makes no NaN by arithmetic: every NaN is a stored "no value".
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isnan(want[i])) {
                    ASSERT_EQ(bits(got)[i], kNaNBits) << "i=" << i;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(LengthsAndOffsets, EmaRandom,
                         ::testing::Combine(::testing::Values(1, 2, 9, 64, 200), ::testing::Values(0, 3)));

}  // namespace
