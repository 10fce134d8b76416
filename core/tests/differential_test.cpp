// Every kernel path against the oracle, bit for bit: blocked and tail
// updates at every length around their thresholds, aligned and misaligned
// slices, output-is-input, and series with NaN, infinities and -0.0 at
// several densities. Speed work on a kernel must keep all of these green.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "test_support.hpp"

namespace {

namespace core = veldspar::core;
namespace want = veldspar::test::want;
using veldspar::test::Placed;
using veldspar::test::same_values;
using veldspar::test::Series;
using veldspar::test::speckled;

std::string label(const char* kernel, std::size_t n, std::size_t seed, std::initializer_list<std::size_t> more) {
    std::ostringstream s;
    s << kernel << " n=" << n << " seed=" << seed;
    for (std::size_t v : more) s << ' ' << v;
    return s.str();
}

// Input and output byte offsets: both aligned, each misaligned alone, both.
constexpr std::size_t kOffsets[][2] = {{0, 0}, {0, 4}, {3, 0}, {5, 5}, {1, 7}};

// Lengths past the first window: every one up to beyond the blocked SMA's
// threshold (63) and its first blocks of 8, then some around later blocks.
std::vector<std::size_t> extra_lengths() {
    std::vector<std::size_t> d;
    for (std::size_t k = 0; k <= 90; ++k) d.push_back(k);
    for (std::size_t k : {127, 128, 129, 135, 136, 137, 255, 256, 257, 1000, 1001}) d.push_back(k);
    return d;
}

class Differential : public ::testing::TestWithParam<double> {};

TEST_P(Differential, MovingAveragesMatchTheOracle) {
    const double density = GetParam();
    std::size_t seed = 0;
    for (std::size_t period : {1, 2, 3, 5, 8, 9, 20, 64}) {
        for (std::size_t extra : extra_lengths()) {
            const std::size_t n = period - 1 + extra;  // extra values after the first full window
            const Series x = speckled(n, ++seed, density);
            const Series want_sma = want::sma(period, x), want_ema = want::ema(period, x);
            for (const auto& [in_off, out_off] : kOffsets) {
                Placed in(x, in_off), out(Series(n, 123.0), out_off);
                core::compute_sma(period, in.read(), out.write());
                ASSERT_TRUE(same_values(out.values(), want_sma, label("sma", n, seed, {period, in_off, out_off})));
                core::compute_ema(period, in.read(), out.write());
                ASSERT_TRUE(same_values(out.values(), want_ema, label("ema", n, seed, {period, in_off, out_off})));
            }
        }
    }
}

TEST_P(Differential, OutputThatIsItsInputMatchTheOracle) {
    // The output is set to NaN before any input is read, so the oracle
    // sees an all-NaN series.
    const double density = GetParam();
    for (std::size_t period : {1, 3, 8, 20}) {
        for (std::size_t n : {1, 8, 64, 72, 100, 257}) {
            const Series x = speckled(n, n * 31 + period, density), gone(n, std::nan(""));
            for (std::size_t offset : {0, 3}) {
                Placed sma(x, offset), ema(x, offset);
                core::compute_sma(period, sma.read(), sma.write());
                ASSERT_TRUE(
                    same_values(sma.values(), want::sma(period, gone), label("sma in place", n, 0, {period, offset})));
                core::compute_ema(period, ema.read(), ema.write());
                ASSERT_TRUE(
                    same_values(ema.values(), want::ema(period, gone), label("ema in place", n, 0, {period, offset})));
            }
        }
    }
}

TEST_P(Differential, MacdMatchesTheOracle) {
    const double density = GetParam();
    struct Periods {
        std::size_t fast, slow, signal;
    };
    std::size_t seed = 1000;
    for (const auto [f, s, g] : {Periods{1, 2, 1}, Periods{2, 3, 2}, Periods{3, 6, 4}, Periods{5, 7, 1},
                                 Periods{12, 26, 9}, Periods{4, 3, 2}, Periods{0, 5, 3}, Periods{3, 5, 0}}) {
        for (std::size_t n : {0, 1, 2, 5, 6, 7, 8, 9, 10, 11, 12, 25, 26, 33, 34, 35, 40, 100, 257}) {
            const Series x = speckled(n, ++seed, density);
            const want::Macd expected = want::macd(f, s, g, x);
            for (const auto& [in_off, out_off] : kOffsets) {
                Placed in(x, in_off), m(Series(n, 1.0), out_off), sg(Series(n, 2.0), out_off),
                    h(Series(n, 3.0), (out_off + 2) % 8);
                core::compute_macd(f, s, g, in.read(), m.write(), sg.write(), h.write());
                const std::string where = label("macd", n, seed, {f, s, g, in_off, out_off});
                ASSERT_TRUE(same_values(m.values(), expected.line, where + " line"));
                ASSERT_TRUE(same_values(sg.values(), expected.signal, where + " signal"));
                ASSERT_TRUE(same_values(h.values(), expected.hist, where + " hist"));
            }
        }
    }
}

TEST_P(Differential, AtrMatchesTheOracle) {
    const double density = GetParam();
    std::size_t seed = 5000;
    for (std::size_t period : {0, 1, 2, 5, 14}) {
        for (std::size_t n : {0, 1, 2, 3, 5, 6, 7, 14, 15, 16, 17, 40, 100, 257}) {
            const Series close = speckled(n, ++seed, density);
            Series high = speckled(n, ++seed, density), low = speckled(n, ++seed, density);
            for (std::size_t i = 0; i < n; ++i) {
                high[i] = close[i] + std::fabs(high[i] - 100.0);
                low[i] = close[i] - std::fabs(low[i] - 100.0);
            }
            const Series expected = want::atr(period, high, low, close);
            for (const auto& [in_off, out_off] : kOffsets) {
                Placed h(high, in_off), l(low, (in_off + 1) % 8), c(close, in_off), out(Series(n, 9.0), out_off);
                core::compute_atr(period, h.read(), l.read(), c.read(), out.write());
                ASSERT_TRUE(same_values(out.values(), expected, label("atr", n, seed, {period, in_off, out_off})));
            }
        }
    }
}

// Clean series, then rare, frequent and dominant non-finite values.
INSTANTIATE_TEST_SUITE_P(Densities, Differential, ::testing::Values(0.0, 0.002, 0.05, 0.3));

}  // namespace
