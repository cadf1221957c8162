// tolvane.backtest._groups: the native side of the factor group backtest and
// the factor IC. Takes arrays already aligned by tolvane.backtest._core,
// checks every one against the sizes its kernel reads, and runs the kernel
// without the GIL.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <module_frame/frame.hpp>

#include "forward_returns.hpp"
#include "group_engine.hpp"
#include <native_glue/backtest.hpp>
#include "rank_correlation.hpp"

namespace {

namespace mf = module_frame;
namespace nb = nanobind;
namespace kernels = tolvane::kernels;
namespace glue = tolvane::glue;
using glue::backtest::matrix_view;

constexpr const char *module_doc =
    "因子分组回测与因子 IC 的原生计算核心。\n"
    "\n"
    "由 tolvane.backtest._core 调用: 输入是已经按收益日期与股票列对齐的数组。\n"
    "分组组合的逐日逐股交易规则(整手取整、买卖限制、拆分与分红、佣金与规费)与\n"
    "tolvane.backtest._strategy_kernel 的单组合引擎是同一份实现。\n";

constexpr long long default_group_num = 10;

// The factor matrix as the kernels read it: rows are days, columns stocks,
// at most as many stocks as a position index can count.
kernels::MatrixView<double> factor_view(mf::KernelArrays &inputs, nb::handle values, const char *label,
                                        std::size_t &n_days, std::size_t &n_stocks) {
    const auto array =
        inputs.add<double, 2>(values, label, {mf::any_extent, mf::any_extent}, mf::Dtype::Convert);
    n_days = array.shape(0);
    n_stocks = array.shape(1);
    if (n_stocks > std::numeric_limits<std::uint32_t>::max())
        mf::raise(PyExc_ValueError, std::string(label) + " 的股票数 " + std::to_string(n_stocks) + " 过多");
    return matrix_view(array);
}

std::size_t checked_group_num(long long group_num, std::size_t n_stocks) {
    if (group_num < 1 || static_cast<unsigned long long>(group_num) > n_stocks) {
        mf::raise(PyExc_ValueError, "参数 group_num 必须在 1 与股票数 " + std::to_string(n_stocks) +
                                        " 之间, 当前为 " + std::to_string(group_num));
    }
    return static_cast<std::size_t>(group_num);
}

// The groups' daily returns, and with `with_turnover` their daily turnover
// too (both as ratios of total_money, (days, groups) arrays).
struct GroupBacktest {
    nb::object returns;
    nb::object turnover;
};

GroupBacktest run_group_backtest(mf::Call &call, bool with_turnover) {
    const kernels::TradingCosts costs = glue::backtest::checked_trading_costs(call);

    mf::KernelArrays inputs;
    std::size_t n_days = 0, n_stocks = 0;
    const kernels::MatrixView<double> factor =
        factor_view(inputs, call.arg("factor_values"), "factor_values", n_days, n_stocks);
    const std::size_t n_groups = checked_group_num(call.as_long("group_num"), n_stocks);
    const glue::backtest::MarketEntries entries = glue::backtest::market_entries(call.arg("market"));
    const kernels::MarketArrays market = glue::backtest::market_arrays(inputs, entries, n_days, n_stocks);

    GroupBacktest result;
    double *returns = nullptr;
    double *turnover = nullptr;
    result.returns = mf::new_numpy_array<double, 2>({n_days, n_groups}, returns);
    if (with_turnover)
        result.turnover = mf::new_numpy_array<double, 2>({n_days, n_groups}, turnover);
    {
        nb::gil_scoped_release no_gil;
        kernels::group_daily_cash(factor, market, n_days, n_stocks, n_groups, costs, returns, turnover);
        for (std::size_t k = 0; k < n_days * n_groups; ++k)
            returns[k] /= costs.total_money;
        if (turnover != nullptr) {
            for (std::size_t k = 0; k < n_days * n_groups; ++k)
                turnover[k] /= costs.total_money;
        }
    }
    return result;
}

nb::object group_vwap_daily_return(mf::Call &call) {
    return run_group_backtest(call, false).returns;
}

nb::object group_vwap_daily_return_with_turnover(mf::Call &call) {
    GroupBacktest result = run_group_backtest(call, true);
    return nb::make_tuple(result.returns, result.turnover);
}

nb::object factor_groups(mf::Call &call) {
    mf::KernelArrays inputs;
    std::size_t n_days = 0, n_stocks = 0;
    const kernels::MatrixView<double> factor =
        factor_view(inputs, call.arg("factor_values"), "factor_values", n_days, n_stocks);
    const std::size_t n_groups = checked_group_num(call.as_long("group_num"), n_stocks);

    double *groups = nullptr;
    nb::object result = mf::new_numpy_array<double, 2>({n_days, n_stocks}, groups);
    {
        nb::gil_scoped_release no_gil;
        kernels::factor_groups(factor, n_days, n_stocks, n_groups, groups);
    }
    return result;
}

nb::object daily_rank_correlation(mf::Call &call) {
    mf::KernelArrays inputs;
    std::size_t n_days = 0, n_stocks = 0;
    const kernels::MatrixView<double> left = factor_view(inputs, call.arg("left"), "left", n_days, n_stocks);
    const kernels::MatrixView<double> right = matrix_view(
        inputs.add<double, 2>(call.arg("right"), "right", {n_days, n_stocks}, mf::Dtype::Convert));

    double *correlation = nullptr;
    nb::object result = mf::new_numpy_vector(n_days, correlation);
    {
        nb::gil_scoped_release no_gil;
        kernels::daily_rank_correlation(left, right, n_days, n_stocks, correlation);
    }
    return result;
}

nb::object daily_rank_correlations(mf::Call &call) {
    mf::KernelArrays inputs;
    std::size_t n_days = 0, n_stocks = 0;
    const kernels::MatrixView<double> left = factor_view(inputs, call.arg("left"), "left", n_days, n_stocks);
    std::vector<kernels::MatrixView<double>> rights;
    for (nb::handle right : call.arg("rights")) {
        const std::string label = "rights[" + std::to_string(rights.size()) + "]";
        rights.push_back(
            matrix_view(inputs.add<double, 2>(right, label, {n_days, n_stocks}, mf::Dtype::Convert)));
    }
    double *correlation = nullptr;
    nb::object result = mf::new_numpy_array<double, 2>({rights.size(), n_days}, correlation);
    std::vector<double *> rows;
    for (std::size_t k = 0; k < rights.size(); ++k)
        rows.push_back(correlation + k * n_days);
    {
        nb::gil_scoped_release no_gil;
        kernels::daily_rank_correlations(left, rights, n_days, n_stocks, rows);
    }
    return result;
}

nb::object forward_returns(mf::Call &call) {
    mf::KernelArrays inputs;
    std::size_t n_days = 0, n_stocks = 0;
    const kernels::MatrixView<double> open =
        factor_view(inputs, call.arg("open_price"), "open_price", n_days, n_stocks);
    const kernels::MatrixView<double> split = matrix_view(inputs.add<double, 2>(
        call.arg("split_factor"), "split_factor", {n_days, n_stocks}, mf::Dtype::Convert));
    const kernels::MatrixView<double> dividend = matrix_view(inputs.add<double, 2>(
        call.arg("dividend_factor"), "dividend_factor", {n_days, n_stocks}, mf::Dtype::Convert));
    std::vector<std::size_t> horizons;
    for (nb::handle item : call.arg("horizons")) {
        const long long horizon = nb::cast<long long>(nb::int_(item));
        if (horizon < 1)
            mf::raise(PyExc_ValueError, "持有期 horizons 必须是正整数, 当前有 " + std::to_string(horizon));
        horizons.push_back(static_cast<std::size_t>(horizon));
    }

    nb::list results;
    std::vector<double *> outputs;
    for (std::size_t k = 0; k < horizons.size(); ++k) {
        double *out = nullptr;
        results.append(mf::new_numpy_array<double, 2>({n_days, n_stocks}, out));
        outputs.push_back(out);
    }
    {
        nb::gil_scoped_release no_gil;
        const kernels::ForwardReturns returns(open, split, dividend, n_days, n_stocks);
        for (std::size_t k = 0; k < horizons.size(); ++k)
            returns.write(horizons[k], outputs[k]);
    }
    return results;
}

mf::Param group_num_param() {
    return {.name = "group_num",
            .annotation = "int",
            .convert = mf::Convert::Int,
            .default_value = mf::int_default(default_group_num)};
}

// factor_values, market, group_num, then the trading costs.
std::vector<mf::Param> group_params() {
    return glue::backtest::joined_params({
        {{.name = "factor_values", .annotation = "np.ndarray"},
         {.name = "market", .annotation = "dict[str, np.ndarray]"},
         group_num_param()},
        glue::backtest::trading_cost_params(),
        {glue::backtest::lot_size_param()},
    });
}

#define FACTOR_VALUES_DOC                                                                                    \
    "    factor_values: 因子值数组(日期 × 股票); 第 i 行是第 i 个收益日前一日的因子值。\n"                   \
    "        只有有限值参与分组, NaN 与正负无穷的股票当日不入组。\n"
#define GROUP_RULE_DOC                                                                                       \
    "当日有因子值的 n 只股票按因子值升序排列(相同的值按列的先后), 排第 p 位\n"                               \
    "(从 0 起)的股票进入第 floor(p × group_num / n) 组: 各组人数至多相差一只,\n"                             \
    "多出的股票均匀分布在各组。有因子值的股票少于 group_num 只的日子不分组。\n"

const mf::FunctionDef group_vwap_daily_return_def{
    .name = "group_vwap_daily_return",
    .impl = group_vwap_daily_return,
    .params = group_params(),
    .returns = "np.ndarray",
    .doc =
        "计算因子各分组等权组合的 VWAP 日收益(T-1 日分组在 T 日成交)。\n"
        "\n" GROUP_RULE_DOC "每组在固定资金 total_money 上等权持有组内股票, 按单组合引擎的规则交易:\n"
        "整手取整、不可买不买、不可卖继续持有、拆分与分红、佣金与印花税及规费。\n"
        "所有分组在一次逐日遍历中同时推进, 每个行情数组每天只读一次。\n"
        "\n"
        "Args:\n" FACTOR_VALUES_DOC
        "    market: _build_market_arrays 返回的八个行情数组, 形状与 factor_values 相同。\n"
        "    group_num: 分组数, 1 到股票数之间, 默认 10。\n" STRATEGY_TRADING_COSTS_DOC STRATEGY_LOT_SIZE_DOC
        "\n"
        "Returns:\n"
        "    np.ndarray: 形状为 (日期数, group_num) 的日收益(比例); 第 0 列是因子值最小的一组。\n"
        "\n"
        "Raises:\n"
        "    ValueError: 参数超出取值范围, 或数组形状不一致。\n",
};

const mf::FunctionDef group_vwap_daily_return_with_turnover_def{
    .name = "group_vwap_daily_return_with_turnover",
    .impl = group_vwap_daily_return_with_turnover,
    .params = group_params(),
    .returns = "tuple[np.ndarray, np.ndarray]",
    .doc =
        "计算因子各分组的 VWAP 日收益与日换手率, 一次遍历同时得出。\n"
        "\n"
        "日收益与 group_vwap_daily_return 完全相同。某组某日的换手率是该组当日\n"
        "每只股票成交金额的绝对值之和除以 total_money: 买入股数 × 买入成交价,\n"
        "加上卖出股数 × 拆分因子 × 卖出成交价(与卖出所得的记账一致); 成交价缺失\n"
        "时按 0 计。\n"
        "\n"
        "Args:\n" FACTOR_VALUES_DOC
        "    market: _build_market_arrays 返回的八个行情数组, 形状与 factor_values 相同。\n"
        "    group_num: 分组数, 1 到股票数之间, 默认 10。\n" STRATEGY_TRADING_COSTS_DOC STRATEGY_LOT_SIZE_DOC
        "\n"
        "Returns:\n"
        "    tuple[np.ndarray, np.ndarray]: (日收益, 日换手率), 形状都是 (日期数, group_num)。\n"
        "\n"
        "Raises:\n"
        "    ValueError: 参数超出取值范围, 或数组形状不一致。\n",
};

const mf::FunctionDef factor_groups_def{
    .name = "factor_groups",
    .impl = factor_groups,
    .params = {{.name = "factor_values", .annotation = "np.ndarray"}, group_num_param()},
    .returns = "np.ndarray",
    .doc = "计算每个交易日每只股票所在的因子分组。\n"
           "\n" GROUP_RULE_DOC "\n"
           "Args:\n" FACTOR_VALUES_DOC "    group_num: 分组数, 1 到股票数之间, 默认 10。\n"
           "\n"
           "Returns:\n"
           "    np.ndarray: 与 factor_values 同形状的组号, 1 为因子值最小的一组; 不入组处为 NaN。\n",
};

const mf::FunctionDef daily_rank_correlation_def{
    .name = "daily_rank_correlation",
    .impl = daily_rank_correlation,
    .params = {{.name = "left", .annotation = "np.ndarray"}, {.name = "right", .annotation = "np.ndarray"}},
    .returns = "np.ndarray",
    .doc = "逐日计算两个日期 × 股票数组的秩相关系数(Spearman)。\n"
           "\n"
           "每天只取两边都是有限值的股票, 在这些股票中分别求平均秩(相同的值取名次的平均),\n"
           "再求两组秩的 Pearson 相关系数。\n"
           "\n"
           "Args:\n"
           "    left: 日期 × 股票数组, 例如因子值。\n"
           "    right: 与 left 同形状的数组, 例如远期收益排名。\n"
           "\n"
           "Returns:\n"
           "    np.ndarray: 每天一个相关系数; 可比的股票少于两只或一边的值全部相同时为 NaN。\n",
};

const mf::FunctionDef daily_rank_correlations_def{
    .name = "daily_rank_correlations",
    .impl = daily_rank_correlations,
    .params = {{.name = "left", .annotation = "np.ndarray"},
               {.name = "rights", .annotation = "list[np.ndarray]", .convert = mf::Convert::List}},
    .returns = "np.ndarray",
    .doc = "逐日计算一个日期 × 股票数组与另外几个同形状数组各自的秩相关系数(Spearman)。\n"
           "\n"
           "每一对的定义同 daily_rank_correlation; left 每天只排序一次, 供全部 rights 共用\n"
           "(例如一个因子对几个持有期的远期收益)。\n"
           "\n"
           "Args:\n"
           "    left: 日期 × 股票数组, 例如因子值。\n"
           "    rights: 与 left 同形状的数组列表, 例如各持有期的远期收益。\n"
           "\n"
           "Returns:\n"
           "    np.ndarray: 形状为 (len(rights), 日期数) 的相关系数; 可比的股票少于两只或一边的\n"
           "    值全部相同时为 NaN。\n",
};

const mf::FunctionDef forward_returns_def{
    .name = "forward_returns",
    .impl = forward_returns,
    .params = {{.name = "open_price", .annotation = "np.ndarray"},
               {.name = "split_factor", .annotation = "np.ndarray"},
               {.name = "dividend_factor", .annotation = "np.ndarray"},
               {.name = "horizons", .annotation = "list[int]", .convert = mf::Convert::List}},
    .returns = "list[np.ndarray]",
    .doc = "计算复权的开盘到开盘远期收益: 第 t 行是 T+1 日开盘买入、持有到 T+1+h 日开盘的收益。\n"
           "\n"
           "除权除息日 d 的开盘价已经除权: 每股变为 split_factor[d] 股 (NaN 为 1) 并得到\n"
           "dividend_factor[d] 的现金 (NaN 为 0), 现金在当日开盘再投入, 因此收益为\n"
           "open[t+1+h] / open[t+1] × ∏(split[d] + dividend[d] / open[d]) - 1, d 取 t+2..t+1+h。\n"
           "\n"
           "Args:\n"
           "    open_price: 开盘价 (日期 × 股票)。\n"
           "    split_factor: 拆分/送股因子 (每股变为几股), 形状同 open_price。\n"
           "    dividend_factor: 每股现金分红, 形状同 open_price。\n"
           "    horizons: 持有期 (交易日数, 正整数) 列表。\n"
           "\n"
           "Returns:\n"
           "    list[np.ndarray]: 每个持有期一个与 open_price 同形状的数组; 期末超出最后一天、\n"
           "    两端开盘价缺失、除权除息日没有开盘价或结果不是有限数处为 NaN。\n"
           "\n"
           "Raises:\n"
           "    ValueError: 持有期不是正整数, 或数组形状不一致。\n",
};

void populate(mf::ModuleBuilder &module) {
    module.function(group_vwap_daily_return_def);
    module.function(group_vwap_daily_return_with_turnover_def);
    module.function(factor_groups_def);
    module.function(daily_rank_correlation_def);
    module.function(daily_rank_correlations_def);
    module.function(forward_returns_def);
}

mf::ModuleDef groups_module{
    .full_name = "tolvane.backtest._groups",
    .source_path = "src/tolvane/backtest/_groups",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_groups, groups_module)
