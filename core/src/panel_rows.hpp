// Several rows of a panel in flight at once: two rows to a vector, and the pairs' chains overlapping.
//
// A panel kernel keeps up to W rows in slots, each with its row's state and
// the place where the row stands. A round advances every slot by the same
// number of columns, column after column; within a column, slots 2q and 2q+1
// take their step together in the two lanes of a vector (lanes.hpp), so that
// one instruction does two rows' arithmetic and the pairs' dependency chains
// overlap in the core's pipelines instead of each waiting for its own last
// result. A row enters a slot once its warm-up has run on its own (where
// rows differ: EMA seeds wherever a row's first run of finite values ends),
// leaves it at the end of the row, and the next row of the range takes its
// place; slots need not stand at the same column, so a row that seeds late
// keeps its neighbours interleaved. When no rows are left to bring in, the
// remaining slots run on in fewer lanes.
//
// The indicator is a policy P with:
//   State, Input    the state as the batch kernel keeps it, and what a step
//                   reads at one position;
//   Pair            two rows' running values, one in each lane;
//   State init() const;
//   std::size_t warm_up(State&, std::size_t start) const
//                   runs the warm-up of the row that begins at panel index
//                   `start`; returns the column where its steady state
//                   begins (cols if it has none);
//   Input load(std::size_t i) const
//                   the inputs at panel index i;
//   void step(State&, Input, std::size_t i, std::size_t column) const
//                   one row's whole per-bar step at panel index i;
//   Pair pack(const State&, const State&) const
//   void unpack(const Pair&, State&, State&) const
//                   two rows' states into a pair and back;
//   void step_pair(Pair&, Input, Input, std::size_t i, std::size_t j, Masks& doubt) const
//                   the two rows' steps at panel indices i and j;
//   kDoubts, Masks unfit(const Pair&) const
//                   whether step_pair is the whole step only while inputs
//                   and states allow. If not, pairs take it kBlock columns at
//                   a time, their lanes of `doubt` set first for the rows
//                   whose state it cannot take (unfit) and then by step_pair
//                   for rows that needed more at some column; each such row
//                   then runs the block again with the whole step.
//
// Within a column, the inputs of every slot are loaded before the first
// step stores: an output row may lie a multiple of 4096 bytes from an input
// row, and a load behind a store to such an address waits for it.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <utility>

#include "access.hpp"
#include "lanes.hpp"
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
struct Slot {
    State state;
    std::size_t at;      // panel index of its next element
    std::size_t end;     // panel index past its last element
    std::size_t column;  // column of its next element
};

// How many columns the pairs of a doubting policy run between checks.
inline constexpr std::size_t kBlock = 16;

// K slots advanced by `length` columns each: slots 2q and 2q+1 in the lanes
// of pair q, an odd last slot on its own.
template <std::size_t K, class P>
[[gnu::noinline]] void advance(const P& policy, Slot<typename P::State>* slots, std::size_t length) noexcept {
    using State = typename P::State;
    using Pair = typename P::Pair;
    using Input = typename P::Input;
    constexpr std::size_t Q = K / 2;
    [&]<std::size_t... k, std::size_t... q>(std::index_sequence<k...>, std::index_sequence<q...>) {
        // A local copy: the outputs' stores cannot change its fields, so the
        // arrays' addresses stay in registers.
        const P p = policy;
        std::size_t at[K] = {slots[k].at...};
        std::size_t column[K] = {slots[k].column...};
        // Locals, so that the running values stay in registers.
        [[maybe_unused]] std::array<Pair, Q> pairs = {p.pack(slots[2 * q].state, slots[2 * q + 1].state)...};
        [[maybe_unused]] State odd = slots[K - 1].state;
        for (std::size_t done = 0; done < length;) {
            const std::size_t n = !P::kDoubts || length - done < kBlock ? length - done : kBlock;
            // A doubting policy's lanes start the block doubting the rows
            // whose state the lanes' step cannot take.
            [[maybe_unused]] const std::array<Pair, Q> before = pairs;
            [[maybe_unused]] std::array<Masks, Q> doubt = {p.unfit(pairs[q])...};
            for (std::size_t t = 0; t < n; ++t) {
                const Input in[K] = {p.load(at[k] + t)...};
                (p.step_pair(pairs[q], in[2 * q], in[2 * q + 1], at[2 * q] + t, at[2 * q + 1] + t, doubt[q]), ...);
                if constexpr (K % 2 == 1) p.step(odd, in[K - 1], at[K - 1] + t, column[K - 1] + t);
            }
            if constexpr (P::kDoubts) {
                // A doubted row runs the block again with the whole per-bar
                // step, from the state it had before; its lane partner keeps
                // what the lanes gave it.
                // (Every index into the hot loop's arrays is a constant: a
                // variable one would keep them in memory.)
                const auto again = [&]<std::size_t r>() {
                    State a = p.init(), b = p.init(), a_before = p.init(), b_before = p.init();
                    p.unpack(pairs[r], a, b);
                    p.unpack(before[r], a_before, b_before);
                    const auto redo = [&](State& row, const State& start, std::size_t from, std::size_t col) {
                        row = start;
                        for (std::size_t t = 0; t < n; ++t) p.step(row, p.load(from + t), from + t, col + t);
                    };
                    if (doubt[r][0] != 0) redo(a, a_before, at[2 * r], column[2 * r]);
                    if (doubt[r][1] != 0) redo(b, b_before, at[2 * r + 1], column[2 * r + 1]);
                    pairs[r] = p.pack(a, b);
                };
                ((any(doubt[q]) ? again.template operator()<q>() : void()), ...);
            }
            ((at[k] += n, column[k] += n), ...);
            done += n;
        }
        (p.unpack(pairs[q], slots[2 * q].state, slots[2 * q + 1].state), ...);
        if constexpr (K % 2 == 1) slots[K - 1].state = odd;
        ((slots[k].at = at[k], slots[k].column = column[k]), ...);
    }
    (std::make_index_sequence<K>{}, std::make_index_sequence<Q>{});
}

// The first `active` slots (1 <= active <= W) advanced by `length`, by the loop of that width.
template <std::size_t W, class P>
void advance_slots(const P& p, Slot<typename P::State>* slots, std::size_t active, std::size_t length) noexcept {
    [&]<std::size_t... k>(std::index_sequence<k...>) {
        ((active == k + 1 ? advance<k + 1>(p, slots, length) : void()), ...);
    }
    (std::make_index_sequence<W>{});
}

// How far apart in columns the rows of the first W start. Rows whose length
// is a multiple of 512 doubles lie a multiple of 4096 bytes apart, so that
// rows at the same column compete for one set of the level-1 cache, whose
// ways a few rows' inputs and outputs outnumber. Rows advanced 16 columns
// apart (two cache lines) fall in different sets; as a row ends and the next
// takes its slot, the distances between slots persist.
inline constexpr std::size_t kStagger = 16;

// Every row of `range`, up to W at a time.
template <std::size_t W, class P>
void run_rows(const P& p, std::size_t cols, RowRange range) noexcept {
    static_assert(W >= 2);
    using State = typename P::State;
    Slot<State> slots[W];
    std::size_t active = 0;
    std::size_t next = range.begin;
    // Slots whose rows ended leave; the others keep their order.
    const auto drop_finished = [&] {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < active; ++k) {
            if (slots[k].at != slots[k].end) slots[kept++] = slots[k];
        }
        active = kept;
    };
    for (bool first_round = true;; first_round = false) {
        while (active < W && next < range.end) {
            const std::size_t start = next++ * cols;
            State s = p.init();
            const std::size_t first = p.warm_up(s, start);
            if (first < cols) slots[active++] = {s, start + first, start + cols, first};
        }
        if (active == 0) return;
        if (first_round) {
            for (std::size_t k = 1; k < active; ++k) {
                const std::size_t left = slots[k].end - slots[k].at;
                advance<1>(p, &slots[k], left < k * kStagger ? left : k * kStagger);
            }
            drop_finished();
            continue;
        }
        std::size_t length = slots[0].end - slots[0].at;
        for (std::size_t k = 1; k < active; ++k) {
            if (slots[k].end - slots[k].at < length) length = slots[k].end - slots[k].at;
        }
        advance_slots<W>(p, slots, active, length);
        drop_finished();
    }
}

}  // namespace veldspar::core::detail
