// veldspar-core panels: the four kernels over many series at once, one series per row.
//
// A panel is a block of `rows` series of `cols` values each, row after row in
// one run of doubles: element (r, c) lies at index r*cols + c. A panel kernel
// computes the indicator of every row in a range and writes, row for row,
// exactly the bits that the batch kernel of core.hpp writes for that row alone:
// warm-up, seeding, NaN and infinity rules and the stored NaN included, and
// whatever each row holds, so neighbouring rows may seed or re-seed at
// different places. (As between the batch kernels' own loops, a NaN made by
// arithmetic on two NaNs may carry either operand's sign and payload.)
//
//   double prices[2][4] = {{1, 2, 3, 4}, {10, 20, 30, 40}};
//   double sma[2][4];
//   using namespace veldspar::core;
//   compute_sma_panel(2, {prices, 2, 4}, {sma, 2, 4}, {0, 2});
//   // sma == {{NaN, 1.5, 2.5, 3.5}, {NaN, 15, 25, 35}}
//
// Why panels. Each row's values depend on the previous one, so a single
// series waits for its own last result at every step while most of the
// core's arithmetic units sit idle. A panel kernel advances several rows
// together with the one per-bar step that the batch kernel and the streams
// use: two rows share the lanes of a vector, and the chains of several such
// pairs overlap. Every lane does its row's operations in the batch kernel's
// order, on every target alike (32-bit ARM, which has no double-precision
// vectors, runs the lanes as scalar code).
//
// Row ranges. Only rows [rows.begin, rows.end) are read and written; the
// others are not touched. Callers that split a panel across threads hand
// each thread the whole panels and a range of its own.
//
// Slices and alignment are as in core.hpp: the address need not be a
// multiple of 8. Nothing here allocates, throws or fails once the
// preconditions hold.
//
// Preconditions, checked once at each kernel's entry (a violation is an
// internal fault, see fault.hpp):
//   * every panel of a call has the same rows and cols, and rows*cols
//     elements fit in a size_t;
//   * rows.begin <= rows.end <= rows of the panels;
//   * an output either is exactly its input (the same address: only the SMA
//     and EMA kernels define a result for that, all NaN, as compute_sma and
//     compute_ema do) or shares no byte with any input or other output.
//     Partial overlap is not detected here; callers refuse it.
#pragma once

#include <cstddef>

#include "veldspar/core/core.hpp"

namespace veldspar::core {

// A read-only panel: `rows` series of `cols` doubles, row by row from `data`.
struct ReadPanel {
    const void* data;
    std::size_t rows;
    std::size_t cols;
};

// A writable panel, laid out as ReadPanel.
struct WritePanel {
    void* data;
    std::size_t rows;
    std::size_t cols;
};

// The rows [begin, end) of a panel.
struct RowRange {
    std::size_t begin;
    std::size_t end;
};

// compute_sma of each row.
void compute_sma_panel(std::size_t period, ReadPanel data, WritePanel output, RowRange rows) noexcept;

// compute_ema of each row. Rows seed wherever their first run of `period`
// finite values ends, each on its own.
void compute_ema_panel(std::size_t period, ReadPanel data, WritePanel output, RowRange rows) noexcept;

// compute_macd of each row. Rows re-seed their averages and signal lines
// each on its own.
void compute_macd_panel(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period, ReadPanel data,
                        WritePanel macd, WritePanel signal, WritePanel hist, RowRange rows) noexcept;

// compute_atr of each row, row r of `high`, `low` and `close` making the bars of series r.
void compute_atr_panel(std::size_t period, ReadPanel high, ReadPanel low, ReadPanel close, WritePanel output,
                       RowRange rows) noexcept;

}  // namespace veldspar::core
