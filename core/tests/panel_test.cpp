// Panel kernels against the batch kernels and the oracle, row by row: rows of
// every kind side by side (clean, speckled with NaN and infinities, late
// starts, nothing finite, a seed run broken in one row only), every shape from
// empty up past several rounds of lanes, row ranges run piecemeal in any
// order, and panels at any byte offset. Rows outside a call's range stay
// untouched.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "veldspar/core/panel.hpp"

namespace {

namespace core = veldspar::core;
namespace oracle = veldspar::oracle;
using veldspar::test::bits;
using veldspar::test::Placed;
using veldspar::test::Series;
using veldspar::test::speckled;
using veldspar::test::value_bits;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kUnwritten = 123.0;

// A row of prices of one kind; the kinds differ where the warm-ups and the
// NaN and infinity rules branch.
Series price_row(std::size_t cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::size_t late = cols == 0 ? 0 : rng() % cols;
    switch (seed % 8) {
        case 0: return speckled(cols, seed, 0.0);
        case 1: return speckled(cols, seed, 0.02);
        case 2: return speckled(cols, seed, 0.3);
        case 3: {  // a late start: leading NaNs of its own length
            Series x = speckled(cols, seed, 0.0);
            std::fill(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(late), std::nan(""));
            return x;
        }
        case 4: return Series(cols, std::nan(""));
        case 5: {  // one break near the start, where seeds and first windows lie
            Series x = speckled(cols, seed, 0.0);
            if (cols > 0) x[rng() % std::min<std::size_t>(cols, 30)] = (seed & 16) ? kInf : std::nan("");
            return x;
        }
        case 6: {  // an infinity then its opposite later on: re-seeds in MACD
            Series x = speckled(cols, seed, 0.0);
            if (cols > 0) x[late] = kInf;
            if (late + 3 < cols) x[late + 3] = -kInf;
            return x;
        }
        default: return speckled(cols, seed, 0.005);
    }
}

// The inputs and outputs of one indicator with fixed periods.
struct Indicator {
    std::string name;
    std::size_t inputs, outputs;
    // The batch kernel and the oracle on one row, by row pointers.
    std::function<void(const double*const*, double*const*, std::size_t)> batch, oracle;
    // The panel kernel on panels of rows x cols.
    std::function<void(const core::ReadPanel*, const core::WritePanel*, core::RowRange)> panel;
    // Whether the batch kernel stores "no value" at column i of a row whose first input is x.
    std::function<bool(const double* x, std::size_t cols, std::size_t i)> stored;
};

std::string label(const char* name, std::initializer_list<std::size_t> periods) {
    std::ostringstream s;
    s << name;
    for (std::size_t p : periods) s << ' ' << p;
    return s.str();
}

std::vector<Indicator> indicators() {
    std::vector<Indicator> all;
    for (std::size_t p : {0, 1, 2, 3, 14, 64}) {
        all.push_back(
            {label("sma", {p}), 1, 1,
             [p](const double* const* in, double* const* out, std::size_t n) {
                 core::compute_sma(p, {in[0], n}, {out[0], n});
             },
             [p](const double* const* in, double* const* out, std::size_t n) { oracle::sma(p, in[0], out[0], n); },
             [p](const core::ReadPanel* in, const core::WritePanel* out, core::RowRange r) {
                 core::compute_sma_panel(p, in[0], out[0], r);
             },
             [p](const double*, std::size_t n, std::size_t i) { return p == 0 || p > n || i + 1 < p; }});
        all.push_back(
            {label("ema", {p}), 1, 1,
             [p](const double* const* in, double* const* out, std::size_t n) {
                 core::compute_ema(p, {in[0], n}, {out[0], n});
             },
             [p](const double* const* in, double* const* out, std::size_t n) { oracle::ema(p, in[0], out[0], n); },
             [p](const core::ReadPanel* in, const core::WritePanel* out, core::RowRange r) {
                 core::compute_ema_panel(p, in[0], out[0], r);
             },
             // EMA makes no NaN by arithmetic.
             [](const double*, std::size_t, std::size_t) { return true; }});
        all.push_back({label("atr", {p}), 3, 1,
                       [p](const double* const* in, double* const* out, std::size_t n) {
                           core::compute_atr(p, {in[0], n}, {in[1], n}, {in[2], n}, {out[0], n});
                       },
                       [p](const double* const* in, double* const* out, std::size_t n) {
                           oracle::atr(p, in[0], in[1], in[2], out[0], n);
                       },
                       [p](const core::ReadPanel* in, const core::WritePanel* out, core::RowRange r) {
                           core::compute_atr_panel(p, in[0], in[1], in[2], out[0], r);
                       },
                       [p](const double*, std::size_t n, std::size_t i) { return p == 0 || n <= p || i < p; }});
    }
    struct Periods {
        std::size_t fast, slow, signal;
    };
    for (const auto [f, s, g] : {Periods{1, 2, 1}, Periods{2, 5, 3}, Periods{12, 26, 9}, Periods{3, 6, 40},
                                 Periods{0, 5, 3}, Periods{5, 5, 2}, Periods{2, 5, 0}}) {
        all.push_back({label("macd", {f, s, g}), 1, 3,
                       [=](const double* const* in, double* const* out, std::size_t n) {
                           core::compute_macd(f, s, g, {in[0], n}, {out[0], n}, {out[1], n}, {out[2], n});
                       },
                       [=](const double* const* in, double* const* out, std::size_t n) {
                           oracle::macd(f, s, g, in[0], out[0], out[1], out[2], n);
                       },
                       [=](const core::ReadPanel* in, const core::WritePanel* out, core::RowRange r) {
                           core::compute_macd_panel(f, s, g, in[0], out[0], out[1], out[2], r);
                       },
                       [=](const double* x, std::size_t, std::size_t i) {
                           const bool defined = f > 0 && g > 0 && f < s;
                           return !defined || i + 1 < s || std::isnan(x[i]);
                       }});
    }
    return all;
}

// A panel's inputs, row after row: prices, or bars around them for three inputs.
std::vector<Series> panel_inputs(std::size_t inputs, std::size_t rows, std::size_t cols, std::uint64_t seed) {
    std::vector<Series> in(inputs, Series(rows * cols));
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint64_t row_seed = seed * 1000 + r;
        const Series close = price_row(cols, row_seed);
        const Series up = speckled(cols, row_seed + 7, 0.01), down = speckled(cols, row_seed + 9, 0.01);
        for (std::size_t c = 0; c < cols; ++c) {
            if (inputs == 1) {
                in[0][r * cols + c] = close[c];
            } else {
                in[0][r * cols + c] = close[c] + std::fabs(up[c] - 100.0);
                in[1][r * cols + c] = close[c] - std::fabs(down[c] - 100.0);
                in[2][r * cols + c] = close[c];
            }
        }
    }
    return in;
}

// Rows [from, to) of a flat panel.
Series rows_of(const Series& panel, std::size_t cols, std::size_t from, std::size_t to) {
    return Series(panel.begin() + static_cast<std::ptrdiff_t>(from * cols),
                  panel.begin() + static_cast<std::ptrdiff_t>(to * cols));
}

// Each row of the panel's outputs against the batch kernel on that row (its
// bits, the stored NaN where it has no value) and against the oracle (its
// values, NaN signs aside).
::testing::AssertionResult rows_match(const Indicator& ind, const std::vector<Series>& in,
                                      const std::vector<Series>& got, std::size_t rows, std::size_t cols) {
    std::vector<Series> batch(ind.outputs, Series(cols)), slow(ind.outputs, Series(cols));
    for (std::size_t r = 0; r < rows; ++r) {
        std::vector<const double*> row_in;
        for (const Series& s : in) row_in.push_back(s.data() + r * cols);
        std::vector<double*> batch_out, oracle_out;
        for (std::size_t o = 0; o < ind.outputs; ++o) {
            batch_out.push_back(batch[o].data());
            oracle_out.push_back(slow[o].data());
        }
        ind.batch(row_in.data(), batch_out.data(), cols);
        ind.oracle(row_in.data(), oracle_out.data(), cols);
        for (std::size_t o = 0; o < ind.outputs; ++o) {
            const Series row = rows_of(got[o], cols, r, r + 1);
            const auto g = value_bits(row), b = value_bits(batch[o]), w = value_bits(slow[o]);
            for (std::size_t i = 0; i < cols; ++i) {
                const bool stored = std::isnan(batch[o][i]) && ind.stored(row_in[0], cols, i);
                if (g[i] != b[i] || g[i] != w[i] || (stored && bits({row[i]})[0] != core::kNaNBits)) {
                    return ::testing::AssertionFailure()
                           << ind.name << " " << rows << "x" << cols << " row " << r << " output " << o << " column "
                           << i << ": " << row[i] << ", batch " << batch[o][i] << ", oracle " << slow[o][i];
                }
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// The panel of one shape, run as a few row ranges in random order, each panel
// at a random byte offset.
void check_panel(const Indicator& ind, std::size_t rows, std::size_t cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::vector<Series> in = panel_inputs(ind.inputs, rows, cols, seed);
    std::vector<std::unique_ptr<Placed>> places;
    std::vector<core::ReadPanel> reads;
    std::vector<core::WritePanel> writes;
    for (const Series& s : in) {
        places.push_back(std::make_unique<Placed>(s, rng() % 8));
        reads.push_back({places.back()->read().data, rows, cols});
    }
    for (std::size_t o = 0; o < ind.outputs; ++o) {
        places.push_back(std::make_unique<Placed>(Series(rows * cols, kUnwritten), rng() % 8));
        writes.push_back({places.back()->write().data, rows, cols});
    }
    // Cut points, kept in order; the ranges between them run in a shuffled order.
    std::vector<std::size_t> cuts = {0, rows};
    for (int k = 0; k < 2; ++k) cuts.push_back(rng() % (rows + 1));
    std::sort(cuts.begin(), cuts.end());
    std::vector<core::RowRange> ranges;
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) ranges.push_back({cuts[k], cuts[k + 1]});
    std::shuffle(ranges.begin(), ranges.end(), rng);

    const std::string what = ind.name + " " + std::to_string(rows) + "x" + std::to_string(cols);
    ind.panel(reads.data(), writes.data(), ranges[0]);
    // Nothing outside the first range was written.
    for (std::size_t o = 0; o < ind.outputs; ++o) {
        const Series got = places[ind.inputs + o]->values();
        for (std::size_t i = 0; i < got.size(); ++i) {
            const std::size_t r = i / cols;
            if (r < ranges[0].begin || r >= ranges[0].end) {
                ASSERT_EQ(got[i], kUnwritten)
                    << what << " row " << r << " outside " << ranges[0].begin << ".." << ranges[0].end;
            }
        }
    }
    for (std::size_t k = 1; k < ranges.size(); ++k) ind.panel(reads.data(), writes.data(), ranges[k]);
    std::vector<Series> got;
    for (std::size_t o = 0; o < ind.outputs; ++o) got.push_back(places[ind.inputs + o]->values());
    ASSERT_TRUE(rows_match(ind, in, got, rows, cols)) << "seed " << seed;
}

struct Shape {
    std::size_t rows, cols;
};

// Empty panels, single rows and columns, row counts around multiples of the
// lane widths, and columns around the periods' warm-ups.
constexpr Shape kShapes[] = {{0, 0},  {0, 7},  {4, 0},  {1, 1},  {1, 40}, {6, 1},    {2, 15},  {3, 64},
                             {5, 65}, {7, 33}, {8, 27}, {9, 90}, {13, 3}, {17, 200}, {33, 70}, {12, 300}};

class PanelRows : public ::testing::TestWithParam<Shape> {};

TEST_P(PanelRows, EachRowIsTheBatchKernelsRow) {
    const auto [rows, cols] = GetParam();
    std::uint64_t seed = rows * 977 + cols;
    for (const Indicator& ind : indicators()) {
        for (int round = 0; round < 3; ++round) {
            check_panel(ind, rows, cols, ++seed);
            if (HasFatalFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PanelRows, ::testing::ValuesIn(kShapes), [](const auto& info) {
    return std::to_string(info.param.rows) + "x" + std::to_string(info.param.cols);
});

TEST(PanelRows, NeighboursDivergeInOneRowOnly) {
    // Eight identical rows but one: row 5's EMA seed run is broken at column 2
    // and its MACD re-seeds after an infinity; the others must not notice.
    const std::size_t rows = 8, cols = 120;
    Series x(rows * cols);
    const Series walk = speckled(cols, 3, 0.0);
    for (std::size_t r = 0; r < rows; ++r) std::copy(walk.begin(), walk.end(), x.begin() + r * cols);
    x[5 * cols + 2] = std::nan("");
    x[5 * cols + 60] = kInf;
    for (const Indicator& ind : indicators()) {
        if (ind.inputs != 1) continue;
        std::vector<Series> out(ind.outputs, Series(rows * cols, kUnwritten));
        const core::ReadPanel in{x.data(), rows, cols};
        std::vector<core::WritePanel> writes;
        for (Series& o : out) writes.push_back({o.data(), rows, cols});
        ind.panel(&in, writes.data(), {0, rows});
        ASSERT_TRUE(rows_match(ind, {x}, out, rows, cols));
        for (std::size_t o = 0; o < ind.outputs; ++o) {
            EXPECT_EQ(value_bits(rows_of(out[o], cols, 0, 1)), value_bits(rows_of(out[o], cols, 7, 8))) << ind.name;
        }
    }
}

TEST(PanelRows, OutputThatIsItsInputIsAllNaN) {
    const std::size_t rows = 6, cols = 30;
    for (auto panel : {core::compute_sma_panel, core::compute_ema_panel}) {
        Series x = panel_inputs(1, rows, cols, 11)[0];
        const Series before = x;
        panel(3, {x.data(), rows, cols}, {x.data(), rows, cols}, {1, 4});
        for (std::size_t i = 0; i < x.size(); ++i) {
            const std::size_t r = i / cols;
            if (r >= 1 && r < 4) {
                ASSERT_EQ(bits({x[i]})[0], core::kNaNBits) << i;
            } else {
                ASSERT_EQ(bits({x[i]})[0], bits({before[i]})[0]) << i;
            }
        }
    }
}

TEST(PanelDeathTest, ShapesAndRangesOutsideThePanelsAreFaults) {
    double a[12] = {}, b[12] = {};
    EXPECT_EXIT(core::compute_sma_panel(2, {a, 3, 4}, {b, 4, 3}, {0, 3}), ::testing::KilledBySignal(SIGABRT),
                "panels of one call differ in shape\n$");
    EXPECT_EXIT(core::compute_ema_panel(2, {a, 3, 4}, {b, 3, 4}, {1, 4}), ::testing::KilledBySignal(SIGABRT),
                "the len is 3 but the index is 3\n$");
    EXPECT_EXIT(core::compute_atr_panel(2, {a, 3, 4}, {a, 3, 4}, {a, 3, 4}, {b, 3, 4}, {2, 1}),
                ::testing::KilledBySignal(SIGABRT), "row range ends before it begins\n$");
    const std::size_t huge = static_cast<std::size_t>(-1) / 2;
    EXPECT_EXIT(core::compute_macd_panel(2, 3, 2, {a, huge, 3}, {b, huge, 3}, {b, huge, 3}, {b, huge, 3}, {0, 0}),
                ::testing::KilledBySignal(SIGABRT), "panel has more elements than a size_t can count\n$");
}

}  // namespace
