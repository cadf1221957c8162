// GroupPreparedDataBuilder: the twelve backtest matrices, the payload and the
// two builds.
#include <cstdint>
#include <limits>
#include <string>

#include <module_frame/arrays.hpp>
#include <native_glue/backtest.hpp>

#include "prepare.hpp"
#include "rank_correlation.hpp"

namespace tolvane::prepare {

using namespace nb::literals;

namespace {

nb::object checked_dict(nb::object value) {
    mf::expect_type(value, &PyDict_Type, /*or_none=*/true);
    return value;
}

nb::object build(mf::Call &call) {
    return checked_dict(call.arg("self").attr("_build_payload")(false, "created_at"));
}

nb::object build_incremental(mf::Call &call) {
    return checked_dict(call.arg("self").attr("_build_payload")(true, "updated_at"));
}

nb::object build_payload(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::object parts[4];
    mf::unpack(self.attr("_read_source_data")(call.arg("incremental")), parts);
    auto &[source, component_matrices, benchmark_dict, component_names] = parts;

    nb::list missing_components;
    for (nb::handle name : component_names) {
        if (!mf::contains(component_matrices, name))
            missing_components.append(name);
    }
    if (nb::len(missing_components) > 0) {
        mf::raise(PyExc_ValueError, std::string("成分股矩阵缺失，无法精确生成二进制缓存: ") +
                                        nb::str(missing_components).c_str());
    }
    nb::object data = self.attr("_build_from_matrices")(source);
    return checked_dict(self.attr("_assemble_payload")(data, component_matrices, benchmark_dict,
                                                       component_names, call.arg("meta_time_key")));
}

// A suspended cell (its "rq_is_suspended" value equals 1) can be neither
// bought nor sold: the mask is 1.0 there and NaN everywhere else, so adding
// it to a limit comparison marks exactly the suspended cells.
nb::object suspension_mask(nb::handle suspended) {
    return suspended.attr("where")(suspended.attr("eq")(1));
}

// frame equal to limit_matrix reindexed to frame's rows and columns
nb::object at_limit(nb::handle price, nb::handle limit_matrix) {
    return price.attr("eq")(
        limit_matrix.attr("reindex")("index"_a = price.attr("index"), "columns"_a = price.attr("columns")));
}

// frame.rank(axis=1, method="average") with infinities counted as missing,
// ranked natively without the GIL: a float64 frame on frame's axes.
nb::object ranked_across_stocks(const mf::Call &call, nb::handle frame) {
    mf::KernelArrays inputs;
    const auto values = inputs.add<double, 2>(frame.attr("to_numpy")("dtype"_a = "float64"), "forward_return",
                                              {mf::any_extent, mf::any_extent}, mf::Dtype::Convert);
    const std::size_t n_days = values.shape(0), n_stocks = values.shape(1);
    if (n_stocks > std::numeric_limits<std::uint32_t>::max())
        mf::raise(PyExc_ValueError, "远期收益的股票数 " + std::to_string(n_stocks) + " 过多");
    const kernels::MatrixView<double> view = glue::backtest::matrix_view(values);
    double *ranks = nullptr;
    nb::object result = mf::new_numpy_array<double, 2>({n_days, n_stocks}, ranks);
    {
        nb::gil_scoped_release unlocked;
        kernels::row_average_ranks(view, n_days, n_stocks, ranks);
    }
    return call.global("pd").attr("DataFrame")(result, "index"_a = frame.attr("index"),
                                               "columns"_a = frame.attr("columns"), "copy"_a = false);
}

nb::object build_from_matrices(mf::Call &call) {
    nb::handle source = call.arg("source");
    nb::object limit_down = source["limit_down"];
    nb::object limit_up = source["limit_up"];
    nb::object close_price = source["Close"];
    nb::object open_price = source["Open"];
    nb::object buy_price = source["tick_vwap_price_935_1005"];
    nb::object sell_price = source["tick_vwap_price_925_1000"];
    nb::object split_coefficient = source["split_coefficient_to"];
    nb::object dividend = source["rq_get_dividend"];
    nb::object suspended = source["rq_is_suspended"];
    nb::object industry_matrix = source["rq_industry_exposure_new"];

    nb::object close_price_valid = close_price * nb::int_(0) + nb::int_(1);

    nb::object dates = close_price.attr("index");
    nb::object rq_get_split = split_coefficient / nb::int_(10) * close_price_valid;
    rq_get_split = rq_get_split.attr("loc")[rq_get_split.attr("index").attr("__ge__")(dates.attr("min")())];
    nb::object rq_get_dividend =
        dividend / nb::int_(10) * nb::float_(0.9) + (close_price_valid - nb::int_(1));
    rq_get_dividend =
        rq_get_dividend.attr("loc")[rq_get_dividend.attr("index").attr("__le__")(dates.attr("max")())];

    nb::object filter_stock = suspension_mask(suspended);
    nb::object cant_sell_stock =
        at_limit(sell_price, limit_down).attr("add")(filter_stock, "fill_value"_a = 0.0).attr("gt")(0);
    // A cell neither comparison covers (a stock without any price in the build,
    // not suspended) follows the price limits, which it does not hit: buyable,
    // as the store fills a cell its matrix lacks.
    nb::object can_buy_stock = at_limit(buy_price, limit_up)
                                   .attr("add")(filter_stock, "fill_value"_a = 0.0)
                                   .attr("fillna")(0.0)
                                   .attr("le")(0);

    nb::object prev_close = close_price.attr("shift")(1);

    nb::object forward_return = open_price.attr("shift")(-2) / open_price.attr("shift")(-1) - nb::int_(1);
    nb::object forward_return_rank_cache = ranked_across_stocks(call, forward_return);

    nb::dict matrices;
    matrices["industry_matrix"] = industry_matrix;
    matrices["close_price"] = close_price;
    matrices["open_price"] = open_price;
    matrices["close_price_valid"] = close_price_valid;
    matrices["prev_close"] = prev_close;
    matrices["buy_price"] = buy_price;
    matrices["sell_price"] = sell_price;
    matrices["rq_get_split"] = rq_get_split;
    matrices["rq_get_dividend"] = rq_get_dividend;
    matrices["can_buy_stock"] = can_buy_stock;
    matrices["cant_sell_stock"] = cant_sell_stock;
    matrices["forward_return_rank_cache"] = forward_return_rank_cache;
    return matrices;
}

nb::object assemble_payload(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::handle component_names = call.arg("component_names");
    nb::object component_dataset_key = call.global("component_dataset_key");

    nb::dict component_dataset_keys;
    for (nb::handle name : component_names)
        component_dataset_keys[name] = component_dataset_key(name);

    nb::object data = call.global("dict")(call.arg("data"));
    for (nb::handle item : call.arg("component_matrices").attr("items")()) {
        nb::object pair[2];
        mf::unpack(item, pair);
        data[component_dataset_key(pair[0])] = pair[1];
    }
    data["benchmark_dict"] = call.arg("benchmark_dict");

    nb::dict meta;
    meta["start_date"] = self.attr("default_start");
    meta["end_date"] = self.attr("end_date");
    meta["ddb_start"] = self.attr("_ddb_start");
    meta["ddb_end"] = self.attr("_ddb_end");
    meta["component_names"] = component_names;
    meta["component_dataset_keys"] = component_dataset_keys;
    meta[call.arg("meta_time_key")] = call.global("pd").attr("Timestamp").attr("now")().attr("isoformat")();

    nb::dict payload;
    payload["version"] = call.global("PREPARED_DATA_VERSION");
    payload["meta"] = meta;
    payload["data"] = data;
    return payload;
}

mf::Param frame_dict_param(const char *name, const char *annotation) {
    return {.name = name, .annotation = annotation, .convert = mf::Convert::Dict};
}

}  // namespace

const mf::FunctionDef build_def{
    .name = "build",
    .impl = build,
    .params = {{.name = "self"}},
    .returns = "dict",
    .doc = "完整构建: 逐个查询全部因子与基准, 返回 payload (不写入任何文件)。\n"
           "\n"
           "Returns:\n"
           "    dict: {\"version\", \"meta\", \"data\"}; meta 带 created_at 时间戳。\n"
           "\n"
           "Raises:\n"
           "    ValueError: 有默认成分股矩阵缺失。\n"
           "    NetworkError: 无法连接数据服务。\n",
    .qualname = "GroupPreparedDataBuilder.build",
};

const mf::FunctionDef build_incremental_def{
    .name = "build_incremental",
    .impl = build_incremental,
    .params = {{.name = "self"}},
    .returns = "dict",
    .doc = "增量构建: 一次批量查询全部因子 (失败时逐个补查), 返回 payload。\n"
           "\n"
           "覆盖构建器的整个日期区间; 增量更新的区间由创建构建器的一方选择。\n"
           "\n"
           "Returns:\n"
           "    dict: {\"version\", \"meta\", \"data\"}; meta 带 updated_at 时间戳。\n"
           "\n"
           "Raises:\n"
           "    ValueError: 有默认成分股矩阵缺失。\n"
           "    NetworkError: 无法连接数据服务。\n",
    .qualname = "GroupPreparedDataBuilder.build_incremental",
};

const mf::FunctionDef build_payload_def{
    .name = "_build_payload",
    .impl = build_payload,
    .params = {{.name = "self"},
               {.name = "incremental", .annotation = "bool", .convert = mf::Convert::Bool},
               {.name = "meta_time_key", .annotation = "str", .convert = mf::Convert::Str}},
    .returns = "dict",
    .doc = "读取数据、检查成分股矩阵齐全、派生矩阵并组装 payload。\n"
           "\n"
           "Args:\n"
           "    incremental: 是否批量查询。\n"
           "    meta_time_key: meta 中时间戳的键 (\"created_at\" 或 \"updated_at\")。\n"
           "\n"
           "Returns:\n"
           "    dict: payload。\n"
           "\n"
           "Raises:\n"
           "    ValueError: 有成分股矩阵缺失。\n",
    .qualname = "GroupPreparedDataBuilder._build_payload",
};

const mf::FunctionDef build_from_matrices_def{
    .name = "_build_from_matrices",
    .impl = build_from_matrices,
    .params = {{.name = "self"}, frame_dict_param("source", "dict[str, pd.DataFrame]")},
    .returns = "dict[str, pd.DataFrame]",
    .doc = "由输入因子矩阵派生回测读取的十二个矩阵。\n"
           "\n"
           "价格原样保留; 前收盘价为上一行的收盘价; 送转与分红因子除以 10 (分红再乘 0.9)\n"
           "并在没有收盘价处为 NaN; 买入价等于涨停价不可买, 卖出价等于跌停价不可卖,\n"
           "停牌 (rq_is_suspended 为 1) 既不可买也不可卖; 远期收益排名为后两行开盘价\n"
           "除以后一行开盘价减 1 的截面排名。\n"
           "\n"
           "Args:\n"
           "    source: 因子名 → 日期×股票矩阵, 须含全部十个输入因子。\n"
           "\n"
           "Returns:\n"
           "    dict[str, pd.DataFrame]: 按 BASE_MATRIX_DTYPE 顺序的十二个矩阵。\n"
           "\n"
           "Raises:\n"
           "    KeyError: 缺少某个输入因子。\n",
    .qualname = "GroupPreparedDataBuilder._build_from_matrices",
};

const mf::FunctionDef assemble_payload_def{
    .name = "_assemble_payload",
    .impl = assemble_payload,
    .params = {{.name = "self"},
               frame_dict_param("data", "dict[str, pd.DataFrame]"),
               frame_dict_param("component_matrices", "dict[str, pd.DataFrame]"),
               frame_dict_param("benchmark_dict", "dict[str, pd.Series]"),
               {.name = "component_names", .annotation = "list[str]", .convert = mf::Convert::List},
               {.name = "meta_time_key", .annotation = "str", .convert = mf::Convert::Str}},
    .returns = "dict",
    .doc = "组装 payload: 版本、元信息与全部矩阵 (含成分股矩阵与基准序列)。\n"
           "\n"
           "Args:\n"
           "    data: 十二个派生矩阵。\n"
           "    component_matrices: 成分股因子名 → 成分股矩阵。\n"
           "    benchmark_dict: 基准名 → 日收益序列。\n"
           "    component_names: 成分股因子名列表。\n"
           "    meta_time_key: meta 中时间戳的键。\n"
           "\n"
           "Returns:\n"
           "    dict: {\"version\": PREPARED_DATA_VERSION, \"meta\": ..., \"data\": ...}。\n",
    .qualname = "GroupPreparedDataBuilder._assemble_payload",
};

}  // namespace tolvane::prepare
