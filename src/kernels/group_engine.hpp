// The factor group backtest: every day the stocks with a factor value are
// ordered by it and cut into equal-count groups; each group is an equally
// weighted long-only portfolio on the fixed capital, traded with the day
// T-1 grouping on day T by exactly the single-portfolio engine's day step.
//
// All groups advance together in one pass over the days: each market array
// is read once per day, and each stock's day is worked out once and then
// booked to every group that holds the stock or wants it. Where the process
// may use two cores, the day's groups, targets and prices are worked out on
// a second thread a few days ahead of the trading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "strategy_engine.hpp"

namespace tolvane::kernels {

// Writes the profit and loss of each group on each of `n_days` days, in money
// units, to `daily_cash` (day after day, `n_groups` values a day; group 0
// holds the smallest factor values), and, when `daily_traded` is given, the
// money each group's trades moved that day in the same layout: shares
// bought times the buy price plus shares sold times the split-adjusted sell
// price, a missing price counting 0. Row i of `factor` holds the values the
// day before day i. Safe to call from several threads at once on shared inputs.
void group_daily_cash(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
                      std::size_t n_stocks, std::size_t n_groups, const TradingCosts &costs,
                      double *daily_cash, double *daily_traded = nullptr);

// Writes each stock's group on each day (1 = smallest factor values) to
// `groups`, `n_stocks` values a day; NaN where a stock has no finite factor
// value or the day has fewer such stocks than groups.
void factor_groups(const MatrixView<double> &factor, std::size_t n_days, std::size_t n_stocks,
                   std::size_t n_groups, double *groups);

}  // namespace tolvane::kernels
