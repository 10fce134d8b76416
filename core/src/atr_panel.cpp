// ATR of a panel's rows: each row's true ranges and average in its own chain, several rows interleaved.
#include "access.hpp"
#include "atr_steps.hpp"
#include "panel_rows.hpp"
#include "veldspar/core/panel.hpp"

namespace veldspar::core {
namespace {

template <class A>
struct AtrRows {
    using State = AtrState;
    struct Input {
        double high, low, close;
    };

    std::size_t period;
    std::size_t cols;
    detail::In<A> high, low, close;
    detail::Out<A> output;

    State init() const noexcept { return init_atr(period); }
    // The seed mean of one row, as the batch kernel sums it.
    std::size_t warm_up(State& s, std::size_t start) const noexcept {
        return detail::atr_warm_up(s, detail::shifted(high, start), detail::shifted(low, start),
                                   detail::shifted(close, start), detail::shifted(output, start), cols);
    }
    [[gnu::always_inline]] Input load(std::size_t i) const noexcept { return {high[i], low[i], close[i]}; }
    [[gnu::always_inline]] void step(State& s, Input bar, std::size_t i, std::size_t) const noexcept {
        output.set(i, detail::atr_step(s, detail::atr_true_range(s, bar.high, bar.low, bar.close)));
    }

    // Two rows' running values, one in each lane, and the weight all rows share.
    struct Pair {
        detail::Lanes k, prev_close, avg;
    };
    Pair pack(const State& a, const State& b) const noexcept {
        using detail::Lanes;
        return {detail::broadcast<Lanes>(init().k), Lanes{a.prev_close, b.prev_close}, Lanes{a.avg, b.avg}};
    }
    static void unpack(const Pair& pair, State& a, State& b) noexcept {
        a.prev_close = pair.prev_close[0];
        b.prev_close = pair.prev_close[1];
        a.avg = pair.avg[0];
        b.avg = pair.avg[1];
    }
    // The lanes' step is the whole step: no input or state needs more.
    static constexpr bool kDoubts = false;
    static detail::Masks unfit(const Pair&) noexcept { return detail::Masks{}; }
    [[gnu::always_inline]] void step_pair(Pair& s, Input a, Input b, std::size_t ia, std::size_t ib,
                                          detail::Masks&) const noexcept {
        using detail::Lanes;
        const Lanes tr = detail::atr_true_range(s, Lanes{a.high, b.high}, Lanes{a.low, b.low}, Lanes{a.close, b.close});
        const Lanes y = detail::atr_step(s, tr);
        output.set(ia, y[0]);
        output.set(ib, y[1]);
    }
};

inline constexpr std::size_t kLanes = 4;

template <class A>
void atr_rows(const AtrRows<A>& p, RowRange rows) noexcept {
    // Early exit: bar 0 has no true range, so a value needs period + 1 bars, as in compute_atr.
    if (p.period == 0 || p.cols <= p.period) {
        detail::fill_rows_nan(p.output, p.cols, rows);
        return;
    }
    detail::run_rows<kLanes>(p, p.cols, rows);
}

}  // namespace

void compute_atr_panel(std::size_t period, ReadPanel high, ReadPanel low, ReadPanel close, WritePanel output,
                       RowRange rows) noexcept {
    const std::size_t cols = detail::panel_cols(
        {{high.rows, high.cols}, {low.rows, low.cols}, {close.rows, close.cols}, {output.rows, output.cols}}, rows);
    if (detail::aligned({high.data, low.data, close.data, output.data})) {
        atr_rows<detail::AlignedAccess>({period, cols, {high.data}, {low.data}, {close.data}, {output.data}}, rows);
    } else {
        atr_rows<detail::UnalignedAccess>({period, cols, {high.data}, {low.data}, {close.data}, {output.data}}, rows);
    }
}

}  // namespace veldspar::core
