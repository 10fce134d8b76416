// Simple moving average: a running window sum times the period's reciprocal.
#include "access.hpp"
#include "history.hpp"
#include "sma_steps.hpp"

namespace veldspar::core {
namespace {

template <class A>
void sma(std::size_t period, detail::In<A> data, detail::Out<A> output, std::size_t n) noexcept {
    // Early exit: period 0 wraps to the largest size, so one test covers
    // "no period" and "no full window".
    if (period - 1 >= n) {
        output.fill_nan(0, n);
        return;
    }
    SmaState s = init_sma(period);
    // Warm-up: no average before the first full window.
    const std::size_t first = detail::sma_warm_up(s, data, output, n);
    // Steady state: entering value minus leaving value, added to the sum.
    detail::sma_steady(s, detail::NoHistory{}, data, output, first, n);
}

// A stream's chunk: the batch body from the state reached so far, the window
// supplying the values that leave before the chunk has its own.
template <class A>
void sma_chunk(SmaState& state, std::span<double> window, detail::In<A> data, detail::Out<A> output,
               std::size_t n) noexcept {
    const detail::Ring before = detail::ring_of(window, window_size(state), state.pos);
    SmaState s = state;
    if (s.period == 0) {
        output.fill_nan(0, n);
        s.count += n;
    } else {
        const std::size_t first = detail::sma_warm_up(s, data, output, n);
        detail::sma_steady(s, before, data, output, first, n);
        s.pos = before.keep(data, n);
    }
    state = s;
}

}  // namespace

SmaState init_sma(std::size_t period) noexcept {
    return {.period = period, .inv = 1.0 / static_cast<double>(period), .count = 0, .pos = 0, .sum = -0.0};
}

void compute_sma(std::size_t period, ReadSlice data, WriteSlice output) noexcept {
    const std::size_t n = detail::common_length({data.size, output.size});
    // The output is its own input: it is all NaN before the first input is
    // read, so the sum is NaN from that input on and so is every average.
    if (output.data == data.data) {
        detail::Out<detail::UnalignedAccess>{output.data}.fill_nan(0, n);
        return;
    }
    if (detail::aligned({data.data, output.data})) {
        sma<detail::AlignedAccess>(period, {data.data}, {output.data}, n);
    } else {
        sma<detail::UnalignedAccess>(period, {data.data}, {output.data}, n);
    }
}

double update(SmaState& state, std::span<double> window, double x) noexcept {
    double y;
    sma_chunk<detail::AlignedAccess>(state, window, {&x}, {&y}, 1);
    return y;
}

void update_many(SmaState& state, std::span<double> window, ReadSlice data, WriteSlice output) noexcept {
    const std::size_t n = detail::common_length({data.size, output.size});
    if (detail::aligned({data.data, output.data})) {
        sma_chunk<detail::AlignedAccess>(state, window, {data.data}, {output.data}, n);
    } else {
        sma_chunk<detail::UnalignedAccess>(state, window, {data.data}, {output.data}, n);
    }
}

bool is_valid(const SmaState& state) noexcept {
    const std::size_t size = window_size(state);
    return detail::same_bits(state.inv, init_sma(state.period).inv) &&
           state.pos == (size == 0 ? 0 : state.count % size);
}

}  // namespace veldspar::core
