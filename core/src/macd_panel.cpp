// MACD of a panel's rows: each row re-seeded on its own, the steps of several rows interleaved.
#include "access.hpp"
#include "macd_steps.hpp"
#include "panel_rows.hpp"
#include "veldspar/core/panel.hpp"

namespace veldspar::core {
namespace {

template <class A>
struct MacdRows {
    using State = MacdState;
    using Input = double;

    std::size_t fast_period, slow_period, signal_period;
    std::size_t cols;
    detail::In<A> data;
    detail::Out<A> macd, signal, hist;

    State init() const noexcept { return init_macd(fast_period, slow_period, signal_period); }
    // No value before column slow_period - 1, whatever the row holds.
    std::size_t warm_up(State&, std::size_t start) const noexcept {
        const std::size_t first = slow_period - 1 < cols ? slow_period - 1 : cols;
        macd.fill_nan(start, start + first);
        signal.fill_nan(start, start + first);
        hist.fill_nan(start, start + first);
        return first;
    }
    [[gnu::always_inline]] Input load(std::size_t i) const noexcept { return data[i]; }
    // From column slow_period - 1 on, the windows a re-seed reads lie in the same row.
    [[gnu::always_inline]] void step(State& s, Input x, std::size_t i, std::size_t column) const noexcept {
        const auto window = [&](std::size_t k) { return data[i - k]; };
        detail::macd_step(s, column, x, window, macd, signal, hist, i);
    }

    // Two rows' averages and signal lines, one in each lane, and the weights
    // all rows share.
    struct Pair {
        detail::Lanes fast_alpha, fast_beta, slow_alpha, slow_beta, signal_alpha, signal_beta;
        detail::Lanes fast, slow, signal;
    };
    Pair pack(const State& a, const State& b) const noexcept {
        using detail::broadcast;
        using detail::Lanes;
        const State fixed = init();
        return {broadcast<Lanes>(fixed.fast_alpha),
                broadcast<Lanes>(fixed.fast_beta),
                broadcast<Lanes>(fixed.slow_alpha),
                broadcast<Lanes>(fixed.slow_beta),
                broadcast<Lanes>(fixed.signal_alpha),
                broadcast<Lanes>(fixed.signal_beta),
                Lanes{a.fast, b.fast},
                Lanes{a.slow, b.slow},
                Lanes{a.signal, b.signal}};
    }
    static void unpack(const Pair& pair, State& a, State& b) noexcept {
        a.fast = pair.fast[0];
        b.fast = pair.fast[1];
        a.slow = pair.slow[0];
        b.slow = pair.slow[1];
        a.signal = pair.signal[0];
        b.signal = pair.signal[1];
    }
    // The lanes take the steady arithmetic, which is the whole step for
    // rows whose averages and signal line are seeded (NaN: to be seeded).
    // Whatever needs more shows in the new signal line: a NaN input makes
    // both averages NaN, a NaN average stays NaN through the smoothing, and
    // so does the signal line; its lane doubts the block.
    static constexpr bool kDoubts = true;
    static detail::Masks unfit(const Pair& s) noexcept { return detail::is_nan(s.fast) | detail::is_nan(s.signal); }
    [[gnu::always_inline]] void step_pair(Pair& s, Input a, Input b, std::size_t ia, std::size_t ib,
                                          detail::Masks& doubt) const noexcept {
        const detail::Lanes m = detail::macd_smooth(s, detail::Lanes{a, b});
        const detail::Lanes g = detail::macd_signal_smooth(s, m);
        doubt |= detail::is_nan(g);
        const detail::Lanes h = detail::macd_hist(s, m);
        macd.set(ia, m[0]);
        macd.set(ib, m[1]);
        signal.set(ia, g[0]);
        signal.set(ib, g[1]);
        hist.set(ia, h[0]);
        hist.set(ib, h[1]);
    }
};

inline constexpr std::size_t kLanes = 4;

template <class A>
void macd_rows(const MacdRows<A>& p, RowRange rows) noexcept {
    // Early exit: periods the entry functions refuse define no value, as in compute_macd.
    if (!detail::macd_defined(p.init())) {
        detail::fill_rows_nan(p.macd, p.cols, rows);
        detail::fill_rows_nan(p.signal, p.cols, rows);
        detail::fill_rows_nan(p.hist, p.cols, rows);
        return;
    }
    detail::run_rows<kLanes>(p, p.cols, rows);
}

}  // namespace

void compute_macd_panel(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period, ReadPanel data,
                        WritePanel macd, WritePanel signal, WritePanel hist, RowRange rows) noexcept {
    const std::size_t cols = detail::panel_cols(
        {{data.rows, data.cols}, {macd.rows, macd.cols}, {signal.rows, signal.cols}, {hist.rows, hist.cols}}, rows);
    if (detail::aligned({data.data, macd.data, signal.data, hist.data})) {
        using A = detail::AlignedAccess;
        macd_rows<A>(
            {fast_period, slow_period, signal_period, cols, {data.data}, {macd.data}, {signal.data}, {hist.data}},
            rows);
    } else {
        using A = detail::UnalignedAccess;
        macd_rows<A>(
            {fast_period, slow_period, signal_period, cols, {data.data}, {macd.data}, {signal.data}, {hist.data}},
            rows);
    }
}

}  // namespace veldspar::core
