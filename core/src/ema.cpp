// Exponential moving average: seeded by the mean of the first all-finite window, then smoothed.
#include "access.hpp"
#include "ema_steps.hpp"

namespace veldspar::core {
namespace {

template <class A>
void ema(std::size_t period, detail::In<A> data, detail::Out<A> output, std::size_t n) noexcept {
    // Early exit: period 0 wraps to the largest size, so one test covers
    // "no period" and "no full window".
    if (period - 1 >= n) {
        output.fill_nan(0, n);
        return;
    }
    EmaState s = init_ema(period);
    // Warm-up: nothing before the first run of `period` finite values ends.
    const std::size_t first = detail::ema_warm_up(s, data, output, n);
    // Steady state: finite values smoothed in, the others skipped.
    detail::ema_steady(s, data, output, first, n);
}

// A stream's chunk: the batch body from the state reached so far.
template <class A>
void ema_chunk(EmaState& state, detail::In<A> data, detail::Out<A> output, std::size_t n) noexcept {
    EmaState s = state;
    if (s.period == 0) {
        output.fill_nan(0, n);
        s.count += n;
    } else {
        const std::size_t first = detail::ema_warm_up(s, data, output, n);
        detail::ema_steady(s, data, output, first, n);
    }
    state = s;
}

}  // namespace

EmaState init_ema(std::size_t period) noexcept {
    const detail::Weights w = detail::smoothing_weights(period);
    return {.period = period,
            .alpha = w.alpha,
            .beta = w.beta,
            .count = 0,
            .run = 0,
            .sum = -0.0,
            .avg = detail::stored_nan()};
}

void compute_ema(std::size_t period, ReadSlice data, WriteSlice output) noexcept {
    const std::size_t n = detail::common_length({data.size, output.size});
    // The output is its own input: it is all NaN before the first input is
    // read, so the seed search finds no finite window.
    if (output.data == data.data) {
        detail::Out<detail::UnalignedAccess>{output.data}.fill_nan(0, n);
        return;
    }
    if (detail::aligned({data.data, output.data})) {
        ema<detail::AlignedAccess>(period, {data.data}, {output.data}, n);
    } else {
        ema<detail::UnalignedAccess>(period, {data.data}, {output.data}, n);
    }
}

double update(EmaState& state, double x) noexcept {
    double y;
    ema_chunk<detail::AlignedAccess>(state, {&x}, {&y}, 1);
    return y;
}

void update_many(EmaState& state, ReadSlice data, WriteSlice output) noexcept {
    const std::size_t n = detail::common_length({data.size, output.size});
    if (detail::aligned({data.data, output.data})) {
        ema_chunk<detail::AlignedAccess>(state, {data.data}, {output.data}, n);
    } else {
        ema_chunk<detail::UnalignedAccess>(state, {data.data}, {output.data}, n);
    }
}

bool is_valid(const EmaState& state) noexcept {
    const EmaState fresh = init_ema(state.period);
    const bool seeded = state.period > 0 && detail::ema_seeded(state);
    return detail::same_bits(state.alpha, fresh.alpha) && detail::same_bits(state.beta, fresh.beta) &&
           state.run <= state.period && state.run <= state.count && (seeded || std::isnan(state.avg));
}

}  // namespace veldspar::core
