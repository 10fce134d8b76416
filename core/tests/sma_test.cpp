// compute_sma against the oracle and the worked examples.
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using veldspar::core::compute_sma;
using veldspar::test::bits;
using veldspar::test::kNaN;
using veldspar::test::Placed;
using veldspar::test::value_bits;
namespace want = veldspar::test::want;

std::vector<double> run(std::size_t period, const std::vector<double>& x) {
    auto out = veldspar::test::unwritten(x.size());
    compute_sma(period, {x.data(), x.size()}, {out.data(), out.size()});
    return out;
}

TEST(Sma, WorkedExamples) {
    EXPECT_EQ(bits(run(3, {1, 2, 3, 4, 5})), bits({kNaN, kNaN, 2.0, 3.0, 4.0}));
    // A product with the reciprocal, not a division.
    EXPECT_EQ(bits(run(3, {1, 1, 3}))[2], bits({1.6666666666666665})[0]);
    // The sum starts from negative zero.
    EXPECT_EQ(bits(run(1, {-0.0})), bits({-0.0}));
    // The running sum carries rounding forward.
    EXPECT_EQ(bits(run(1, {1e16, 1.0})), bits({1e16, 0.0}));
    // An infinity is infinite inside the window and NaN once it leaves.
    const double inf = std::numeric_limits<double>::infinity();
    const auto got = run(2, {1, inf, 3, 4, 5});
    EXPECT_EQ(value_bits(got), value_bits({kNaN, inf, inf, kNaN, kNaN}));
    EXPECT_EQ(bits(got)[0], bits({kNaN})[0]);
}

TEST(Sma, NoWindowIsAllNaN) {
    for (std::size_t period : {std::size_t{0}, std::size_t{3}, std::size_t{1000}, static_cast<std::size_t>(-1)}) {
        EXPECT_EQ(bits(run(period, {1.0, 2.0})), bits({kNaN, kNaN})) << period;
    }
    EXPECT_TRUE(run(3, {}).empty());
}

TEST(Sma, OutputThatIsItsInputBecomesNaN) {
    std::vector<double> x = {1, 2, 3, 4};
    compute_sma(2, {x.data(), x.size()}, {x.data(), x.size()});
    EXPECT_EQ(bits(x), bits({kNaN, kNaN, kNaN, kNaN}));
}

class SmaRandom : public ::testing::TestWithParam<std::size_t> {};

// Long series exercise the blocked update; hostile values test the order of operations.
TEST_P(SmaRandom, MatchesReferenceBitForBit) {
    const std::size_t n = GetParam();
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        const auto x = veldspar::test::random_series(n, seed, /*hostile=*/seed % 4 == 0);
        for (std::size_t period : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{8}, n / 3 + 1, n}) {
            const auto got = run(period, x);
            ASSERT_EQ(value_bits(got), value_bits(want::sma(period, x))) << "n=" << n << " period=" << period;
            // Warm-up positions hold the stored NaN exactly.
            for (std::size_t i = 0; i + 1 < period && i < n; ++i) ASSERT_EQ(bits(got)[i], veldspar::core::kNaNBits);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, SmaRandom, ::testing::Values(1, 9, 64, 71, 72, 73, 200, 1001));

TEST(Sma, MisalignedSlicesGiveTheAlignedResult) {
    const auto x = veldspar::test::random_series(300, 7, false);
    const Placed in(x, 3);
    Placed out(veldspar::test::unwritten(300), 5);
    compute_sma(10, in.read(), out.write());
    EXPECT_EQ(bits(out.values()), bits(want::sma(10, x)));
}

}  // namespace
