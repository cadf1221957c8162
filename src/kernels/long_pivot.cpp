#include "long_pivot.hpp"

#include <cmath>
#include <limits>

namespace tolvane::kernels {

namespace {

// The label of row `row` in `column`, or -1 when the row has none.
inline std::int64_t label_at(const LabelColumn &column, std::size_t row) {
    const std::int64_t raw = column.raw_codes[row];
    return raw < 0 ? -1 : column.label_of_raw[raw];
}

bool codes_in_range(const LabelColumn &column, std::size_t n_rows) {
    for (std::size_t raw = 0; raw < column.n_raw; ++raw) {
        const std::int64_t label = column.label_of_raw[raw];
        if (label >= static_cast<std::int64_t>(column.n_labels))
            return false;
    }
    for (std::size_t label = 0; label < column.n_labels; ++label) {
        const std::int64_t rank = column.label_rank[label];
        if (rank < 0 || rank >= static_cast<std::int64_t>(column.n_labels))
            return false;
    }
    for (std::size_t row = 0; row < n_rows; ++row)
        if (column.raw_codes[row] >= static_cast<std::int64_t>(column.n_raw))
            return false;
    return true;
}

inline bool row_is_valid(const LongTable &table, std::size_t row, std::int64_t &date, std::int64_t &stock) {
    if (table.groups && label_at(*table.groups, row) != table.group)
        return false;
    if (std::isnan(table.values[row]))
        return false;
    date = label_at(table.dates, row);
    stock = label_at(table.stocks, row);
    return date >= 0 && stock >= 0;
}

// The present labels of one axis, in sorted label order.
std::vector<std::int64_t> sorted_present(const LabelColumn &column, const std::vector<char> &present) {
    std::vector<std::int64_t> by_rank(column.n_labels, -1);
    for (std::size_t label = 0; label < column.n_labels; ++label)
        if (present[label])
            by_rank[column.label_rank[label]] = static_cast<std::int64_t>(label);
    std::vector<std::int64_t> labels;
    for (std::int64_t label : by_rank)
        if (label >= 0)
            labels.push_back(label);
    return labels;
}

// Position of every label on its axis, -1 for labels the axis lacks.
std::vector<std::int64_t> positions(const std::vector<std::int64_t> &axis_labels, std::size_t n_labels) {
    std::vector<std::int64_t> position(n_labels, -1);
    for (std::size_t k = 0; k < axis_labels.size(); ++k)
        position[axis_labels[k]] = static_cast<std::int64_t>(k);
    return position;
}

bool positions_in_range(const std::int64_t *position, std::size_t n_labels, std::size_t extent) {
    for (std::size_t label = 0; label < n_labels; ++label)
        if (position[label] >= static_cast<std::int64_t>(extent))
            return false;
    return true;
}

// Writes each valid row's value to its cell (row_of[date], col_of[stock]) of
// the n_rows x n_cols matrix `out`, which starts all NaN; rows in table order,
// so a later row of a cell overwrites an earlier one. A label without a
// position (-1) drops the row; an infinite value leaves NaN.
void place_values(const LongTable &table, const std::int64_t *row_of, std::size_t n_rows,
                  const std::int64_t *col_of, std::size_t n_cols, double *out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t cell = 0; cell < n_rows * n_cols; ++cell)
        out[cell] = nan;
    for (std::size_t row = 0; row < table.n_rows; ++row) {
        std::int64_t date, stock;
        if (!row_is_valid(table, row, date, stock))
            continue;
        const std::int64_t at_row = row_of[date], at_col = col_of[stock];
        if (at_row < 0 || at_col < 0)
            continue;
        const double value = table.values[row];
        out[static_cast<std::size_t>(at_row) * n_cols + static_cast<std::size_t>(at_col)] =
            std::isfinite(value) ? value : nan;
    }
}

}  // namespace

bool pivot_axes(const LongTable &table, PivotAxes &axes) {
    if (!codes_in_range(table.dates, table.n_rows) || !codes_in_range(table.stocks, table.n_rows) ||
        (table.groups && !codes_in_range(*table.groups, table.n_rows)))
        return false;
    std::vector<char> date_present(table.dates.n_labels, 0);
    std::vector<char> stock_present(table.stocks.n_labels, 0);
    for (std::size_t row = 0; row < table.n_rows; ++row) {
        std::int64_t date, stock;
        if (row_is_valid(table, row, date, stock)) {
            date_present[date] = 1;
            stock_present[stock] = 1;
        }
    }
    axes.date_labels = sorted_present(table.dates, date_present);
    axes.stock_labels = sorted_present(table.stocks, stock_present);
    return true;
}

void pivot_fill(const LongTable &table, const PivotAxes &axes, double *out) {
    const std::vector<std::int64_t> row_of = positions(axes.date_labels, table.dates.n_labels);
    const std::vector<std::int64_t> col_of = positions(axes.stock_labels, table.stocks.n_labels);
    place_values(table, row_of.data(), axes.date_labels.size(), col_of.data(), axes.stock_labels.size(), out);
}

bool pivot_onto(const LongTable &table, const std::int64_t *date_row, std::size_t n_dates,
                const std::int64_t *stock_column, std::size_t n_stocks, double *out) {
    if (!codes_in_range(table.dates, table.n_rows) || !codes_in_range(table.stocks, table.n_rows) ||
        (table.groups && !codes_in_range(*table.groups, table.n_rows)) ||
        !positions_in_range(date_row, table.dates.n_labels, n_dates) ||
        !positions_in_range(stock_column, table.stocks.n_labels, n_stocks))
        return false;
    place_values(table, date_row, n_dates, stock_column, n_stocks, out);
    return true;
}

}  // namespace tolvane::kernels
