// The daily rank correlation (Spearman) of two date x stock matrices, as the
// information coefficient of a factor against forward returns is measured.
#pragma once

#include <cstddef>
#include <span>

#include "strategy_engine.hpp"

namespace tolvane::kernels {

// Writes the rank correlation of row `day` of the two matrices to
// `correlation[day]`: over the stocks where both values are finite, the
// Pearson correlation of their average ranks among those stocks; NaN with
// fewer than two such stocks or when either side's values are all equal.
// Safe to call from several threads at once on shared inputs.
void daily_rank_correlation(const MatrixView<double> &left, const MatrixView<double> &right,
                            std::size_t n_days, std::size_t n_stocks, double *correlation);

// The same for one `left` against each of `rights` (several horizons' forward
// returns): correlation[k][day] is the rank correlation of row `day` of
// `left` and of rights[k]. Each day orders `left` once for all of them.
void daily_rank_correlations(const MatrixView<double> &left, std::span<const MatrixView<double>> rights,
                             std::size_t n_days, std::size_t n_stocks, std::span<double *const> correlation);

// Writes, for each row `day` of `values`, the average rank (1-based; equal
// values share the mean of their places) of every finite value among the
// row's finite values to row `day` of `ranks` (n_days x n_stocks, C order),
// and NaN where the value is not finite: a row-wise average rank with
// infinities counted as missing.
void row_average_ranks(const MatrixView<double> &values, std::size_t n_days, std::size_t n_stocks,
                       double *ranks);

}  // namespace tolvane::kernels
