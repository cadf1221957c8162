// Daily VWAP return engine of a single long-only portfolio on a fixed capital.
//
// One fused pass over days and stocks: the day's lot-rounded share target is
// formed from the previous day's weight and close as it is needed, trades are
// restricted by the day's buy and sell permissions, and the day's profit and
// loss (split, dividend, commission and levies included) is accumulated as
// five separate sums that are added left to right at the end of the day.
// Each sum goes over the stocks in one fixed order whatever the arrays'
// memory layout, so the result is the same bit for bit for row-major,
// column-major and strided arrays.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane::kernels {

// A read-only 2-D array view with element strides, so that C-ordered,
// F-ordered and sliced numpy arrays are all read in place.
template <typename T>
struct MatrixView {
    const T *data = nullptr;
    std::ptrdiff_t row_stride = 0;  // elements between consecutive days
    std::ptrdiff_t col_stride = 0;  // elements between consecutive stocks

    const T &at(std::ptrdiff_t row, std::ptrdiff_t col) const {
        return data[row * row_stride + col * col_stride];
    }
};

// The eight market arrays, rows aligned with the days that receive a return
// and columns with the weight matrix's stocks. Restrictions are bytes (numpy
// bool): non-zero means true.
struct MarketArrays {
    MatrixView<double> prev_close;
    MatrixView<std::uint8_t> can_buy;
    MatrixView<std::uint8_t> cant_sell;
    MatrixView<double> close;
    MatrixView<double> buy_price;
    MatrixView<double> sell_price;
    MatrixView<double> split;     // NaN means 1
    MatrixView<double> dividend;  // cash per share; NaN means 0

    // Whether every array's rows are contiguous (C order, as a prepared
    // store's memory maps are).
    bool rows_contiguous() const {
        return prev_close.col_stride == 1 && can_buy.col_stride == 1 && cant_sell.col_stride == 1 &&
               close.col_stride == 1 && buy_price.col_stride == 1 && sell_price.col_stride == 1 &&
               split.col_stride == 1 && dividend.col_stride == 1;
    }
};

struct TradingCosts {
    double total_money;  // fixed capital that every target is sized from
    double fee;          // commission rate, both sides
    double rule_fee;     // stamp duty and levies, sells only
    double lot_size;     // shares per lot
};

// Writes the profit and loss of each of `n_days` days, in money units, to
// `daily_cash`. Row i of `weights` holds the weights decided the day before
// day i (the caller passes the unshifted weight matrix starting at its first
// row). Safe to call from several threads at once on shared inputs.
void strategy_daily_cash(const MatrixView<double> &weights, const MarketArrays &market, std::size_t n_days,
                         std::size_t n_stocks, const TradingCosts &costs, double *daily_cash);

}  // namespace tolvane::kernels
