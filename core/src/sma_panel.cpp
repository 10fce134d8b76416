// SMA of a panel's rows: each row's window sum in its own chain, several rows interleaved.
#include "access.hpp"
#include "lanes.hpp"
#include "sma_steps.hpp"
#include "veldspar/core/panel.hpp"

namespace veldspar::core {
namespace {

template <class A>
struct SmaRows {
    using State = SmaState;
    // The entering-minus-leaving difference: it depends on no state, so it
    // is formed with the loads.
    using Input = double;

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
    [[gnu::always_inline]] Input load(std::size_t i) const noexcept {
        return detail::sma_difference(data[i], data[i - period]);
    }
    [[gnu::always_inline]] void step(State& s, Input difference, std::size_t i, std::size_t) const noexcept {
        output.set(i, detail::sma_advance(s, difference));
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
    detail::run_lanes<kLanes>(SmaRows<A>{period, cols, data, output}, cols, rows);
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
