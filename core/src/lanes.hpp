// Several rows of a panel in flight at once, each in its own dependency chain.
//
// A panel kernel keeps up to W rows in lanes: each lane holds one row's state
// in locals and where that row stands. A round advances every lane by the
// same number of columns, one column of every lane after another, so the W
// chains of the one per-bar step overlap in the core's pipelines instead of
// each waiting for its own previous result. A row enters a lane once its
// warm-up has run on its own (that is where rows may differ: EMA seeds
// wherever a row's first run of finite values ends) and leaves it at the end
// of its row, and the next row of the range takes its place; rows need not
// stand at the same column, so a late seed keeps its neighbours interleaved.
// Once the range has no rows left to bring in, the remaining lanes run on
// narrower.
//
// The indicator is a policy P with:
//   State                      the indicator's state, as the batch kernel keeps it;
//   Input                      what a step reads of one position;
//   State init() const;
//   std::size_t warm_up(State&, std::size_t row_start) const
//                              runs the warm-up of the row beginning at panel
//                              index row_start and returns the column where its
//                              steady state begins (cols if it has none);
//   Input load(std::size_t i) const
//                              the inputs at panel index i;
//   void step(State&, Input, std::size_t i, std::size_t column) const
//                              the steady step at panel index i, column `column`.
// Within a column the lanes' inputs are all loaded before the first step
// stores: an output row may lie a multiple of 4096 bytes from an input row,
// and a load behind a store to such an address waits on it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <utility>

#include "access.hpp"
#include "messages.hpp"
#include "veldspar/core/panel.hpp"

namespace veldspar::core::detail {

struct PanelShape {
    std::size_t rows;
    std::size_t cols;
};

// The columns of every panel of a call, once the shapes agree, their element
// counts fit in a size_t and the range lies inside them.
inline std::size_t panel_cols(std::initializer_list<PanelShape> shapes, RowRange range,
                              std::source_location where = std::source_location::current()) noexcept {
    const PanelShape first = *shapes.begin();
    for (PanelShape shape : shapes) {
        if (shape.rows != first.rows || shape.cols != first.cols) fault::internal_fault(messages::kPanelShape, where);
    }
    if (first.cols != 0 && first.rows > static_cast<std::size_t>(-1) / first.cols) {
        fault::internal_fault(messages::kPanelSize, where);
    }
    if (range.begin > range.end) fault::internal_fault(messages::kRowRange, where);
    if (range.end > first.rows) fault::index_out_of_bounds(first.rows, range.end - 1, where);
    return first.cols;
}

// The view of a panel from element `offset` on: a row's own indices start at 0.
template <class A>
In<A> shifted(In<A> panel, std::size_t offset) noexcept {
    return {static_cast<const unsigned char*>(panel.base) + offset * sizeof(double)};
}
template <class A>
Out<A> shifted(Out<A> panel, std::size_t offset) noexcept {
    return {static_cast<unsigned char*>(panel.base) + offset * sizeof(double)};
}

// NaN into every element of rows [range.begin, range.end).
template <class A>
void fill_rows_nan(Out<A> panel, std::size_t cols, RowRange range) noexcept {
    panel.fill_nan(range.begin * cols, range.end * cols);
}

// One row in flight.
template <class State>
struct Lane {
    State state;
    std::size_t at;      // panel index of its next element
    std::size_t end;     // panel index past its last element
    std::size_t column;  // column of its next element
};

// K lanes advanced by `length` columns each.
template <std::size_t K, class P>
[[gnu::noinline]] void advance(const P& p, Lane<typename P::State>* lanes, std::size_t length) noexcept {
    [&]<std::size_t... k>(std::index_sequence<k...>) {
        // Locals, so that each lane's running values stay in registers.
        typename P::State s[K] = {lanes[k].state...};
        const std::size_t at[K] = {lanes[k].at...};
        const std::size_t column[K] = {lanes[k].column...};
        for (std::size_t t = 0; t < length; ++t) {
            const typename P::Input in[K] = {p.load(at[k] + t)...};
            (p.step(s[k], in[k], at[k] + t, column[k] + t), ...);
        }
        ((lanes[k].state = s[k], lanes[k].at += length, lanes[k].column += length), ...);
    }
    (std::make_index_sequence<K>{});
}

// `active` lanes (1 <= active <= W) advanced by `length`, with the loop of that width.
template <std::size_t W, class P>
void advance_lanes(const P& p, Lane<typename P::State>* lanes, std::size_t active, std::size_t length) noexcept {
    [&]<std::size_t... k>(std::index_sequence<k...>) {
        ((active == k + 1 ? advance<k + 1>(p, lanes, length) : void()), ...);
    }
    (std::make_index_sequence<W>{});
}

// Every row of `range`, up to W at a time.
template <std::size_t W, class P>
void run_lanes(const P& p, std::size_t cols, RowRange range) noexcept {
    static_assert(W >= 1);
    Lane<typename P::State> lanes[W];
    std::size_t active = 0;
    std::size_t next = range.begin;
    for (;;) {
        while (active < W && next < range.end) {
            const std::size_t start = next++ * cols;
            typename P::State s = p.init();
            const std::size_t first = p.warm_up(s, start);
            if (first < cols) lanes[active++] = {s, start + first, start + cols, first};
        }
        if (active == 0) return;
        std::size_t length = lanes[0].end - lanes[0].at;
        for (std::size_t k = 1; k < active; ++k) {
            if (lanes[k].end - lanes[k].at < length) length = lanes[k].end - lanes[k].at;
        }
        advance_lanes<W>(p, lanes, active, length);
        // Finished rows leave; the others keep their order.
        std::size_t kept = 0;
        for (std::size_t k = 0; k < active; ++k) {
            if (lanes[k].at != lanes[k].end) lanes[kept++] = lanes[k];
        }
        active = kept;
    }
}

}  // namespace veldspar::core::detail
