// The indicators as plain one-value-at-a-time loops, written from their
// definitions and nothing else: no blocks, no access policies, no shared seed
// search, no state carried between calls. The core's tests compare every
// kernel and stream against these, and bench/kernels.cpp times them as the
// floor each kernel is measured against, so they allocate nothing and keep
// each indicator's dependency chain as it is. Outputs must not overlap inputs.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace veldspar::oracle {

// The NaN stored wherever an indicator has no value.
inline double none() noexcept { return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000}); }

inline void fill_none(double* out, std::size_t from, std::size_t to) noexcept {
    for (std::size_t i = from; i < to; ++i) out[i] = none();
}

// Sum of data[from], ..., data[to - 1] in index order from `start`.
inline double sum_up(double start, const double* data, std::size_t from, std::size_t to) noexcept {
    double sum = start;
    for (std::size_t i = from; i < to; ++i) sum = sum + data[i];
    return sum;
}

// Simple moving average: the window sum from -0.0 times 1/period, then each
// entering-minus-leaving difference added to the sum.
inline void sma(std::size_t period, const double* data, double* out, std::size_t n) noexcept {
    if (period == 0 || period > n) return fill_none(out, 0, n);
    fill_none(out, 0, period - 1);
    double sum = sum_up(-0.0, data, 0, period);
    const double inv = 1.0 / static_cast<double>(period);
    out[period - 1] = sum * inv;
    for (std::size_t i = period; i < n; ++i) {
        const double d = data[i] - data[i - period];
        sum = sum + d;
        out[i] = sum * inv;
    }
}

// Exponential moving average: seeded by the mean of the first window of
// `period` finite values (candidate windows examined from each start in
// turn), then alpha*x + beta*ema for each finite x; NaN elsewhere.
inline void ema(std::size_t period, const double* data, double* out, std::size_t n) noexcept {
    if (period == 0 || period > n) return fill_none(out, 0, n);
    std::size_t start = 0;
    for (;; ++start) {
        if (start + period > n) return fill_none(out, 0, n);
        std::size_t j = start;
        while (j < start + period && std::isfinite(data[j])) ++j;
        if (j == start + period) break;
    }
    const std::size_t seed = start + period - 1;
    fill_none(out, 0, seed);
    double avg = sum_up(-0.0, data, start, start + period) / static_cast<double>(period);
    out[seed] = avg;
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double beta = 1.0 - alpha;
    for (std::size_t i = seed + 1; i < n; ++i) {
        if (std::isfinite(data[i])) {
            avg = alpha * data[i] + beta * avg;
            out[i] = avg;
        } else {
            out[i] = none();
        }
    }
}

// Mean of data[i], data[i-1], ..., data[i-count+1], summed newest first from -0.0.
inline double mean_back(const double* data, std::size_t i, std::size_t count) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < count; ++k) sum = sum + data[i - k];
    return sum / static_cast<double>(count);
}

// MACD, index by index: NaN inputs and indices before slow-1 change nothing;
// a NaN fast average re-seeds both from their windows; the signal line is
// seeded by one MACD value from index slow+signal-2 (wrapping) on. Periods
// outside 0 < fast < slow, signal > 0 give NaN everywhere.
inline void macd(std::size_t fast, std::size_t slow, std::size_t signal, const double* data, double* macd,
                 double* signal_out, double* hist, std::size_t n) noexcept {
    const bool defined = fast > 0 && signal > 0 && fast < slow;
    const double fa = 2.0 / (static_cast<double>(fast) + 1.0), fb = 1.0 - fa;
    const double sa = 2.0 / (static_cast<double>(slow) + 1.0), sb = 1.0 - sa;
    const double ga = 2.0 / (static_cast<double>(signal) + 1.0), gb = 1.0 - ga;
    double f = none(), s = none(), g = none();
    for (std::size_t i = 0; i < n; ++i) {
        const double x = data[i];
        if (!defined || std::isnan(x) || i < slow - 1) {
            macd[i] = signal_out[i] = hist[i] = none();
            continue;
        }
        if (std::isnan(f)) {
            f = mean_back(data, i, fast);
            s = mean_back(data, i, slow);
        } else {
            s = sa * x + sb * s;
            f = fa * x + fb * f;
        }
        const double m = f - s;
        macd[i] = m;
        if (std::isnan(g)) {
            if (i >= slow + signal - 2) g = m;
        } else {
            g = ga * m + gb * g;
        }
        signal_out[i] = g;
        hist[i] = std::isnan(g) ? none() : m - g;
    }
}

// b when a is NaN or a < b, else a, with no branch on which wins (a branch
// would mispredict on bars where the terms win at random, and the floor would
// time the predictor rather than the dependency chain): the masks of the two
// compares select the bits, in GCC's generic vectors, which x86-64 keeps in
// vector registers.
typedef double Pair __attribute__((vector_size(16)));
typedef std::int64_t PairMask __attribute__((vector_size(16)));

inline double max(double a, double b) noexcept {
    const Pair pa = {a}, pb = {b};
    const PairMask a_is_nan = pa != pa;
    const Pair ordered = pa < pb ? pb : pa;
    return reinterpret_cast<Pair>((a_is_nan & reinterpret_cast<PairMask>(pb)) |
                                  (~a_is_nan & reinterpret_cast<PairMask>(ordered)))[0];
}

inline double true_range(double h, double l, double prev_close) noexcept {
    return max(max(h - l, std::fabs(h - prev_close)), std::fabs(l - prev_close));
}

// Average true range: the mean of TR(1)..TR(period) (from +0.0, divided by
// period) at index period, then atr + (1/period)*(TR - atr).
inline void atr(std::size_t period, const double* high, const double* low, const double* close, double* out,
                std::size_t n) noexcept {
    if (period == 0 || n <= period) return fill_none(out, 0, n);
    fill_none(out, 0, period);
    double sum = +0.0;
    for (std::size_t j = 1; j <= period; ++j) sum = sum + true_range(high[j], low[j], close[j - 1]);
    double avg = sum / static_cast<double>(period);
    out[period] = avg;
    const double k = 1.0 / static_cast<double>(period);
    for (std::size_t i = period + 1; i < n; ++i) {
        avg = avg + k * (true_range(high[i], low[i], close[i - 1]) - avg);
        out[i] = avg;
    }
}

}  // namespace veldspar::oracle
