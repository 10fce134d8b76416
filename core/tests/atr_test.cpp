// compute_atr against the oracle and the worked examples; the true range's maximum against its definition.
#include <gtest/gtest.h>

#include <tuple>

#include "../src/true_range.hpp"
#include "test_support.hpp"

namespace {

using veldspar::core::compute_atr;
using veldspar::core::kNaNBits;
using veldspar::test::bits;
using veldspar::test::kNaN;
using veldspar::test::Placed;
using veldspar::test::value_bits;
namespace want = veldspar::test::want;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Bars {
    std::vector<double> high, low, close;
};

// Runs the kernel with every slice placed `offset` bytes past an 8-aligned address.
std::vector<double> run(std::size_t period, const Bars& b, std::size_t offset = 0) {
    const Placed high(b.high, offset), low(b.low, offset), close(b.close, offset);
    Placed out(veldspar::test::unwritten(b.high.size()), offset);
    compute_atr(period, high.read(), low.read(), close.read(), out.write());
    return out.values();
}

// Bars around a random walk; hostile series put NaN, infinities, -0.0 and
// extreme magnitudes into each of the three inputs independently.
Bars random_bars(std::size_t n, std::uint64_t seed, bool hostile) {
    const auto mid = veldspar::test::random_series(n, seed, false);
    const auto h = veldspar::test::random_series(n, seed + 1000, hostile);
    const auto l = veldspar::test::random_series(n, seed + 2000, hostile);
    const auto c = veldspar::test::random_series(n, seed + 3000, hostile);
    Bars b{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
    for (std::size_t i = 0; i < n; ++i) {
        // The walks start at 100; their offsets from it make spreads, and
        // the special values pass through unchanged (-0.0 stays -0.0).
        auto spread = [&](double v, double sign) {
            return std::isfinite(v) && v != 0.0 && std::fabs(v) < 1e300 && std::fabs(v) > 1e-300
                       ? mid[i] + sign * std::fabs(v - 100.0)
                       : v;
        };
        b.high[i] = spread(h[i], 1.0);
        b.low[i] = spread(l[i], -1.0);
        b.close[i] = spread(c[i], (i % 2 == 0) ? 0.5 : -0.5);
    }
    return b;
}

TEST(Atr, MeanOfFirstTrueRangesThenSmoothing) {
    // TR(1) = max(3-1, |3-2|, |1-2|) = 2; TR(2) = max(4-2, |4-1|, |2-1|) = 3
    // (a close below the bar); TR(3) = max(5-4, |5-6|, |4-6|) = 2.
    const Bars b{{10, 3, 4, 5}, {0, 1, 2, 4}, {2, 1, 6, 5}};
    EXPECT_EQ(bits(run(2, b)), bits({kNaN, kNaN, 2.5, 2.5 + 0.5 * (2.0 - 2.5)}));
    // n = P + 1: only output[P] holds a value.
    EXPECT_EQ(bits(run(3, b)), bits({kNaN, kNaN, kNaN, 7.0 / 3.0}));
    // The seed is a division by P, the recurrence uses k = 1/P.
    EXPECT_EQ(bits(run(3, Bars{{0, 1, 1, 3}, {0, 0, 0, 0}, {0, 0, 0, 0}}))[3], bits({5.0 / 3.0})[0]);
}

TEST(Atr, NoValueIsAllNaN) {
    const Bars b{{3, 4, 5}, {1, 2, 3}, {2, 3, 4}};
    for (std::size_t period : {std::size_t{0}, std::size_t{3}, std::size_t{4}, static_cast<std::size_t>(-1)}) {
        EXPECT_EQ(bits(run(period, b)), bits({kNaN, kNaN, kNaN})) << period;
    }
    EXPECT_TRUE(run(1, Bars{}).empty());
    EXPECT_TRUE(run(0, Bars{}).empty());
}

TEST(Atr, HighBelowLowIsDecidedByTheClose) {
    // high - low = -4, |high - c| = 1, |low - c| = 3.
    EXPECT_EQ(bits(run(1, Bars{{0, 1}, {0, 5}, {2, 0}})), bits({kNaN, 3.0}));
}

TEST(Atr, OneMissingInputDropsItsTerms) {
    // NaN high: |low - c|; NaN low: |high - c|; NaN previous close: high - low.
    EXPECT_EQ(bits(run(1, Bars{{0, kNaN}, {0, 1}, {4, 0}})), bits({kNaN, 3.0}));
    EXPECT_EQ(bits(run(1, Bars{{0, 9}, {0, kNaN}, {4, 0}})), bits({kNaN, 5.0}));
    EXPECT_EQ(bits(run(1, Bars{{0, 9}, {0, 2}, {kNaN, 0}})), bits({kNaN, 7.0}));
    // A negative range survives when the close is missing.
    EXPECT_EQ(bits(run(1, Bars{{0, 2}, {0, 9}, {kNaN, 0}})), bits({kNaN, -7.0}));
}

TEST(Atr, TwoMissingInputsPoisonTheAverage) {
    const Bars b{{1, kNaN, 3, 4, 5}, {0, kNaN, 1, 2, 3}, {1, 2, 2, 3, 4}};
    const auto got = run(1, b);
    EXPECT_EQ(bits(got)[0], kNaNBits);
    for (std::size_t i = 1; i < 5; ++i) EXPECT_TRUE(std::isnan(got[i])) << i;
    // j <= P: every value from P on is NaN.
    const auto seeded = run(3, b);
    EXPECT_TRUE(std::isnan(seeded[3]) && std::isnan(seeded[4]));
}

TEST(Atr, SeedSumStartsFromPositiveZero) {
    // TR = max(-0.0 - 0.0, |-0.0 - 0.0|, ...) keeps the first operand of the
    // -0.0/+0.0 tie, so TR is -0.0; a sum from -0.0 would keep that sign.
    EXPECT_EQ(bits(run(1, Bars{{0, -0.0}, {0, 0.0}, {0.0, 0}})), bits({kNaN, 0.0}));
}

TEST(Atr, InfinityEntersTheAverage) {
    const Bars b{{1, kInf, 3, 4}, {0, 1, 2, 3}, {1, 2, 3, 4}};
    const auto got = run(1, b);
    EXPECT_EQ(bits(got)[1], bits({kInf})[0]);
    // inf + (1/P)*(TR - inf) = inf + -inf = NaN.
    EXPECT_TRUE(std::isnan(got[2]) && std::isnan(got[3]));
    EXPECT_EQ(value_bits(got), value_bits(want::atr(1, b.high, b.low, b.close)));
}

TEST(Atr, MaximumFollowsItsDefinitionBitForBit) {
    // The kernel's and the oracle's branch-free maxima against the defining
    // branches, over every pair of values whose order, sign or NaN-ness matters.
    auto defined = [](double a, double b) {
        if (std::isnan(a)) return b;
        if (a < b) return b;
        return a;
    };
    const double negative_nan = -std::numeric_limits<double>::quiet_NaN();
    const double values[] = {kNaN, negative_nan, -kInf, -1e308, -1.0, -5e-324, -0.0, 0.0, 5e-324, 1.0, 1e308, kInf};
    for (double a : values) {
        for (double b : values) {
            const auto want = bits({defined(a, b)});
            EXPECT_EQ(bits({veldspar::core::detail::nan_max(a, b)}), want) << a << ", " << b;
            EXPECT_EQ(bits({veldspar::oracle::max(a, b)}), want) << a << ", " << b;
        }
    }
}

// Length x byte offset of the slices (0: aligned, else misaligned).
class AtrRandom : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(AtrRandom, MatchesReferenceBitForBit) {
    const auto [n, offset] = GetParam();
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        const auto b = random_bars(n, seed, /*hostile=*/seed % 2 == 0);
        for (std::size_t period :
             {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{14}, n / 3 + 1, n - 1, n, n + 1}) {
            const auto got = run(period, b, offset);
            const auto want = want::atr(period, b.high, b.low, b.close);
            ASSERT_EQ(value_bits(got), value_bits(want)) << "n=" << n << " period=" << period << " seed=" << seed;
            // "No value" is output[0..P-1], or everything when no value fits.
            const std::size_t none = (period == 0 || n <= period) ? n : period;
            for (std::size_t i = 0; i < none; ++i) ASSERT_EQ(bits(got)[i], kNaNBits) << "i=" << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(LengthsAndOffsets, AtrRandom,
                         ::testing::Combine(::testing::Values(1, 2, 9, 64, 200), ::testing::Values(0, 1)));

}  // namespace
