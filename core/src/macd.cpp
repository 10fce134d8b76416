// MACD: fast minus slow exponential average, its signal line and the histogram, in one pass.
#include "access.hpp"
#include "history.hpp"
#include "macd_steps.hpp"

namespace veldspar::core {
namespace {

template <class A>
void macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period, detail::In<A> data,
          detail::Out<A> macd_out, detail::Out<A> signal_out, detail::Out<A> hist_out, std::size_t n) noexcept {
    MacdState s = init_macd(fast_period, slow_period, signal_period);
    // Early exit: periods the entry function refuses define no value.
    if (!detail::macd_defined(s)) {
        macd_out.fill_nan(0, n);
        signal_out.fill_nan(0, n);
        hist_out.fill_nan(0, n);
        return;
    }
    // Warm-up up to index slow_period - 1, then the steady state: F < S keeps
    // the fast window inside the slow one, which lies inside the series from
    // that index on.
    detail::macd_run(s, detail::NoHistory{}, data, macd_out, signal_out, hist_out, n);
}

// A stream's chunk: the batch body from the state reached so far, the window
// supplying the inputs before the chunk that a re-seed reaches back for.
template <class A>
void macd_chunk(MacdState& state, std::span<double> window, detail::In<A> data, detail::Out<A> macd_out,
                detail::Out<A> signal_out, detail::Out<A> hist_out, std::size_t n) noexcept {
    const detail::Ring before = detail::ring_of(window, window_size(state), state.pos);
    MacdState s = state;
    if (!detail::macd_defined(s)) {
        macd_out.fill_nan(0, n);
        signal_out.fill_nan(0, n);
        hist_out.fill_nan(0, n);
        s.count += n;
    } else {
        detail::macd_run(s, before, data, macd_out, signal_out, hist_out, n);
        s.pos = before.keep(data, n);
    }
    state = s;
}

}  // namespace

MacdState init_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period) noexcept {
    const detail::Weights fast = detail::smoothing_weights(fast_period);
    const detail::Weights slow = detail::smoothing_weights(slow_period);
    const detail::Weights signal = detail::smoothing_weights(signal_period);
    const double nan = detail::stored_nan();
    return {.fast_period = fast_period,
            .slow_period = slow_period,
            .signal_period = signal_period,
            .fast_alpha = fast.alpha,
            .fast_beta = fast.beta,
            .slow_alpha = slow.alpha,
            .slow_beta = slow.beta,
            .signal_alpha = signal.alpha,
            .signal_beta = signal.beta,
            .count = 0,
            .pos = 0,
            .fast = nan,
            .slow = nan,
            .signal = nan};
}

void compute_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period, ReadSlice data,
                  WriteSlice macd_output, WriteSlice signal_output, WriteSlice hist_output) noexcept {
    const std::size_t n = detail::common_length({data.size, macd_output.size, signal_output.size, hist_output.size});
    if (detail::aligned({data.data, macd_output.data, signal_output.data, hist_output.data})) {
        macd<detail::AlignedAccess>(fast_period, slow_period, signal_period, {data.data}, {macd_output.data},
                                    {signal_output.data}, {hist_output.data}, n);
    } else {
        macd<detail::UnalignedAccess>(fast_period, slow_period, signal_period, {data.data}, {macd_output.data},
                                      {signal_output.data}, {hist_output.data}, n);
    }
}

MacdValues update(MacdState& state, std::span<double> window, double x) noexcept {
    MacdValues v;
    macd_chunk<detail::AlignedAccess>(state, window, {&x}, {&v.macd}, {&v.signal}, {&v.hist}, 1);
    return v;
}

void update_many(MacdState& state, std::span<double> window, ReadSlice data, WriteSlice macd, WriteSlice signal,
                 WriteSlice hist) noexcept {
    const std::size_t n = detail::common_length({data.size, macd.size, signal.size, hist.size});
    if (detail::aligned({data.data, macd.data, signal.data, hist.data})) {
        macd_chunk<detail::AlignedAccess>(state, window, {data.data}, {macd.data}, {signal.data}, {hist.data}, n);
    } else {
        macd_chunk<detail::UnalignedAccess>(state, window, {data.data}, {macd.data}, {signal.data}, {hist.data}, n);
    }
}

bool is_valid(const MacdState& state) noexcept {
    const MacdState fresh = init_macd(state.fast_period, state.slow_period, state.signal_period);
    const std::size_t size = window_size(state);
    const bool fixed =
        detail::same_bits(state.fast_alpha, fresh.fast_alpha) && detail::same_bits(state.fast_beta, fresh.fast_beta) &&
        detail::same_bits(state.slow_alpha, fresh.slow_alpha) && detail::same_bits(state.slow_beta, fresh.slow_beta) &&
        detail::same_bits(state.signal_alpha, fresh.signal_alpha) &&
        detail::same_bits(state.signal_beta, fresh.signal_beta);
    // No line holds a value before index slow_period - 1 has been fed.
    const bool started = size > 0 && state.count >= state.slow_period;
    const bool lines = started || (std::isnan(state.fast) && std::isnan(state.slow) && std::isnan(state.signal));
    return fixed && state.pos == (size == 0 ? 0 : state.count % size) && lines;
}

}  // namespace veldspar::core
