// A date x stock matrix read day after day, each day's row as a contiguous
// run over the stocks, whatever the matrix's memory layout.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "strategy_engine.hpp"

namespace tolvane::kernels {

// Days whose rows are gathered together by default: eight doubles, one cache
// line of a stock's column when a matrix comes in pandas' column layout.
inline constexpr std::size_t kGatherDays = 8;

// The rows of a matrix, day after day, each as a contiguous run over the
// stocks: read in place when the matrix's rows are contiguous, otherwise
// gathered a few days at a time, so that each column's cache lines (and
// pages) are read once per few days instead of once per day.
template <typename T, std::size_t kDays = kGatherDays>
class DayRows {
  public:
    DayRows(const MatrixView<T> &view, std::size_t n_days, std::size_t n_stocks)
        : view_(view), n_days_(n_days), n_stocks_(n_stocks),
          gathered_(view.col_stride == 1 ? 0 : kDays * n_stocks) {}

    // Row `day`; days must come in ascending order.
    const T *row(std::size_t day) {
        if (gathered_.empty())
            return &view_.at(static_cast<std::ptrdiff_t>(day), 0);
        const std::size_t offset = day % kDays;
        if (offset == 0 || day != first_day_ + offset) {
            first_day_ = day - offset;
            const std::size_t days = std::min(kDays, n_days_ - first_day_);
            const auto first = static_cast<std::ptrdiff_t>(first_day_);
            for (std::size_t stock = 0; stock < n_stocks_; ++stock) {
                // Each column's few lines are too short a run for the hardware
                // to fetch ahead: ask for a later stock's while this one is copied.
                if (view_.row_stride == 1 && stock + kPrefetchStocks < n_stocks_) {
                    const char *ahead = reinterpret_cast<const char *>(
                        &view_.at(first, static_cast<std::ptrdiff_t>(stock + kPrefetchStocks)));
                    for (std::size_t byte = 0; byte < days * sizeof(T); byte += 64)
                        __builtin_prefetch(ahead + byte);
                }
                for (std::size_t d = 0; d < days; ++d)
                    gathered_[d * n_stocks_ + stock] =
                        view_.at(first + static_cast<std::ptrdiff_t>(d), static_cast<std::ptrdiff_t>(stock));
            }
        }
        return gathered_.data() + offset * n_stocks_;
    }

  private:
    static constexpr std::size_t kPrefetchStocks = 16;

    MatrixView<T> view_;
    std::size_t n_days_;
    std::size_t n_stocks_;
    std::size_t first_day_ = static_cast<std::size_t>(-1);
    std::vector<T> gathered_;
};

}  // namespace tolvane::kernels
