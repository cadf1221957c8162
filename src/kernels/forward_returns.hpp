// Open-to-open forward returns with corporate actions: what one share bought
// at the open of day t + 1 and held to the open of day t + 1 + h returns,
// splits and cash dividends included.
//
// On an ex-day d a share becomes split[d] shares (NaN: 1) and pays
// dividend[d] in cash (NaN: 0), both already reflected in that day's open, so
// the holding's value at the open is split[d] * open[d] + dividend[d] per
// share held before. The cash is put back into the stock at that open, which
// makes the return
//   open[t+1+h] / open[t+1] * prod over d in t+2..t+1+h of
//       (split[d] + dividend[d] / open[d]) - 1.
// Days without an action contribute 1 and need no open of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "strategy_engine.hpp"

namespace tolvane::kernels {

class ForwardReturns {
  public:
    // Reads the actions of the whole period once; the views must stay valid
    // while `write` is called.
    ForwardReturns(const MatrixView<double> &open, const MatrixView<double> &split,
                   const MatrixView<double> &dividend, std::size_t n_days, std::size_t n_stocks);

    // Writes the returns over `horizon` days (>= 1) to `out` (n_days x
    // n_stocks, C order): NaN where the period runs past the last day, where
    // either open is missing, on an action whose day has no open, and
    // wherever the result is not finite.
    void write(std::size_t horizon, double *out) const;

  private:
    // A day on which a stock's holding changes other than by its price.
    struct Action {
        std::size_t day;
        std::size_t stock;
        double growth;  // split + dividend / open
    };

    MatrixView<double> open_;
    std::size_t n_days_, n_stocks_;
    std::vector<Action> actions_;
};

}  // namespace tolvane::kernels
