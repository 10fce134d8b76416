// Streams against the batch kernels: fed bar by bar, in chunks of any size (0
// and 1 included) through misaligned slices, and carried on from a byte copy
// of their state taken midway, every stream gives the batch kernel's bits at
// every index, the stored NaN where there is no value included. Only the sign
// of a NaN that arithmetic makes is free, as between the kernels' own loops.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "veldspar/core/stream.hpp"

namespace {

namespace core = veldspar::core;
using veldspar::test::bits;
using veldspar::test::Placed;
using veldspar::test::Series;
using veldspar::test::speckled;
using Serieses = std::vector<Series>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Each stream type: its state and window, the batch kernel of the same
// periods over whole series, and its one-bar and chunk calls.
struct Sma {
    core::SmaState state;
    Series window;
    explicit Sma(std::size_t period) : state(core::init_sma(period)), window(core::window_size(state)) {}
    Serieses batch(const Serieses& in) const {
        Series out(in[0].size());
        core::compute_sma(state.period, {in[0].data(), out.size()}, {out.data(), out.size()});
        return {out};
    }
    // Whether the batch stores "no value" at index i of an output.
    bool stored(const Serieses& in, const Series&, std::size_t i) const {
        return state.period == 0 || state.period > in[0].size() || i + 1 < state.period;
    }
    void one(const Serieses& in, Serieses& out, std::size_t i) { out[0][i] = core::update(state, window, in[0][i]); }
    void many(const core::ReadSlice* in, const core::WriteSlice* out) {
        core::update_many(state, window, in[0], out[0]);
    }
};

struct Ema {
    core::EmaState state;
    explicit Ema(std::size_t period) : state(core::init_ema(period)) {}
    Serieses batch(const Serieses& in) const {
        Series out(in[0].size());
        core::compute_ema(state.period, {in[0].data(), out.size()}, {out.data(), out.size()});
        return {out};
    }
    // EMA makes no NaN by arithmetic: every NaN is a stored "no value".
    bool stored(const Serieses&, const Series& batch, std::size_t i) const { return std::isnan(batch[i]); }
    void one(const Serieses& in, Serieses& out, std::size_t i) { out[0][i] = core::update(state, in[0][i]); }
    void many(const core::ReadSlice* in, const core::WriteSlice* out) { core::update_many(state, in[0], out[0]); }
};

struct Macd {
    core::MacdState state;
    Series window;
    Macd(std::size_t fast, std::size_t slow, std::size_t signal)
        : state(core::init_macd(fast, slow, signal)), window(core::window_size(state)) {}
    Serieses batch(const Serieses& in) const {
        const std::size_t n = in[0].size();
        Serieses out(3, Series(n));
        core::compute_macd(state.fast_period, state.slow_period, state.signal_period, {in[0].data(), n},
                           {out[0].data(), n}, {out[1].data(), n}, {out[2].data(), n});
        return out;
    }
    bool stored(const Serieses& in, const Series&, std::size_t i) const {
        return core::window_size(state) == 0 || i + 1 < state.slow_period || std::isnan(in[0][i]);
    }
    void one(const Serieses& in, Serieses& out, std::size_t i) {
        const core::MacdValues v = core::update(state, window, in[0][i]);
        out[0][i] = v.macd;
        out[1][i] = v.signal;
        out[2][i] = v.hist;
    }
    void many(const core::ReadSlice* in, const core::WriteSlice* out) {
        core::update_many(state, window, in[0], out[0], out[1], out[2]);
    }
};

struct Atr {
    core::AtrState state;
    explicit Atr(std::size_t period) : state(core::init_atr(period)) {}
    Serieses batch(const Serieses& in) const {
        const std::size_t n = in[0].size();
        Series out(n);
        core::compute_atr(state.period, {in[0].data(), n}, {in[1].data(), n}, {in[2].data(), n}, {out.data(), n});
        return {out};
    }
    bool stored(const Serieses& in, const Series&, std::size_t i) const {
        return state.period == 0 || in[0].size() <= state.period || i < state.period;
    }
    void one(const Serieses& in, Serieses& out, std::size_t i) {
        out[0][i] = core::update(state, in[0][i], in[1][i], in[2][i]);
    }
    void many(const core::ReadSlice* in, const core::WriteSlice* out) {
        core::update_many(state, in[0], in[1], in[2], out[0]);
    }
};

// Feeds bars [from, to) in random chunks: empty ones, single bars (through
// update() or update_many()), short and long runs, each input and output at
// its own byte offset.
template <class Stream>
void feed(Stream& stream, const Serieses& in, Serieses& out, std::size_t from, std::size_t to, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> kind(0, 9), offset(0, 7);
    for (std::size_t i = from; i < to;) {
        const int k = kind(rng);
        std::size_t size = k == 0   ? 0
                           : k <= 3 ? 1
                           : k <= 6 ? 2 + rng() % 6
                           : k <= 8 ? 8 + rng() % 57
                                    : 65 + rng() % 300;
        size = std::min(size, to - i);
        if (size == 1 && rng() % 2 == 0) {
            stream.one(in, out, i++);
            continue;
        }
        std::vector<std::unique_ptr<Placed>> places;
        std::vector<core::ReadSlice> reads;
        std::vector<core::WriteSlice> writes;
        for (const Series& s : in) {
            places.push_back(std::make_unique<Placed>(Series(s.begin() + i, s.begin() + i + size), offset(rng)));
            reads.push_back(places.back()->read());
        }
        for (std::size_t o = 0; o < out.size(); ++o) {
            places.push_back(std::make_unique<Placed>(veldspar::test::unwritten(size), offset(rng)));
            writes.push_back(places.back()->write());
        }
        stream.many(reads.data(), writes.data());
        for (std::size_t o = 0; o < out.size(); ++o) {
            const Series got = places[in.size() + o]->values();
            std::copy(got.begin(), got.end(), out[o].begin() + static_cast<std::ptrdiff_t>(i));
        }
        i += size;
    }
}

// A stream carried on elsewhere: its state through raw bytes, as a saved
// copy is restored, and its window copied.
template <class Stream>
Stream restored(const Stream& stream) {
    unsigned char saved[sizeof stream.state];
    std::memcpy(saved, &stream.state, sizeof saved);
    Stream copy = stream;
    std::memset(&copy.state, 0xA5, sizeof copy.state);
    std::memcpy(&copy.state, saved, sizeof saved);
    return copy;
}

// The batch's bits from index `from` on: exactly, and the stored NaN where
// the batch has no value; a NaN of arithmetic may differ in sign only.
template <class Stream>
::testing::AssertionResult same_bits(const Stream& stream, const Serieses& in, const Series& got, const Series& want,
                                     std::size_t from, const std::string& what) {
    const auto got_bits = veldspar::test::value_bits(got), want_bits = veldspar::test::value_bits(want);
    for (std::size_t i = from; i < want.size(); ++i) {
        const bool stored = stream.stored(in, want, i);
        if (got_bits[i] != want_bits[i] || (stored && bits({got[i]})[0] != core::kNaNBits)) {
            return ::testing::AssertionFailure() << what << ": index " << i << " is " << got[i] << ", batch " << want[i]
                                                 << (stored ? " (no value)" : "");
        }
    }
    return ::testing::AssertionSuccess();
}

// The stream fed from its first bar, and a copy taken at a random bar and fed
// the rest on its own after the original, both against the batch kernel.
template <class Stream>
void expect_batch_bits(const Stream& fresh, const Serieses& in, std::uint64_t seed, const std::string& what) {
    const Serieses batch = fresh.batch(in);
    const std::size_t n = in[0].size();
    std::mt19937_64 rng(seed);
    const std::size_t cut = rng() % (n + 1);
    Serieses out(batch.size(), Series(n, 123.0)), twin_out = out;
    Stream stream = fresh;
    feed(stream, in, out, 0, cut, rng);
    ASSERT_TRUE(core::is_valid(stream.state)) << what << " at " << cut;
    Stream twin = restored(stream);
    feed(stream, in, out, cut, n, rng);
    feed(twin, in, twin_out, cut, n, rng);
    for (std::size_t o = 0; o < batch.size(); ++o) {
        std::ostringstream line;
        line << what << " output " << o;
        ASSERT_TRUE(same_bits(fresh, in, out[o], batch[o], 0, line.str()));
        line << " copied at " << cut;
        ASSERT_TRUE(same_bits(fresh, in, twin_out[o], batch[o], cut, line.str()));
    }
    EXPECT_EQ(stream.state.count, n) << what;
    EXPECT_TRUE(core::is_valid(stream.state)) << what;
}

std::string label(const char* name, std::uint64_t seed, std::initializer_list<std::size_t> periods) {
    std::ostringstream s;
    s << name << " seed " << seed << " periods";
    for (std::size_t p : periods) s << ' ' << p;
    return s.str();
}

// A clean walk for the first `clean` bars, speckled with non-finite values after.
Series walk(std::size_t n, std::uint64_t seed, double density, std::size_t clean) {
    Series x = speckled(n, seed, density);
    const Series start = speckled(n, seed, 0.0);
    std::copy(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(std::min(clean, n)), x.begin());
    return x;
}

constexpr std::size_t kBars = 300;
constexpr std::uint64_t kSeeds = 4;

class StreamChunks : public ::testing::TestWithParam<double> {};

TEST_P(StreamChunks, MovingAveragesGiveTheBatchBits) {
    for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
        const Serieses in = {speckled(kBars, seed, GetParam())};
        for (std::size_t period : {0, 1, 2, 3, 7, 20, 64}) {
            expect_batch_bits(Sma(period), in, seed * 31 + period, label("sma", seed, {period}));
            expect_batch_bits(Ema(period), in, seed * 37 + period, label("ema", seed, {period}));
        }
    }
}

TEST_P(StreamChunks, MacdGivesTheBatchBits) {
    struct Periods {
        std::size_t fast, slow, signal;
    };
    for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
        // A NaN in the first slow window makes every value NaN; later ones and
        // infinities make re-seeds that reach back before a chunk.
        const Serieses in = {walk(kBars, seed, GetParam(), 10 * seed)};
        for (const auto [f, s, g] : {Periods{1, 2, 1}, Periods{2, 3, 2}, Periods{3, 6, 4}, Periods{12, 26, 9},
                                     Periods{2, 5, 40}, Periods{0, 5, 3}, Periods{5, 3, 2}, Periods{3, 5, 0}}) {
            expect_batch_bits(Macd(f, s, g), in, seed * 41 + s, label("macd", seed, {f, s, g}));
        }
    }
}

TEST_P(StreamChunks, AtrGivesTheBatchBits) {
    for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
        const Series close = speckled(kBars, seed, GetParam()), up = speckled(kBars, seed + 50, GetParam()),
                     down = speckled(kBars, seed + 90, GetParam());
        Serieses in = {Series(kBars), Series(kBars), close};
        for (std::size_t i = 0; i < kBars; ++i) {
            in[0][i] = close[i] + std::fabs(up[i] - 100.0);
            in[1][i] = close[i] - std::fabs(down[i] - 100.0);
        }
        for (std::size_t period : {0, 1, 2, 14, 299, 300}) {
            expect_batch_bits(Atr(period), in, seed * 43 + period, label("atr", seed, {period}));
        }
    }
}

// Clean series, then rare and frequent non-finite values.
INSTANTIATE_TEST_SUITE_P(Densities, StreamChunks, ::testing::Values(0.0, 0.01, 0.1));

TEST(StreamChunks, MacdReseedsFromTheWindowAcrossChunks) {
    // inf then -inf make the fast average NaN; every re-seed until both have
    // left the slow window reads inputs from before the chunk when chunks are short.
    Series x = speckled(120, 5, 0.0);
    x[40] = kInf;
    x[43] = -kInf;
    x[44] = std::nan("");
    x[80] = -kInf;
    x[81] = kInf;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        expect_batch_bits(Macd(3, 7, 4), {x}, seed, label("macd reseed", seed, {3, 7, 4}));
    }
}

TEST(StreamState, WindowsHoldWhatTheStepsReachBackFor) {
    EXPECT_EQ(core::window_size(core::init_sma(5)), 5u);
    EXPECT_EQ(core::window_size(core::init_sma(0)), 0u);
    EXPECT_EQ(core::window_size(core::init_macd(3, 6, 2)), 6u);
    // Periods that define no value need no window.
    EXPECT_EQ(core::window_size(core::init_macd(6, 6, 2)), 0u);
    EXPECT_EQ(core::window_size(core::init_macd(0, 6, 2)), 0u);
    EXPECT_EQ(core::window_size(core::init_macd(3, 6, 0)), 0u);
}

TEST(StreamState, ValidityRefusesStatesNoFeedMakes) {
    core::SmaState sma = core::init_sma(4);
    EXPECT_TRUE(core::is_valid(sma));
    sma.count = 6;
    sma.pos = 2;
    EXPECT_TRUE(core::is_valid(sma));
    sma.pos = 3;  // not count % period: the next bar would overwrite a live input
    EXPECT_FALSE(core::is_valid(sma));
    core::SmaState sma_inv = core::init_sma(4);
    sma_inv.inv = 0.3;
    EXPECT_FALSE(core::is_valid(sma_inv));

    core::EmaState ema = core::init_ema(3);
    ema.count = 2;
    ema.run = 2;
    EXPECT_TRUE(core::is_valid(ema));
    ema.avg = 1.0;  // an average before the seed
    EXPECT_FALSE(core::is_valid(ema));
    core::EmaState long_run = core::init_ema(3);
    long_run.count = 9;
    long_run.run = 4;
    EXPECT_FALSE(core::is_valid(long_run));
    core::EmaState early_run = core::init_ema(3);
    early_run.run = 2;  // more finite inputs than bars
    EXPECT_FALSE(core::is_valid(early_run));
    core::EmaState beta = core::init_ema(3);
    beta.beta = 0.5000000000000001;
    EXPECT_FALSE(core::is_valid(beta));

    core::MacdState macd = core::init_macd(2, 4, 3);
    macd.count = 3;
    macd.pos = 3;
    EXPECT_TRUE(core::is_valid(macd));
    macd.fast = 1.0;  // a value before bar slow_period - 1
    EXPECT_FALSE(core::is_valid(macd));
    core::MacdState macd_pos = core::init_macd(2, 4, 3);
    macd_pos.pos = 4;
    EXPECT_FALSE(core::is_valid(macd_pos));
    core::MacdState macd_alpha = core::init_macd(2, 4, 3);
    macd_alpha.signal_alpha = 0.25;
    EXPECT_FALSE(core::is_valid(macd_alpha));

    core::AtrState atr = core::init_atr(2);
    atr.count = 2;
    atr.avg = 1.0;  // an average before bar `period` was fed
    EXPECT_FALSE(core::is_valid(atr));
    atr.count = 3;
    EXPECT_TRUE(core::is_valid(atr));
    atr.k = 0.25;
    EXPECT_FALSE(core::is_valid(atr));
}

TEST(StreamStateDeathTest, AWindowOfAnotherSizeIsAFault) {
    auto short_window = [] {
        core::SmaState state = core::init_sma(4);
        double window[3];
        core::update(state, window, 1.0);
    };
    EXPECT_EXIT(short_window(), ::testing::KilledBySignal(SIGABRT), "stream window size does not match its state\n$");
    auto slot_outside = [] {
        core::MacdState state = core::init_macd(2, 4, 3);
        state.pos = 4;
        double window[4];
        double x = 1.0, out[3];
        core::update_many(state, window, {&x, 1}, {&out[0], 1}, {&out[1], 1}, {&out[2], 1});
    };
    EXPECT_EXIT(slot_outside(), ::testing::KilledBySignal(SIGABRT), "the len is 4 but the index is 4\n$");
}

}  // namespace
