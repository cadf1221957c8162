#include "forward_returns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "day_rows.hpp"

namespace tolvane::kernels {

ForwardReturns::ForwardReturns(const MatrixView<double> &open, const MatrixView<double> &split,
                               const MatrixView<double> &dividend, std::size_t n_days, std::size_t n_stocks)
    : open_(open), n_days_(n_days), n_stocks_(n_stocks) {
    DayRows<double> open_rows(open, n_days, n_stocks);
    DayRows<double> split_rows(split, n_days, n_stocks);
    DayRows<double> dividend_rows(dividend, n_days, n_stocks);
    // Day 0 and day 1 start every period they lie in: their actions are in the price already.
    for (std::size_t day = 0; day < n_days; ++day) {
        const double *open_row = open_rows.row(day);
        const double *split_row = split_rows.row(day);
        const double *dividend_row = dividend_rows.row(day);
        if (day < 2)
            continue;
        for (std::size_t stock = 0; stock < n_stocks; ++stock) {
            const double shares = std::isnan(split_row[stock]) ? 1.0 : split_row[stock];
            const double cash = std::isnan(dividend_row[stock]) ? 0.0 : dividend_row[stock];
            if (shares == 1.0 && cash == 0.0)
                continue;
            // A dividend on a day without an open (NaN) leaves the periods through it undefined.
            const double growth = cash == 0.0 ? shares : shares + cash / open_row[stock];
            actions_.push_back({day, stock, growth});
        }
    }
}

void ForwardReturns::write(std::size_t horizon, double *out) const {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    DayRows<double> start_rows(open_, n_days_, n_stocks_);
    DayRows<double> end_rows(open_, n_days_, n_stocks_);
    // Periods that start at row t end at row t + 1 + horizon.
    const std::size_t n_periods = n_days_ > horizon + 1 ? n_days_ - horizon - 1 : 0;
    for (std::size_t day = 0; day < n_periods; ++day) {
        const double *start = start_rows.row(day + 1);
        const double *end = end_rows.row(day + 1 + horizon);
        double *row = out + day * n_stocks_;
        for (std::size_t stock = 0; stock < n_stocks_; ++stock)
            row[stock] = end[stock] / start[stock];
    }
    for (std::size_t cell = n_periods * n_stocks_; cell < n_days_ * n_stocks_; ++cell)
        out[cell] = nan;
    // An action on day d lies in the periods that start at rows d - 1 - horizon .. d - 2.
    for (const Action &action : actions_) {
        const std::size_t first = action.day >= horizon + 1 ? action.day - horizon - 1 : 0;
        const std::size_t last = std::min(action.day - 2, n_periods == 0 ? 0 : n_periods - 1);
        if (n_periods == 0 || first > last)
            continue;
        for (std::size_t day = first; day <= last; ++day)
            out[day * n_stocks_ + action.stock] *= action.growth;
    }
    for (std::size_t cell = 0; cell < n_periods * n_stocks_; ++cell) {
        const double value = out[cell] - 1.0;
        out[cell] = std::isfinite(value) ? value : nan;
    }
}

}  // namespace tolvane::kernels
