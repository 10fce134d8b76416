// The kernels as plain one-value-at-a-time loops over vectors: no blocks, no
// access policies, no shared seed search. Speed work on the kernels is checked
// against these, so they follow the definitions in core.hpp step by step.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "test_support.hpp"

namespace veldspar::test::plain {

using Series = std::vector<double>;

inline Series sma(std::size_t period, const Series& x) {
    Series out(x.size(), kNaN);
    if (period == 0 || period > x.size()) return out;
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) sum += x[i];
    const double inv = 1.0 / static_cast<double>(period);
    out[period - 1] = sum * inv;
    for (std::size_t i = period; i < x.size(); ++i) {
        sum += x[i] - x[i - period];
        out[i] = sum * inv;
    }
    return out;
}

inline Series ema(std::size_t period, const Series& x) {
    const std::size_t n = x.size();
    Series out(n, kNaN);
    if (period == 0 || period > n) return out;
    // Every candidate window, checked from its start, until one is all finite.
    std::size_t start = 0;
    for (;; ++start) {
        if (start + period > n) return out;
        std::size_t j = start;
        while (j < start + period && std::isfinite(x[j])) ++j;
        if (j == start + period) break;
    }
    double sum = -0.0;
    for (std::size_t j = start; j < start + period; ++j) sum += x[j];
    double avg = sum / static_cast<double>(period);
    out[start + period - 1] = avg;
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double beta = 1.0 - alpha;
    for (std::size_t i = start + period; i < n; ++i) {
        if (!std::isfinite(x[i])) continue;
        avg = alpha * x[i] + beta * avg;
        out[i] = avg;
    }
    return out;
}

struct Macd {
    Series line, signal, hist;
};

inline Macd macd(std::size_t fast_p, std::size_t slow_p, std::size_t signal_p, const Series& x) {
    const std::size_t n = x.size();
    Macd out{Series(n, kNaN), Series(n, kNaN), Series(n, kNaN)};
    if (fast_p == 0 || signal_p == 0 || fast_p >= slow_p) return out;
    auto mean_back = [&](std::size_t i, std::size_t count) {
        double sum = -0.0;
        for (std::size_t k = 0; k < count; ++k) sum += x[i - k];
        return sum / static_cast<double>(count);
    };
    auto weight = [](std::size_t p) { return 2.0 / (static_cast<double>(p) + 1.0); };
    const double fa = weight(fast_p), sa = weight(slow_p), ga = weight(signal_p);
    double fast = kNaN, slow = kNaN, sig = kNaN;
    for (std::size_t i = slow_p - 1; i < n; ++i) {
        if (std::isnan(x[i])) continue;
        if (std::isnan(fast)) {
            fast = mean_back(i, fast_p);
            slow = mean_back(i, slow_p);
        } else {
            slow = sa * x[i] + (1.0 - sa) * slow;
            fast = fa * x[i] + (1.0 - fa) * fast;
        }
        const double m = fast - slow;
        out.line[i] = m;
        if (!std::isnan(sig)) {
            sig = ga * m + (1.0 - ga) * sig;
        } else if (i >= slow_p + signal_p - 2) {
            sig = m;
        }
        out.signal[i] = sig;
        if (!std::isnan(sig)) out.hist[i] = m - sig;
    }
    return out;
}

inline double true_range(double h, double l, double c) {
    auto max = [](double a, double b) { return (std::isnan(a) || a < b) ? b : a; };
    return max(max(h - l, std::fabs(h - c)), std::fabs(l - c));
}

inline Series atr(std::size_t period, const Series& h, const Series& l, const Series& c) {
    const std::size_t n = h.size();
    Series out(n, kNaN);
    if (period == 0 || n <= period) return out;
    double sum = +0.0;
    for (std::size_t j = 1; j <= period; ++j) sum += true_range(h[j], l[j], c[j - 1]);
    double avg = sum / static_cast<double>(period);
    out[period] = avg;
    const double k = 1.0 / static_cast<double>(period);
    for (std::size_t i = period + 1; i < n; ++i) {
        avg = avg + k * (true_range(h[i], l[i], c[i - 1]) - avg);
        out[i] = avg;
    }
    return out;
}

}  // namespace veldspar::test::plain
