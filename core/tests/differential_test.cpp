// Every kernel path against the plain loops, bit for bit: blocked and tail
// updates at every length around their thresholds, aligned and misaligned
// slices, output-is-input, and series with NaN, infinities and -0.0 at
// several densities. Speed work on a kernel must keep all of these green.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>

#include "plain_loops.hpp"

namespace {

namespace core = veldspar::core;
namespace plain = veldspar::test::plain;
using plain::Series;
using veldspar::test::value_bits;

// A random walk whose values are replaced, each with probability `density`,
// by NaN, +inf, -inf or -0.0.
Series noisy(std::size_t n, std::uint64_t seed, double density) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 3);
    const double specials[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, -0.0};
    Series x(n);
    double price = 100.0;
    for (auto& v : x) {
        price += step(rng);
        v = coin(rng) < density ? specials[pick(rng)] : price;
    }
    return x;
}

// A series copied into a byte buffer `offset` bytes past an aligned start:
// offsets 1 to 7 make the kernels take their byte-wise access path.
class Placed {
public:
    Placed(const Series& x, std::size_t offset) : bytes_(x.size() * 8 + 8), offset_(offset), n_(x.size()) {
        for (std::size_t i = 0; i < n_; ++i) std::memcpy(bytes_.data() + offset_ + 8 * i, &x[i], 8);
    }
    void* data() { return bytes_.data() + offset_; }
    core::ReadSlice in() { return {data(), n_}; }
    core::WriteSlice out() { return {data(), n_}; }
    Series read() const {
        Series x(n_);
        for (std::size_t i = 0; i < n_; ++i) std::memcpy(&x[i], bytes_.data() + offset_ + 8 * i, 8);
        return x;
    }

private:
    std::vector<unsigned char> bytes_;  // new[] storage is aligned for double
    std::size_t offset_;
    std::size_t n_;
};

// NaN signs aside (arithmetic NaNs take theirs from the hardware), the first
// position where the kernel and the plain loop differ.
::testing::AssertionResult same(const Series& got, const Series& want, const std::string& where) {
    const auto g = value_bits(got), w = value_bits(want);
    if (g.size() != w.size()) return ::testing::AssertionFailure() << where << ": lengths differ";
    for (std::size_t i = 0; i < g.size(); ++i) {
        if (g[i] != w[i]) {
            return ::testing::AssertionFailure()
                   << where << ": index " << i << " is " << got[i] << ", plain loop " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

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

TEST_P(Differential, MovingAveragesMatchThePlainLoops) {
    const double density = GetParam();
    std::size_t seed = 0;
    for (std::size_t period : {1, 2, 3, 5, 8, 9, 20, 64}) {
        for (std::size_t extra : extra_lengths()) {
            const std::size_t n = period - 1 + extra;  // extra values after the first full window
            const Series x = noisy(n, ++seed, density);
            const Series want_sma = plain::sma(period, x), want_ema = plain::ema(period, x);
            for (const auto& [in_off, out_off] : kOffsets) {
                Placed in(x, in_off), out(Series(n, 123.0), out_off);
                core::compute_sma(period, in.in(), out.out());
                ASSERT_TRUE(same(out.read(), want_sma, label("sma", n, seed, {period, in_off, out_off})));
                core::compute_ema(period, in.in(), out.out());
                ASSERT_TRUE(same(out.read(), want_ema, label("ema", n, seed, {period, in_off, out_off})));
            }
        }
    }
}

TEST_P(Differential, OutputThatIsItsInputMatchesThePlainLoops) {
    // The output is set to NaN before any input is read, so the plain loops
    // see an all-NaN series.
    const double density = GetParam();
    for (std::size_t period : {1, 3, 8, 20}) {
        for (std::size_t n : {1, 8, 64, 72, 100, 257}) {
            const Series x = noisy(n, n * 31 + period, density), gone(n, std::nan(""));
            for (std::size_t offset : {0, 3}) {
                Placed sma(x, offset), ema(x, offset);
                core::compute_sma(period, sma.in(), sma.out());
                ASSERT_TRUE(same(sma.read(), plain::sma(period, gone), label("sma in place", n, 0, {period, offset})));
                core::compute_ema(period, ema.in(), ema.out());
                ASSERT_TRUE(same(ema.read(), plain::ema(period, gone), label("ema in place", n, 0, {period, offset})));
            }
        }
    }
}

TEST_P(Differential, MacdMatchesThePlainLoop) {
    const double density = GetParam();
    struct Periods {
        std::size_t fast, slow, signal;
    };
    std::size_t seed = 1000;
    for (const auto [f, s, g] : {Periods{1, 2, 1}, Periods{2, 3, 2}, Periods{3, 6, 4}, Periods{5, 7, 1},
                                 Periods{12, 26, 9}, Periods{4, 3, 2}, Periods{0, 5, 3}, Periods{3, 5, 0}}) {
        for (std::size_t n : {0, 1, 2, 5, 6, 7, 8, 9, 10, 11, 12, 25, 26, 33, 34, 35, 40, 100, 257}) {
            const Series x = noisy(n, ++seed, density);
            const plain::Macd want = plain::macd(f, s, g, x);
            for (const auto& [in_off, out_off] : kOffsets) {
                Placed in(x, in_off), m(Series(n, 1.0), out_off), sg(Series(n, 2.0), out_off),
                    h(Series(n, 3.0), (out_off + 2) % 8);
                core::compute_macd(f, s, g, in.in(), m.out(), sg.out(), h.out());
                const std::string where = label("macd", n, seed, {f, s, g, in_off, out_off});
                ASSERT_TRUE(same(m.read(), want.line, where + " line"));
                ASSERT_TRUE(same(sg.read(), want.signal, where + " signal"));
                ASSERT_TRUE(same(h.read(), want.hist, where + " hist"));
            }
        }
    }
}

TEST_P(Differential, AtrMatchesThePlainLoop) {
    const double density = GetParam();
    std::size_t seed = 5000;
    for (std::size_t period : {0, 1, 2, 5, 14}) {
        for (std::size_t n : {0, 1, 2, 3, 5, 6, 7, 14, 15, 16, 17, 40, 100, 257}) {
            const Series close = noisy(n, ++seed, density);
            Series high = noisy(n, ++seed, density), low = noisy(n, ++seed, density);
            for (std::size_t i = 0; i < n; ++i) {
                high[i] = close[i] + std::fabs(high[i] - 100.0);
                low[i] = close[i] - std::fabs(low[i] - 100.0);
            }
            const Series want = plain::atr(period, high, low, close);
            for (const auto& [in_off, out_off] : kOffsets) {
                Placed h(high, in_off), l(low, (in_off + 1) % 8), c(close, in_off), out(Series(n, 9.0), out_off);
                core::compute_atr(period, h.in(), l.in(), c.in(), out.out());
                ASSERT_TRUE(same(out.read(), want, label("atr", n, seed, {period, in_off, out_off})));
            }
        }
    }
}

// Clean series, then rare, frequent and dominant non-finite values.
INSTANTIATE_TEST_SUITE_P(Densities, Differential, ::testing::Values(0.0, 0.002, 0.05, 0.3));

}  // namespace
