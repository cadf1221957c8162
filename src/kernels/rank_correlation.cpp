#include "rank_correlation.hpp"

#include <cmath>
#include <vector>

#include "day_rows.hpp"
#include "row_order.hpp"

namespace tolvane::kernels {

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
        // Average ranks of `count` values always sum to count (count + 1) / 2.
        const double mean = 0.5 * static_cast<double>(count + 1);
        double cross = 0.0, left_spread = 0.0, right_spread = 0.0;
        for (std::size_t place = 0; place < count; ++place) {
            const double dx = left_rank[place] - mean, dy = right_rank[place] - mean;
            cross += dx * dy;
            left_spread += dx * dx;
            right_spread += dy * dy;
        }
        correlation[day] = left_spread > 0.0 && right_spread > 0.0
                               ? cross / std::sqrt(left_spread * right_spread)
                               : NAN;
    }
}

}  // namespace tolvane::kernels
