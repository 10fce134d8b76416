// compute_macd against the oracle and the worked examples.
#include <gtest/gtest.h>

#include <tuple>

#include "test_support.hpp"

namespace {

using veldspar::core::compute_macd;
using veldspar::core::kNaNBits;
using veldspar::test::bits;
using veldspar::test::kNaN;
using veldspar::test::Placed;
using veldspar::test::value_bits;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxSize = static_cast<std::size_t>(-1);

// The three lines, and for each position whether the kernel stores "no
// value" there (which must be exactly kNaNBits) rather than a result of
// arithmetic (whose NaNs may have either sign).
struct Macd {
    std::vector<double> macd, signal, hist;
    std::vector<bool> macd_none, signal_none, hist_none;
};

// The oracle's three lines, and the positions where the kernel stores "no
// value": every line at a NaN input and before index S-1, the signal line
// until it is first seeded, the histogram wherever the signal line is NaN.
Macd expected(std::size_t f, std::size_t s, std::size_t g, const std::vector<double>& x) {
    const std::size_t n = x.size();
    const auto lines = veldspar::test::want::macd(f, s, g, x);
    Macd r{lines.line, lines.signal, lines.hist, std::vector<bool>(n), std::vector<bool>(n), std::vector<bool>(n)};
    bool signal_seeded = false;
    for (std::size_t i = 0; i < n; ++i) {
        const bool skipped = std::isnan(x[i]) || i < s - 1;
        signal_seeded = signal_seeded || (!skipped && i >= s + g - 2);
        r.macd_none[i] = skipped;
        r.signal_none[i] = skipped || !signal_seeded;
        r.hist_none[i] = skipped || std::isnan(r.signal[i]);
    }
    return r;
}

// Runs the kernel with every slice placed `offset` bytes past an 8-aligned address.
Macd run(std::size_t f, std::size_t s, std::size_t g, const std::vector<double>& x, std::size_t offset = 0) {
    const Placed in(x, offset);
    const auto blank = veldspar::test::unwritten(x.size());
    Placed macd(blank, offset), signal(blank, offset), hist(blank, offset);
    compute_macd(f, s, g, in.read(), macd.write(), signal.write(), hist.write());
    Macd r;
    r.macd = macd.values();
    r.signal = signal.values();
    r.hist = hist.values();
    return r;
}

void expect_matches(const Macd& got, const Macd& want, const std::string& what) {
    ASSERT_EQ(value_bits(got.macd), value_bits(want.macd)) << what;
    ASSERT_EQ(value_bits(got.signal), value_bits(want.signal)) << what;
    ASSERT_EQ(value_bits(got.hist), value_bits(want.hist)) << what;
    for (std::size_t i = 0; i < want.macd.size(); ++i) {
        if (want.macd_none[i]) {
            ASSERT_EQ(bits(got.macd)[i], kNaNBits) << what << " macd i=" << i;
        }
        if (want.signal_none[i]) {
            ASSERT_EQ(bits(got.signal)[i], kNaNBits) << what << " signal i=" << i;
        }
        if (want.hist_none[i]) {
            ASSERT_EQ(bits(got.hist)[i], kNaNBits) << what << " hist i=" << i;
        }
    }
}

std::vector<double> all_nan(std::size_t n) { return std::vector<double>(n, kNaN); }

TEST(Macd, EmptySeriesWritesNothing) {
    const auto r = run(2, 3, 1, {});
    EXPECT_TRUE(r.macd.empty() && r.signal.empty() && r.hist.empty());
}

TEST(Macd, ShortSeriesIsAllNaN) {
    for (std::size_t n = 0; n < 5; ++n) {
        const auto r = run(3, 6, 1, std::vector<double>(n, 1.0));
        EXPECT_EQ(bits(r.macd), bits(all_nan(n)));
        EXPECT_EQ(bits(r.signal), bits(all_nan(n)));
        EXPECT_EQ(bits(r.hist), bits(all_nan(n)));
    }
}

TEST(Macd, FirstValueIsTheDifferenceOfWindowMeans) {
    // n = S: mean of the last F minus mean of all S, each summed newest first.
    const std::vector<double> x = {0.1, 0.7, 1e16, 1.0, -1e16};
    double fast = -0.0, slow = -0.0;
    for (std::size_t j = 0; j < 2; ++j) fast = fast + x[4 - j];
    for (std::size_t j = 0; j < 5; ++j) slow = slow + x[4 - j];
    const double m = fast / 2.0 - slow / 5.0;
    const auto r = run(2, 5, 2, x);
    EXPECT_EQ(bits(r.macd), bits({kNaN, kNaN, kNaN, kNaN, m}));
    EXPECT_EQ(bits(r.signal), bits(all_nan(5)));
    EXPECT_EQ(bits(r.hist), bits(all_nan(5)));
    // Newest first matters here: oldest first gives a different sum.
    double oldest_first = -0.0;
    for (double v : x) oldest_first = oldest_first + v;
    ASSERT_NE(bits({oldest_first}), bits({slow}));
}

TEST(Macd, SignalPeriodOneFollowsTheMacdLine) {
    const auto x = veldspar::test::random_series(50, 3, false);
    const auto r = run(3, 7, 1, x);
    for (std::size_t i = 6; i < x.size(); ++i) {
        EXPECT_EQ(bits(r.signal)[i], bits(r.macd)[i]) << i;
        EXPECT_EQ(bits(r.hist)[i], bits({0.0})[0]) << i;
    }
}

TEST(Macd, SignalIsSeededBySingleMacdValue) {
    const auto x = veldspar::test::random_series(30, 4, false);
    const auto r = run(2, 4, 3, x);
    // S + G - 2 = 5: first signal value is macd[5] itself, hist there is 0.
    EXPECT_EQ(bits(r.signal)[4], kNaNBits);
    EXPECT_EQ(bits(r.signal)[5], bits(r.macd)[5]);
    EXPECT_EQ(bits(r.hist)[5], bits({0.0})[0]);
}

TEST(Macd, NaNInFirstSlowWindowPoisonsEverything) {
    auto x = veldspar::test::random_series(40, 5, false);
    x[1] = kNaN;
    const auto r = run(3, 5, 2, x);
    for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_TRUE(std::isnan(r.macd[i]) && std::isnan(r.signal[i]) && std::isnan(r.hist[i])) << i;
    }
    expect_matches(r, expected(3, 5, 2, x), "poisoned");
}

TEST(Macd, LaterNaNIsSkippedWithoutStateChange) {
    const auto x = veldspar::test::random_series(40, 6, false);
    auto holed = x;
    holed[20] = kNaN;
    auto shifted = x;
    shifted.erase(shifted.begin() + 20);
    const auto with_hole = run(3, 5, 2, holed);
    const auto without = run(3, 5, 2, shifted);
    EXPECT_EQ(bits(with_hole.macd)[20], kNaNBits);
    EXPECT_EQ(bits(with_hole.signal)[20], kNaNBits);
    EXPECT_EQ(bits(with_hole.hist)[20], kNaNBits);
    for (std::size_t i = 21; i < x.size(); ++i) {
        EXPECT_EQ(bits(with_hole.macd)[i], bits(without.macd)[i - 1]) << i;
        EXPECT_EQ(bits(with_hole.signal)[i], bits(without.signal)[i - 1]) << i;
        EXPECT_EQ(bits(with_hole.hist)[i], bits(without.hist)[i - 1]) << i;
    }
}

TEST(Macd, NaNAtSignalSeedIndexPostponesTheSeed) {
    auto x = veldspar::test::random_series(30, 7, false);
    // S + G - 2 = 6 with S = 4, G = 4.
    x[6] = kNaN;
    const auto r = run(2, 4, 4, x);
    EXPECT_EQ(bits(r.signal)[6], kNaNBits);
    EXPECT_EQ(bits(r.signal)[7], bits(r.macd)[7]);
    expect_matches(r, expected(2, 4, 4, x), "postponed");
}

TEST(Macd, InfinityIsAnOrdinaryValue) {
    // inf enters both averages; the MACD line becomes inf - inf = NaN, which
    // the signal line takes as its seed and keeps re-seeding from.
    const std::vector<double> x = {1, 2, 3, kInf, 5, 6};
    const auto r = run(2, 3, 1, x);
    EXPECT_FALSE(std::isnan(r.macd[2]));
    for (std::size_t i = 3; i < x.size(); ++i) EXPECT_TRUE(std::isnan(r.macd[i])) << i;
    expect_matches(r, expected(2, 3, 1, x), "inf");
    // Opposite infinities make the fast average NaN, which re-seeds both.
    const std::vector<double> y = {1, 2, 3, kInf, -kInf, 6, 7, 8, 9};
    expect_matches(run(2, 3, 2, y), expected(2, 3, 2, y), "reseed");
}

TEST(Macd, PeriodsTheEntryRefusesGiveAllNaN) {
    const auto x = veldspar::test::random_series(20, 8, false);
    const std::tuple<std::size_t, std::size_t, std::size_t> bad[] = {
        {0, 3, 2}, {2, 0, 2}, {2, 3, 0}, {0, 0, 0}, {3, 3, 2}, {5, 3, 2}, {kMaxSize, 3, 2}, {30, 25, 1}};
    for (const auto& [f, s, g] : bad) {
        const auto r = run(f, s, g, x);
        EXPECT_EQ(bits(r.macd), bits(all_nan(20))) << f << "," << s << "," << g;
        EXPECT_EQ(bits(r.signal), bits(all_nan(20))) << f << "," << s << "," << g;
        EXPECT_EQ(bits(r.hist), bits(all_nan(20))) << f << "," << s << "," << g;
    }
}

TEST(Macd, SignalThresholdWrapsAsUnsignedSize) {
    // S + G - 2 is computed in size_t arithmetic, as documented: with G
    // at the top of the range it wraps to S - 3, so the signal line is seeded
    // at the first MACD value (and then barely moves, alpha being ~1e-19).
    const auto x = veldspar::test::random_series(20, 9, false);
    const auto r = run(2, 4, kMaxSize, x);
    EXPECT_EQ(bits(r.signal)[3], bits(r.macd)[3]);
    expect_matches(r, expected(2, 4, kMaxSize, x), "wrap");
}

// Length x byte offset of the slices (0: aligned, else misaligned).
class MacdRandom : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(MacdRandom, MatchesReferenceBitForBit) {
    const auto [n, offset] = GetParam();
    const std::tuple<std::size_t, std::size_t, std::size_t> periods[] = {{1, 2, 1},     {2, 3, 1}, {3, 6, 2},
                                                                         {12, 26, 9},   {1, n, 1}, {n - 1, n, 2},
                                                                         {2, n + 1, 1}, {1, 5, n}, {2, kMaxSize, 1}};
    for (std::uint64_t seed = 1; seed <= 16; ++seed) {
        const auto clean = veldspar::test::random_series(n, seed, false);
        const auto hostile = veldspar::test::random_series(n, seed + 100, true);
        for (const auto& [f, s, g] : periods) {
            if (f == 0 || f >= s) continue;
            // A clean prefix of varying length, then hostile values: NaN in
            // the first slow window makes everything NaN, so the interesting
            // cases need the hostile part to start later.
            const std::size_t cut = seed % 4 == 0 ? 0 : std::min<std::size_t>(n, s + seed % 5);
            std::vector<double> x(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(cut));
            x.insert(x.end(), hostile.begin() + static_cast<std::ptrdiff_t>(cut), hostile.end());
            expect_matches(run(f, s, g, x, offset), expected(f, s, g, x),
                           "n=" + std::to_string(n) + " F=" + std::to_string(f) + " S=" + std::to_string(s) +
                               " G=" + std::to_string(g) + " seed=" + std::to_string(seed));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(LengthsAndOffsets, MacdRandom,
                         ::testing::Combine(::testing::Values(2, 3, 9, 64, 200), ::testing::Values(0, 5)));

}  // namespace
