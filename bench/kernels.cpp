// veldspar-bench-kernels: each kernel against its floor, the oracle's one-value-at-a-time loop of the same arithmetic.
//
//   build/bench/bench/veldspar-bench-kernels [--benchmark_format=json] [--benchmark_filter=atr]
//
// Rows are kernel/<indicator>/<n> and floor/<indicator>/<n>, the two of one
// indicator and size next to each other, for sma, ema, macd, atr (bars whose
// range always holds the previous close, so high - low wins every true range)
// and atr_mixed (bars that gap at random, so any of the three terms may win),
// at n = 10^4 (in cache), 10^6 and 10^7. Each row counts n items per
// iteration, so items_per_second gives the time per value. Both sides are
// built with the kernels' flags, so a ratio compares loops, not settings.
//
// Rows panel/<indicator>/<rows>x<cols> time one panel kernel call over a whole
// panel, and loop/<indicator>/<rows>x<cols> the batch kernel called row by
// row over the same panel, as a caller without panels would: 16 x 2048 (all
// arrays of a call in a core's level-2 cache, so the ratio is the
// arithmetic's), 64 x 4096 (the shared cache on most machines) and 1000 x
// 10000 (memory). They count rows*cols items per iteration.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "oracle.hpp"
#include "veldspar/core/core.hpp"
#include "veldspar/core/panel.hpp"

namespace {

namespace core = veldspar::core;
namespace oracle = veldspar::oracle;

// The periods users most often ask for.
constexpr std::size_t kPeriod = 20, kFast = 12, kSlow = 26, kSignal = 9, kAtrPeriod = 14;
constexpr std::size_t kSizes[] = {10'000, 1'000'000, 10'000'000};

struct Shape {
    std::size_t rows, cols;
};
constexpr Shape kPanels[] = {{16, 2048}, {64, 4096}, {1000, 10'000}};

enum class Kind { kPrices, kRangedBars, kGappingBars };

// The arrays of one benchmark: inputs and room for up to three outputs.
struct Data {
    Kind kind{};
    std::size_t n = 0;
    std::vector<double> close, high, low, out, out2, out3;
};

// A random walk of closes, and for bars a high and a low around each. Ranged
// bars span the previous close; gapping bars, each at random, span it, lie
// wholly above it (|high - close| wins) or wholly below it (|low - close| wins).
void fill(Data& d) {
    std::mt19937_64 rng(20240607);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> shape(0, 2);
    const std::size_t n = d.n;
    const bool bars = d.kind != Kind::kPrices;
    d.close.resize(n);
    if (bars) {
        d.high.resize(n);
        d.low.resize(n);
    }
    double prev = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double range = 0.5 + std::abs(step(rng));
        const double gap = 0.5 + std::abs(step(rng));
        double low = prev - unit(rng) * range;
        if (d.kind == Kind::kGappingBars) {
            const int s = shape(rng);
            if (s == 1) low = prev + gap;
            if (s == 2) low = prev - gap - range;
        }
        if (bars) {
            d.low[i] = low;
            d.high[i] = low + range;
        }
        d.close[i] = low + unit(rng) * range;
        prev = d.close[i];
    }
    d.out.assign(n, 0.0);
    if (!bars) {
        d.out2.assign(n, 0.0);
        d.out3.assign(n, 0.0);
    }
}

// One data set at a time: the kernel and floor rows of a size share it, and
// the 10^7 sets are large.
Data& data_for(Kind kind, std::size_t n) {
    static Data d;
    if (d.kind != kind || d.n != n) {
        d = Data{};
        d.kind = kind;
        d.n = n;
        fill(d);
    }
    return d;
}

core::ReadSlice in(const std::vector<double>& v) { return {v.data(), v.size()}; }
core::WriteSlice out(std::vector<double>& v) { return {v.data(), v.size()}; }

// A panel of a data set's first rows*cols values (a long walk cut into rows).
core::ReadPanel in(const std::vector<double>& v, Shape p) { return {v.data(), p.rows, p.cols}; }
core::WritePanel out(std::vector<double>& v, Shape p) { return {v.data(), p.rows, p.cols}; }

// Row r of a data set's values, as a panel of cols columns lays it out.
core::ReadSlice in_row(const std::vector<double>& v, std::size_t r, std::size_t cols) { return {&v[r * cols], cols}; }
core::WriteSlice out_row(std::vector<double>& v, std::size_t r, std::size_t cols) { return {&v[r * cols], cols}; }

struct Indicator {
    const char* name;
    Kind kind;
    void (*kernel)(Data&);
    void (*floor)(Data&);
    void (*panel)(Data&, Shape);
    void (*loop)(Data&, Shape);
};

void atr_kernel(Data& d) { core::compute_atr(kAtrPeriod, in(d.high), in(d.low), in(d.close), out(d.out)); }
void atr_floor(Data& d) { oracle::atr(kAtrPeriod, d.high.data(), d.low.data(), d.close.data(), d.out.data(), d.n); }
void atr_panel(Data& d, Shape p) {
    core::compute_atr_panel(kAtrPeriod, in(d.high, p), in(d.low, p), in(d.close, p), out(d.out, p), {0, p.rows});
}
void atr_loop(Data& d, Shape p) {
    for (std::size_t r = 0; r < p.rows; ++r) {
        core::compute_atr(kAtrPeriod, in_row(d.high, r, p.cols), in_row(d.low, r, p.cols), in_row(d.close, r, p.cols),
                          out_row(d.out, r, p.cols));
    }
}

const Indicator kIndicators[] = {
    {"sma", Kind::kPrices, [](Data& d) { core::compute_sma(kPeriod, in(d.close), out(d.out)); },
     [](Data& d) { oracle::sma(kPeriod, d.close.data(), d.out.data(), d.n); },
     [](Data& d, Shape p) {
         core::compute_sma_panel(kPeriod, in(d.close, p), out(d.out, p), {0, p.rows});
     },
     [](Data& d, Shape p) {
         for (std::size_t r = 0; r < p.rows; ++r)
             core::compute_sma(kPeriod, in_row(d.close, r, p.cols), out_row(d.out, r, p.cols));
     }},
    {"ema", Kind::kPrices, [](Data& d) { core::compute_ema(kPeriod, in(d.close), out(d.out)); },
     [](Data& d) { oracle::ema(kPeriod, d.close.data(), d.out.data(), d.n); },
     [](Data& d, Shape p) {
         core::compute_ema_panel(kPeriod, in(d.close, p), out(d.out, p), {0, p.rows});
     },
     [](Data& d, Shape p) {
         for (std::size_t r = 0; r < p.rows; ++r)
             core::compute_ema(kPeriod, in_row(d.close, r, p.cols), out_row(d.out, r, p.cols));
     }},
    {"macd", Kind::kPrices,
     [](Data& d) { core::compute_macd(kFast, kSlow, kSignal, in(d.close), out(d.out), out(d.out2), out(d.out3)); },
     [](Data& d) {
         oracle::macd(kFast, kSlow, kSignal, d.close.data(), d.out.data(), d.out2.data(), d.out3.data(), d.n);
     },
     [](Data& d, Shape p) {
         core::compute_macd_panel(kFast, kSlow, kSignal, in(d.close, p), out(d.out, p), out(d.out2, p), out(d.out3, p),
                                  {0, p.rows});
     },
     [](Data& d, Shape p) {
         for (std::size_t r = 0; r < p.rows; ++r) {
             core::compute_macd(kFast, kSlow, kSignal, in_row(d.close, r, p.cols), out_row(d.out, r, p.cols),
                                out_row(d.out2, r, p.cols), out_row(d.out3, r, p.cols));
         }
     }},
    {"atr", Kind::kRangedBars, atr_kernel, atr_floor, atr_panel, atr_loop},
    {"atr_mixed", Kind::kGappingBars, atr_kernel, atr_floor, atr_panel, atr_loop},
};

void measure(benchmark::State& state, void (*run)(Data&), Kind kind, std::size_t n) {
    Data& d = data_for(kind, n);
    for (auto _ : state) {
        run(d);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

void measure_panel(benchmark::State& state, void (*run)(Data&, Shape), Kind kind, Shape p) {
    Data& d = data_for(kind, p.rows * p.cols);
    for (auto _ : state) {
        run(d, p);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(p.rows * p.cols));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (const Indicator& ind : kIndicators) {
        for (std::size_t n : kSizes) {
            const std::string suffix = std::string("/") + ind.name + "/" + std::to_string(n);
            benchmark::RegisterBenchmark(("kernel" + suffix).c_str(), measure, ind.kernel, ind.kind, n);
            benchmark::RegisterBenchmark(("floor" + suffix).c_str(), measure, ind.floor, ind.kind, n);
        }
    }
    for (const Indicator& ind : kIndicators) {
        for (Shape p : kPanels) {
            const std::string suffix =
                std::string("/") + ind.name + "/" + std::to_string(p.rows) + "x" + std::to_string(p.cols);
            benchmark::RegisterBenchmark(("panel" + suffix).c_str(), measure_panel, ind.panel, ind.kind, p);
            benchmark::RegisterBenchmark(("loop" + suffix).c_str(), measure_panel, ind.loop, ind.kind, p);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
