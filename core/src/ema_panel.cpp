// EMA of a panel's rows: each row seeded on its own, the steady steps of several rows interleaved.
#include "access.hpp"
#include "ema_steps.hpp"
#include "panel_rows.hpp"
#include "veldspar/core/panel.hpp"

namespace veldspar::core {
namespace {

template <class A>
struct EmaRows {
    using State = EmaState;
    using Input = double;

    std::size_t period;
    std::size_t cols;
    detail::In<A> data;
    detail::Out<A> output;

    State init() const noexcept { return init_ema(period); }
    // The seed search of one row, as the batch kernel runs it.
    std::size_t warm_up(State& s, std::size_t start) const noexcept {
        return detail::ema_warm_up(s, detail::shifted(data, start), detail::shifted(output, start), cols);
    }
    [[gnu::always_inline]] Input load(std::size_t i) const noexcept { return data[i]; }
    [[gnu::always_inline]] void step(State& s, Input x, std::size_t i, std::size_t) const noexcept {
        output.set(i, detail::ema_step(s, x));
    }

    // Two rows' averages, one in each lane, and the weights all rows share.
    struct Pair {
        detail::Lanes alpha, beta, avg;
    };
    Pair pack(const State& a, const State& b) const noexcept {
        const State fixed = init();
        return {detail::broadcast<detail::Lanes>(fixed.alpha), detail::broadcast<detail::Lanes>(fixed.beta),
                detail::Lanes{a.avg, b.avg}};
    }
    static void unpack(const Pair& pair, State& a, State& b) noexcept {
        a.avg = pair.avg[0];
        b.avg = pair.avg[1];
    }
    // The lanes smooth every input in; an input that is not finite, which
    // the whole step skips, makes its lane doubt the block.
    static constexpr bool kDoubts = true;
    static detail::Masks unfit(const Pair&) noexcept { return detail::Masks{}; }
    [[gnu::always_inline]] void step_pair(Pair& s, Input a, Input b, std::size_t ia, std::size_t ib,
                                          detail::Masks& doubt) const noexcept {
        const detail::Lanes x{a, b};
        doubt |= detail::is_not_finite(x);
        const detail::Lanes y = detail::ema_smooth(s, x);
        output.set(ia, y[0]);
        output.set(ib, y[1]);
    }
};

// Four rows at a time.
inline constexpr std::size_t kLanes = 4;

template <class A>
void ema_rows(std::size_t period, detail::In<A> data, detail::Out<A> output, std::size_t cols, RowRange rows) noexcept {
    // Early exit: as compute_ema, for every row at once.
    if (period - 1 >= cols) {
        detail::fill_rows_nan(output, cols, rows);
        return;
    }
    detail::run_rows<kLanes>(EmaRows<A>{period, cols, data, output}, cols, rows);
}

}  // namespace

void compute_ema_panel(std::size_t period, ReadPanel data, WritePanel output, RowRange rows) noexcept {
    const std::size_t cols = detail::panel_cols({{data.rows, data.cols}, {output.rows, output.cols}}, rows);
    // Each output row is its own input: all NaN, as compute_ema gives.
    if (output.data == data.data) {
        detail::fill_rows_nan(detail::Out<detail::UnalignedAccess>{output.data}, cols, rows);
        return;
    }
    if (detail::aligned({data.data, output.data})) {
        ema_rows<detail::AlignedAccess>(period, {data.data}, {output.data}, cols, rows);
    } else {
        ema_rows<detail::UnalignedAccess>(period, {data.data}, {output.data}, cols, rows);
    }
}

}  // namespace veldspar::core
