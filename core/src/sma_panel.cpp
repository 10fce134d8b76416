// SMA of a panel's rows: each row's window sum in its own chain, several rows interleaved.
#include "access.hpp"
#include "panel_rows.hpp"
#include "sma_steps.hpp"
#include "veldspar/core/panel.hpp"

namespace veldspar::core {
namespace {

template <class A>
struct SmaRows {
    using State = SmaState;
    struct Input {
        double entering, leaving;
    };

    std::size_t period;
    std::size_t cols;
    detail::In<A> data;
    detail::Out<A> output;

    State init() const noexcept { return init_sma(period); }
    // The first full window of one row, as the batch kernel sums it.
    std::size_t warm_up(State& s, std::size_t start) const noexcept {
        return detail::sma_warm_up(s, detail::shifted(data, start), detail::shifted(output, start), cols);
    }
    // From column `period` on, the leaving value lies in the same row.
    [[gnu::always_inline]] Input load(std::size_t i) const noexcept { return {data[i], data[i - period]}; }
    [[gnu::always_inline]] void step(State& s, Input x, std::size_t i, std::size_t) const noexcept {
        output.set(i, detail::sma_advance(s, detail::sma_difference(x.entering, x.leaving)));
    }

    // Two rows' sums, one in each lane, and the reciprocal all rows share.
    struct Pair {
        detail::Lanes inv, sum;
    };
    Pair pack(const State& a, const State& b) const noexcept {
        return {detail::broadcast<detail::Lanes>(init().inv), detail::Lanes{a.sum, b.sum}};
    }
    static void unpack(const Pair& pair, State& a, State& b) noexcept {
        a.sum = pair.sum[0];
        b.sum = pair.sum[1];
    }
    // The lanes' step is the whole step: no input or state needs more.
    static constexpr bool kDoubts = false;
    static detail::Masks unfit(const Pair&) noexcept { return detail::Masks{}; }
    [[gnu::always_inline]] void step_pair(Pair& s, Input a, Input b, std::size_t ia, std::size_t ib,
                                          detail::Masks&) const noexcept {
        using detail::Lanes;
        const Lanes y =
            detail::sma_advance(s, detail::sma_difference(Lanes{a.entering, b.entering}, Lanes{a.leaving, b.leaving}));
        output.set(ia, y[0]);
        output.set(ib, y[1]);
    }
};

inline constexpr std::size_t kLanes = 4;

template <class A>
void sma_rows(std::size_t period, detail::In<A> data, detail::Out<A> output, std::size_t cols, RowRange rows) noexcept {
    // Early exit: as compute_sma, for every row at once.
    if (period - 1 >= cols) {
        detail::fill_rows_nan(output, cols, rows);
        return;
    }
    detail::run_rows<kLanes>(SmaRows<A>{period, cols, data, output}, cols, rows);
}

}  // namespace

void compute_sma_panel(std::size_t period, ReadPanel data, WritePanel output, RowRange rows) noexcept {
    const std::size_t cols = detail::panel_cols({{data.rows, data.cols}, {output.rows, output.cols}}, rows);
    // Each output row is its own input: all NaN, as compute_sma gives.
    if (output.data == data.data) {
        detail::fill_rows_nan(detail::Out<detail::UnalignedAccess>{output.data}, cols, rows);
        return;
    }
    if (detail::aligned({data.data, output.data})) {
        sma_rows<detail::AlignedAccess>(period, {data.data}, {output.data}, cols, rows);
    } else {
        sma_rows<detail::UnalignedAccess>(period, {data.data}, {output.data}, cols, rows);
    }
}

}  // namespace veldspar::core
