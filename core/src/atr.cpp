// Average true range: the mean of the first `period` true ranges, then smoothing with weight 1/period.
#include <cmath>

#include "access.hpp"
#include "atr_steps.hpp"

namespace veldspar::core {
namespace {

template <class A>
void atr(std::size_t period, detail::In<A> high, detail::In<A> low, detail::In<A> close, detail::Out<A> output,
         std::size_t n) noexcept {
    // Early exit: bar 0 has no true range, so a value needs period + 1 bars.
    if (period == 0 || n <= period) {
        output.fill_nan(0, n);
        return;
    }
    AtrState s = init_atr(period);
    // Warm-up: the mean of TR(1)..TR(period) lands at output[period].
    const std::size_t first = detail::atr_warm_up(s, high, low, close, output, n);
    // Steady state: each later true range smoothed in.
    detail::atr_steady(s, high, low, close, output, first, n);
}

// A stream's chunk: the batch body from the state reached so far.
template <class A>
void atr_chunk(AtrState& state, detail::In<A> high, detail::In<A> low, detail::In<A> close, detail::Out<A> output,
               std::size_t n) noexcept {
    AtrState s = state;
    if (s.period == 0) {
        output.fill_nan(0, n);
        s.count += n;
    } else {
        const std::size_t first = detail::atr_warm_up(s, high, low, close, output, n);
        detail::atr_steady(s, high, low, close, output, first, n);
    }
    state = s;
}

}  // namespace

AtrState init_atr(std::size_t period) noexcept {
    const double nan = detail::stored_nan();
    return {.period = period,
            .k = 1.0 / static_cast<double>(period),
            .count = 0,
            .prev_close = nan,
            .sum = +0.0,
            .avg = nan};
}

void compute_atr(std::size_t period, ReadSlice high, ReadSlice low, ReadSlice close, WriteSlice output) noexcept {
    const std::size_t n = detail::common_length({high.size, low.size, close.size, output.size});
    if (detail::aligned({high.data, low.data, close.data, output.data})) {
        atr<detail::AlignedAccess>(period, {high.data}, {low.data}, {close.data}, {output.data}, n);
    } else {
        atr<detail::UnalignedAccess>(period, {high.data}, {low.data}, {close.data}, {output.data}, n);
    }
}

double update(AtrState& state, double high, double low, double close) noexcept {
    double y;
    atr_chunk<detail::AlignedAccess>(state, {&high}, {&low}, {&close}, {&y}, 1);
    return y;
}

void update_many(AtrState& state, ReadSlice high, ReadSlice low, ReadSlice close, WriteSlice output) noexcept {
    const std::size_t n = detail::common_length({high.size, low.size, close.size, output.size});
    if (detail::aligned({high.data, low.data, close.data, output.data})) {
        atr_chunk<detail::AlignedAccess>(state, {high.data}, {low.data}, {close.data}, {output.data}, n);
    } else {
        atr_chunk<detail::UnalignedAccess>(state, {high.data}, {low.data}, {close.data}, {output.data}, n);
    }
}

bool is_valid(const AtrState& state) noexcept {
    // No average before bar `period` has been fed.
    const bool averaged = state.period > 0 && state.count > state.period;
    return detail::same_bits(state.k, init_atr(state.period).k) && (averaged || std::isnan(state.avg));
}

}  // namespace veldspar::core
