// Shared helpers of the core tests: bit patterns, reproducible series, misaligned slices and the oracle's results.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "oracle.hpp"
#include "veldspar/core/core.hpp"

namespace veldspar::test {

using Series = std::vector<double>;

inline const double kNaN = [] {
    double v;
    std::memcpy(&v, &core::kNaNBits, sizeof v);
    return v;
}();

inline std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out(v.size());
    if (!v.empty()) std::memcpy(out.data(), v.data(), v.size() * sizeof(double));
    return out;
}

// Bit patterns with the sign of every NaN cleared. NaNs that arithmetic makes
// (inf - inf, NaN + NaN) take their sign from the hardware and from operand
// order, which the compiler may swap; only the NaN a kernel stores for "no
// value" has a fixed pattern, and tests check those positions with bits().
inline std::vector<std::uint64_t> value_bits(const std::vector<double>& v) {
    auto out = bits(v);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (std::isnan(v[i])) out[i] &= ~(std::uint64_t{1} << 63);
    }
    return out;
}

// A price-like random walk; `hostile` sprinkles NaN, infinities, -0.0 and
// extreme magnitudes.
inline std::vector<double> random_series(std::size_t n, std::uint64_t seed, bool hostile) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 19);
    std::vector<double> x(n);
    double price = 100.0;
    for (auto& v : x) {
        price += step(rng);
        v = price;
        if (!hostile) continue;
        switch (pick(rng)) {
            case 0: v = std::numeric_limits<double>::quiet_NaN(); break;
            case 1: v = std::numeric_limits<double>::infinity(); break;
            case 2: v = -std::numeric_limits<double>::infinity(); break;
            case 3: v = -0.0; break;
            case 4: v = 1e308; break;
            case 5: v = -5e-324; break;
            default: break;
        }
    }
    return x;
}

// A random walk whose values are replaced, each with probability `density`,
// by NaN, +inf, -inf or -0.0.
inline std::vector<double> speckled(std::size_t n, std::uint64_t seed, double density) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 3);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), -0.0};
    std::vector<double> x(n);
    double price = 100.0;
    for (auto& v : x) {
        price += step(rng);
        v = coin(rng) < density ? specials[pick(rng)] : price;
    }
    return x;
}

// NaN signs aside, the first position where `got` differs from `want`.
inline ::testing::AssertionResult same_values(const std::vector<double>& got, const std::vector<double>& want,
                                              const std::string& where) {
    const auto g = value_bits(got), w = value_bits(want);
    if (g.size() != w.size()) return ::testing::AssertionFailure() << where << ": lengths differ";
    for (std::size_t i = 0; i < g.size(); ++i) {
        if (g[i] != w[i]) {
            return ::testing::AssertionFailure()
                   << where << ": index " << i << " is " << got[i] << ", want " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// A copy of `values` placed `offset` bytes past an 8-aligned address (0:
// aligned), as NumPy may place an array; read() and write() are its slice.
class Placed {
public:
    Placed(const std::vector<double>& values, std::size_t offset) : store_(values.size() + 1), size_(values.size()) {
        data_ = reinterpret_cast<unsigned char*>(store_.data()) + offset;
        for (std::size_t i = 0; i < size_; ++i) std::memcpy(data_ + i * sizeof(double), &values[i], sizeof(double));
    }
    // Not copyable: the address points into this object's own storage.
    Placed(const Placed&) = delete;
    Placed& operator=(const Placed&) = delete;

    core::ReadSlice read() const { return {data_, size_}; }
    core::WriteSlice write() { return {data_, size_}; }
    std::vector<double> values() const {
        std::vector<double> out(size_);
        for (std::size_t i = 0; i < size_; ++i) std::memcpy(&out[i], data_ + i * sizeof(double), sizeof(double));
        return out;
    }

private:
    std::vector<double> store_;
    std::size_t size_;
    unsigned char* data_;
};

// `n` copies of a value no kernel writes, so that a position left unwritten shows.
inline std::vector<double> unwritten(std::size_t n) { return std::vector<double>(n, 123.0); }

// The oracle's results for whole series.
namespace want {

inline Series sma(std::size_t period, const Series& x) {
    Series out(x.size());
    oracle::sma(period, x.data(), out.data(), x.size());
    return out;
}

inline Series ema(std::size_t period, const Series& x) {
    Series out(x.size());
    oracle::ema(period, x.data(), out.data(), x.size());
    return out;
}

struct Macd {
    Series line, signal, hist;
};

inline Macd macd(std::size_t fast, std::size_t slow, std::size_t signal, const Series& x) {
    const std::size_t n = x.size();
    Macd out{Series(n), Series(n), Series(n)};
    oracle::macd(fast, slow, signal, x.data(), out.line.data(), out.signal.data(), out.hist.data(), n);
    return out;
}

inline Series atr(std::size_t period, const Series& high, const Series& low, const Series& close) {
    Series out(high.size());
    oracle::atr(period, high.data(), low.data(), close.data(), out.data(), high.size());
    return out;
}

}  // namespace want

}  // namespace veldspar::test
