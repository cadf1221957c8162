#include "day_plans.hpp"

#include <algorithm>
#include <system_error>

#if defined(__linux__)
#include <sched.h>
#endif

#include "simd_clones.hpp"

namespace tolvane::kernels {
namespace {

using day_step::Rates;
using day_step::StockDayMarket;
using day_step::TradePrices;

// The price rows of one day's market, as the plans read them.
struct PriceRows {
    const double *prev_close;
    const double *close;
    const double *buy_price;
    const double *sell_price;
    const double *split;
    const double *dividend;
};

// Fills a day's plan from its market rows, the groups cut: the targets (where
// each stock's weight in its group is until then), what the day pays per
// share, and the trade prices when the plan has room for them.
TOLVANE_SIMD_CLONES void plan_day(const PriceRows &rows, std::size_t n_stocks, const Rates &rates,
                                  const PlanArrays<double> &plan) {
#pragma omp simd
    for (std::size_t k = 0; k < n_stocks; ++k) {
        const StockDayMarket market =
            day_step::stock_day_market(rows.prev_close[k], rows.close[k], rows.buy_price[k],
                                       rows.sell_price[k], rows.split[k], rows.dividend[k], rates);
        plan.target[k] = day_step::lot_target(plan.target[k], rows.prev_close[k], rates);
        plan.buy_gain[k] = market.buy_gain;
        plan.hold_gain[k] = market.hold_gain;
        plan.sell_gain[k] = market.sell_gain;
        plan.dividend[k] = market.dividend;
    }
    if (plan.trade_buy == nullptr)
        return;
#pragma omp simd
    for (std::size_t k = 0; k < n_stocks; ++k) {
        const TradePrices prices =
            day_step::trade_prices(rows.buy_price[k], rows.sell_price[k], rows.split[k]);
        plan.trade_buy[k] = prices.buy;
        plan.trade_sell[k] = prices.sell;
    }
}

// The cores this process may run on.
unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0)
        return static_cast<unsigned>(CPU_COUNT(&cores));
#endif
    return std::thread::hardware_concurrency();
}

}  // namespace

PlansAhead::PlanRing::PlanRing(std::size_t days, std::size_t n_stocks, bool with_trade_prices)
    : n_stocks_(n_stocks), array_size_(days * n_stocks), with_trade_prices_(with_trade_prices),
      values_((with_trade_prices ? 8 : 6) * array_size_) {}

PlanArrays<double> PlansAhead::PlanRing::slot(std::size_t slot) {
    double *at = values_.data() + slot * n_stocks_;
    const auto array = [&](std::size_t index) { return at + index * array_size_; };
    return {array(0),
            array(1),
            array(2),
            array(3),
            array(4),
            array(5),
            with_trade_prices_ ? array(6) : nullptr,
            with_trade_prices_ ? array(7) : nullptr};
}

PlansAhead::Planner::Planner(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
                             std::size_t n_stocks, std::size_t n_groups, const Rates &rates)
    : factor_rows_(factor, n_days, n_stocks), prev_close_rows_(market.prev_close, n_days, n_stocks),
      close_rows_(market.close, n_days, n_stocks), buy_price_rows_(market.buy_price, n_days, n_stocks),
      sell_price_rows_(market.sell_price, n_days, n_stocks), split_rows_(market.split, n_days, n_stocks),
      dividend_rows_(market.dividend, n_days, n_stocks), rates_(rates), n_stocks_(n_stocks),
      n_groups_(n_groups) {}

void PlansAhead::Planner::fill(std::size_t day, const PlanArrays<double> &plan) {
    cutter_.cut(factor_rows_.row(day), n_stocks_, n_groups_, plan.wanted_by, plan.target);
    const PriceRows rows{prev_close_rows_.row(day), close_rows_.row(day), buy_price_rows_.row(day),
                         sell_price_rows_.row(day), split_rows_.row(day), dividend_rows_.row(day)};
    plan_day(rows, n_stocks_, rates_, plan);
}

PlansAhead::PlansAhead(const MatrixView<double> &factor, const MarketArrays &market, std::size_t n_days,
                       std::size_t n_stocks, std::size_t n_groups, const Rates &rates, bool with_trade_prices)
    : here_(factor, market, n_days, n_stocks, n_groups, rates), n_days_(n_days),
      unit_days_(factor.col_stride == 1 && market.rows_contiguous() ? 1 : kGatherDays),
      ring_days_(worth_a_thread(n_days) ? kRingDays : kGatherDays),
      ring_(ring_days_, n_stocks, with_trade_prices) {
    for (std::atomic<std::size_t> &day : planned_)
        day.store(kNoDay);
    if (!worth_a_thread(n_days))
        return;
    try {
        ahead_.emplace(factor, market, n_days, n_stocks, n_groups, rates);
        worker_ = std::thread([this] { plan_ahead(); });
    } catch (const std::system_error &) {
        // No thread to be had: every day is planned on this one.
    }
}

PlansAhead::~PlansAhead() {
    if (!worker_.joinable())
        return;
    stop_.store(true);
    traded_.store(kNoDay);
    traded_.notify_one();
    worker_.join();
}

DayPlan PlansAhead::day(std::size_t day) {
    traded_.store(day);
    traded_.notify_one();
    const std::size_t slot = slot_of(day);
    const std::size_t unit = day / unit_days_;
    std::size_t untaken = unit;
    if (unit * unit_days_ == day && next_unit_.compare_exchange_strong(untaken, unit + 1))
        fill_unit(here_, unit);
    // Not planned yet: the worker is on it. Plan later units here meanwhile,
    // as far as the ring has room, rather than wait.
    for (std::size_t planned = planned_[slot].load(); planned != day; planned = planned_[slot].load()) {
        std::size_t later = next_unit_.load();
        if (unit_end(later) <= std::min(day + ring_days_, n_days_) &&
            next_unit_.compare_exchange_strong(later, later + 1))
            fill_unit(here_, later);
        else
            planned_[slot].wait(planned);
    }
    if (failed_.load())
        std::rethrow_exception(failure_);
    return ring_.slot(slot).read_only();
}

bool PlansAhead::worth_a_thread(std::size_t n_days) {
    return n_days >= 2 * kRingDays && usable_cores() >= 2;
}

void PlansAhead::mark_planned(std::size_t day) {
    planned_[slot_of(day)].store(day);
    planned_[slot_of(day)].notify_one();
}

void PlansAhead::fill_unit(Planner &planner, std::size_t unit) {
    for (std::size_t day = unit * unit_days_; day < unit_end(unit); ++day) {
        planner.fill(day, ring_.slot(slot_of(day)));
        mark_planned(day);
    }
}

void PlansAhead::plan_ahead() {
    for (std::size_t unit = next_unit_.load(); unit * unit_days_ < n_days_; unit = next_unit_.load()) {
        // The unit's slots are free once the days a ring earlier have been traded.
        std::size_t traded = traded_.load();
        while (traded != kNoDay && traded + kRingDays < unit_end(unit)) {
            traded_.wait(traded);
            traded = traded_.load();
        }
        if (stop_.load())
            return;
        std::size_t untaken = unit;
        if (!next_unit_.compare_exchange_strong(untaken, unit + 1))
            continue;  // the trading thread took it meanwhile
        try {
            fill_unit(*ahead_, unit);
        } catch (...) {
            // The day the trading waits for is marked planned, with the failure.
            failure_ = std::current_exception();
            failed_.store(true);
            for (std::size_t day = unit * unit_days_; day < unit_end(unit); ++day)
                mark_planned(day);
            return;
        }
    }
}

}  // namespace tolvane::kernels
