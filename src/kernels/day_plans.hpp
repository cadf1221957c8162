// The factor group engine's day plans: what each day brings before any
// trade, worked out ahead of the trading pass. Cutting a day into groups,
// the groups' share targets and what the day pays per share do not depend on
// trading, so where the process may use two cores they are worked out on a
// second thread while the trading goes on.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "day_rows.hpp"
#include "day_step.hpp"
#include "row_order.hpp"
#include "strategy_engine.hpp"

namespace tolvane::kernels {

// What a day brings before any trade, as the vectorised sweep reads it
// (`Value` const) and as it is written: each stock's group, the shares that
// group wants of it (its weight in the group, 1 / the group's number of
// members, in whole lots at the previous close), what the day pays per
// share, and, when traded values are asked for, what a share trades for
// (null otherwise).
template <typename Value>
struct PlanArrays {
    Value *wanted_by;  // the group that wants the stock, GroupCutter::kNoGroup for none
    Value *target;     // 0 for none
    Value *buy_gain;
    Value *hold_gain;
    Value *sell_gain;
    Value *dividend;
    Value *trade_buy;
    Value *trade_sell;

    std::int32_t group_of(std::size_t stock) const { return static_cast<std::int32_t>(wanted_by[stock]); }

    day_step::StockDayMarket market(std::size_t stock) const {
        return {buy_gain[stock], hold_gain[stock], sell_gain[stock], dividend[stock]};
    }

    day_step::TradePrices prices(std::size_t stock) const {
        return trade_buy == nullptr ? day_step::TradePrices{}
                                    : day_step::TradePrices{trade_buy[stock], trade_sell[stock]};
    }

    // The plan from stock `first` on.
    PlanArrays from(std::size_t first) const {
        const auto shifted = [first](Value *values) { return values == nullptr ? values : values + first; };
        return {wanted_by + first, target + first,   buy_gain + first,   hold_gain + first,
                sell_gain + first, dividend + first, shifted(trade_buy), shifted(trade_sell)};
    }

    PlanArrays<const Value> read_only() const {
        return {wanted_by, target, buy_gain, hold_gain, sell_gain, dividend, trade_buy, trade_sell};
    }
};

using DayPlan = PlanArrays<const double>;

// Every day's plan. Days are taken in order, a unit at a time (a day, or the
// few days whose rows are gathered together from other layouts), by a
// worker thread round a ring of slots, and by the trading thread when it
// reaches a unit nobody has taken, or while it waits for one the worker is
// on: the two share the work whichever is faster. On a single core every
// day is planned on the trading thread.
class PlansAhead {
  public:
    PlansAhead(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
               std::size_t n_stocks, std::size_t n_groups, const day_step::Rates &rates,
               bool with_trade_prices);
    PlansAhead(const PlansAhead &) = delete;
    PlansAhead &operator=(const PlansAhead &) = delete;
    ~PlansAhead();

    // Day `day`'s plan, the days before it all traded; days must come in
    // ascending order.
    DayPlan day(std::size_t day);

  private:
    // 16 days of 5,000 stocks are 3.8 MB of plans: the ring stays in the
    // shared cache.
    static constexpr std::size_t kRingDays = 16;
    static_assert(kRingDays % kGatherDays == 0);
    static constexpr std::size_t kNoDay = static_cast<std::size_t>(-1);

    // The plans of a ring of days in one buffer: each array a run of days,
    // one day after another; the trade prices only when traded values are
    // asked for.
    class PlanRing {
      public:
        PlanRing(std::size_t days, std::size_t n_stocks, bool with_trade_prices);
        PlanArrays<double> slot(std::size_t slot);

      private:
        std::size_t n_stocks_;
        std::size_t array_size_;
        bool with_trade_prices_;
        std::vector<double> values_;
    };

    // Fills days' plans. Each thread that fills plans has its own: the
    // cutter and the readers of rows in other layouts keep state.
    class Planner {
      public:
        Planner(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
                std::size_t n_stocks, std::size_t n_groups, const day_step::Rates &rates);
        // Days must come in ascending order.
        void fill(std::size_t day, const PlanArrays<double> &plan);

      private:
        DayRows<double> factor_rows_;
        DayRows<double> prev_close_rows_, close_rows_, buy_price_rows_, sell_price_rows_, split_rows_,
            dividend_rows_;
        day_step::Rates rates_;
        GroupCutter cutter_;
        std::size_t n_stocks_;
        std::size_t n_groups_;
    };

    static bool worth_a_thread(std::size_t n_days);
    std::size_t slot_of(std::size_t day) const { return day % ring_days_; }
    std::size_t unit_end(std::size_t unit) const { return std::min((unit + 1) * unit_days_, n_days_); }
    // Plans the unit's days, each marked planned as soon as it is.
    void fill_unit(Planner &planner, std::size_t unit);
    void mark_planned(std::size_t day);
    void plan_ahead();

    Planner here_;
    std::optional<Planner> ahead_;
    std::size_t n_days_;
    std::size_t unit_days_;
    // Planned on this thread alone, each day's plan is read while it is still in the cache.
    std::size_t ring_days_;
    PlanRing ring_;
    // The first unit nobody has taken yet; the day the trading is on (kNoDay
    // once it stops); the day each slot holds.
    std::atomic<std::size_t> next_unit_{0};
    std::atomic<std::size_t> traded_{0};
    std::atomic<std::size_t> planned_[kRingDays];
    std::atomic<bool> stop_{false};
    std::exception_ptr failure_;  // written before failed_ is set
    std::atomic<bool> failed_{false};
    std::thread worker_;  // started once everything it uses is built; joined by the destructor
};

}  // namespace tolvane::kernels
