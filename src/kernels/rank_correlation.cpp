#include "rank_correlation.hpp"

#include <cmath>
#include <vector>

#include "day_rows.hpp"
#include "row_order.hpp"

namespace tolvane::kernels {

namespace {

// The Pearson correlation of two lists of `count` average ranks (each summing
// to count (count + 1) / 2); NaN when either side is constant.
double rank_pearson(const double *left_rank, const double *right_rank, std::size_t count) {
    const double mean = 0.5 * static_cast<double>(count + 1);
    double cross = 0.0, left_spread = 0.0, right_spread = 0.0;
    for (std::size_t place = 0; place < count; ++place) {
        const double dx = left_rank[place] - mean, dy = right_rank[place] - mean;
        cross += dx * dy;
        left_spread += dx * dx;
        right_spread += dy * dy;
    }
    return left_spread > 0.0 && right_spread > 0.0 ? cross / std::sqrt(left_spread * right_spread) : NAN;
}

}  // namespace

void daily_rank_correlation(const MatrixView<double> &left, const MatrixView<double> &right,
                            std::size_t n_days, std::size_t n_stocks, double *correlation) {
    DayRows<double> left_rows(left, n_days, n_stocks);
    DayRows<double> right_rows(right, n_days, n_stocks);
    RowOrder order;
    // The stocks both sides know, listed by column; each side's values among
    // them, and their average ranks by place in that list.
    std::vector<Ranked> left_items, right_items;
    std::vector<double> left_rank(n_stocks), right_rank(n_stocks);
    for (std::size_t day = 0; day < n_days; ++day) {
        const double *left_row = left_rows.row(day);
        const double *right_row = right_rows.row(day);
        left_items.clear();
        right_items.clear();
        for (std::size_t stock = 0; stock < n_stocks; ++stock) {
            const double x = left_row[stock] + 0.0, y = right_row[stock] + 0.0;
            if (std::isfinite(x) && std::isfinite(y)) {
                const auto place = static_cast<std::uint32_t>(left_items.size());
                left_items.push_back({x, place});
                right_items.push_back({y, place});
            }
        }
        const std::size_t count = left_items.size();
        if (count < 2) {
            correlation[day] = NAN;
            continue;
        }
        order.sort(left_items);
        order.sort(right_items);
        average_ranks(left_items, left_rank.data());
        average_ranks(right_items, right_rank.data());
        correlation[day] = rank_pearson(left_rank.data(), right_rank.data(), count);
    }
}

void daily_rank_correlations(const MatrixView<double> &left, std::span<const MatrixView<double>> rights,
                             std::size_t n_days, std::size_t n_stocks, std::span<double *const> correlation) {
    DayRows<double> left_rows(left, n_days, n_stocks);
    std::vector<DayRows<double>> right_rows;
    right_rows.reserve(rights.size());
    for (const MatrixView<double> &right : rights)
        right_rows.emplace_back(right, n_days, n_stocks);
    RowOrder order;
    // The left side's finite values in order; for each right side, the stocks
    // both sides know listed in that order, so the left ranks among them come
    // from one walk and only the right side is sorted.
    std::vector<Ranked> left_order, right_items;
    std::vector<double> left_values(n_stocks), left_rank(n_stocks), right_rank(n_stocks);
    for (std::size_t day = 0; day < n_days; ++day) {
        const double *left_row = left_rows.row(day);
        left_order.clear();
        for (std::size_t stock = 0; stock < n_stocks; ++stock) {
            const double x = left_row[stock] + 0.0;
            if (std::isfinite(x))
                left_order.push_back({x, static_cast<std::uint32_t>(stock)});
        }
        order.sort(left_order);
        for (std::size_t k = 0; k < rights.size(); ++k) {
            const double *right_row = right_rows[k].row(day);
            right_items.clear();
            for (const Ranked &item : left_order) {
                const double y = right_row[item.position] + 0.0;
                if (std::isfinite(y)) {
                    left_values[right_items.size()] = item.value;
                    right_items.push_back({y, static_cast<std::uint32_t>(right_items.size())});
                }
            }
            const std::size_t count = right_items.size();
            if (count < 2) {
                correlation[k][day] = NAN;
                continue;
            }
            // Places first..end-1 of the ordered left values share the mean of ranks first+1..end.
            for (std::size_t first = 0; first < count;) {
                std::size_t end = first + 1;
                while (end < count && left_values[end] == left_values[first])
                    ++end;
                const double rank = 0.5 * static_cast<double>(first + 1 + end);
                for (std::size_t place = first; place < end; ++place)
                    left_rank[place] = rank;
                first = end;
            }
            order.sort(right_items);
            average_ranks(right_items, right_rank.data());
            correlation[k][day] = rank_pearson(left_rank.data(), right_rank.data(), count);
        }
    }
}

void row_average_ranks(const MatrixView<double> &values, std::size_t n_days, std::size_t n_stocks,
                       double *ranks) {
    DayRows<double> rows(values, n_days, n_stocks);
    RowOrder order;
    std::vector<Ranked> items;
    items.reserve(n_stocks);
    for (std::size_t day = 0; day < n_days; ++day) {
        const double *row = rows.row(day);
        double *rank_of = ranks + day * n_stocks;
        items.clear();
        for (std::size_t stock = 0; stock < n_stocks; ++stock) {
            const double value = row[stock] + 0.0;  // -0.0 and 0.0 are one value
            rank_of[stock] = NAN;
            if (std::isfinite(value))
                items.push_back({value, static_cast<std::uint32_t>(stock)});
        }
        order.sort(items);
        average_ranks(items, rank_of);
    }
}

}  // namespace tolvane::kernels
