#include "weight_activity.hpp"

#include <algorithm>
#include <cmath>

namespace tolvane::kernels {

void weight_activity(const MatrixView<double> &weights, const std::int64_t *rows, std::size_t n_rows,
                     std::size_t n_stocks, double *holding_counts, double *weight_changes) {
    std::fill(holding_counts, holding_counts + n_rows, 0.0);
    std::fill(weight_changes, weight_changes + n_rows, 0.0);
    // A missing weight, or a row the matrix lacks, counts as 0.
    auto weight = [&](std::size_t k, std::size_t stock) {
        const double value = rows[k] < 0 ? 0.0 : weights.at(rows[k], static_cast<std::ptrdiff_t>(stock));
        return std::isnan(value) ? 0.0 : value;
    };
    auto visit = [&](std::size_t k, std::size_t stock) {
        const double now = weight(k, stock);
        holding_counts[k] += now != 0.0 ? 1.0 : 0.0;
        if (k > 0) {
            const double moved = std::fabs(now - weight(k - 1, stock));
            weight_changes[k] += std::isnan(moved) ? 0.0 : moved;
        }
    };
    // Walk the matrix in its memory order; either way each row's sums run
    // over the stocks in column order.
    if (weights.row_stride < weights.col_stride) {
        for (std::size_t stock = 0; stock < n_stocks; ++stock)
            for (std::size_t k = 0; k < n_rows; ++k)
                visit(k, stock);
    } else {
        for (std::size_t k = 0; k < n_rows; ++k)
            for (std::size_t stock = 0; stock < n_stocks; ++stock)
                visit(k, stock);
    }
}

}  // namespace tolvane::kernels
