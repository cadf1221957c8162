// How actively a weight matrix trades: per row, the number of stocks it holds
// and how far its weights moved since the row before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "strategy_engine.hpp"

namespace tolvane::kernels {

// For each of `n_rows` rows, `rows[k]` is the row of `weights` it reads, or -1
// for a row the matrix lacks (all weights missing). Writes to
// `holding_counts[k]` the number of weights that are neither NaN nor 0, and to
// `weight_changes[k]` the sum over stocks of |w[k] - w[k - 1]| with missing
// weights counted as 0 and undefined terms (inf - inf) skipped; the first row
// has no row before it and changes by 0.
void weight_activity(const MatrixView<double> &weights, const std::int64_t *rows, std::size_t n_rows,
                     std::size_t n_stocks, double *holding_counts, double *weight_changes);

}  // namespace tolvane::kernels
