// Long-to-wide pivot of a (date, stock, value) table into a date x stock
// matrix, keeping the last valid row of every cell.
//
// Dates and stocks arrive as integer codes (a factorisation of the raw
// column, -1 for a missing value) together with a map from raw code to label
// code, since several raw values may share one label (two exchange suffixes
// of one stock, two spellings of one day). The matrix holds the labels that
// occur in at least one valid row, in sorted label order, as a pivot does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::kernels {

// One label column of the long table.
struct LabelColumn {
    const std::int64_t *raw_codes;     // per row: raw code, or -1 when missing
    const std::int64_t *label_of_raw;  // per raw code: label code, or -1 when missing
    std::size_t n_raw;
    const std::int64_t *label_rank;  // per label code: its position in sorted order
    std::size_t n_labels;
};

// The rows a pivot reads: those whose group label is `group` (all rows when
// `groups` is null) and whose date, stock and value are all present (the
// value not NaN).
struct LongTable {
    LabelColumn dates;
    LabelColumn stocks;
    const double *values;
    const LabelColumn *groups;
    std::int64_t group;
    std::size_t n_rows;
};

// The matrix's rows and columns: label codes in sorted label order.
struct PivotAxes {
    std::vector<std::int64_t> date_labels;
    std::vector<std::int64_t> stock_labels;
};

// False when a code lies outside the ranges the table declares (nothing is
// read out of bounds); `axes` is then unspecified.
bool pivot_axes(const LongTable &table, PivotAxes &axes);

// Fills `out` (date_labels.size() x stock_labels.size(), C order) with the
// last valid value of every cell, NaN where a cell has none or where that
// value is infinite (as a cleaned matrix holds it). `axes` must come from
// `pivot_axes` on the same table.
void pivot_fill(const LongTable &table, const PivotAxes &axes, double *out);

// Fills `out` (n_dates x n_stocks, C order) on axes the caller chose: label
// code k of the dates goes to row date_row[k] and of the stocks to column
// stock_column[k], or nowhere when that is -1. Each cell holds the last valid
// row's value, NaN where it has none or where that value is infinite (as a
// cleaned matrix holds it). False, with `out` unspecified, when a code or a
// position lies outside the declared ranges.
bool pivot_onto(const LongTable &table, const std::int64_t *date_row, std::size_t n_dates,
                const std::int64_t *stock_column, std::size_t n_stocks, double *out);

}  // namespace tolvane::kernels
