// GroupPreparedDataBuilder: index-component matrices, benchmark daily returns
// and every input matrix of a build.
#include <string>

#include "prepare.hpp"

namespace tolvane::prepare {

using namespace nb::literals;

namespace {

// 1.0 where the stock belongs to the index, NaN elsewhere; infinities and
// zeros of the matrix as read mark no membership.
nb::object membership_matrix(const mf::Call &call, nb::handle matrix) {
    nb::object present = infinities_as_missing(call, matrix).attr("mask")(matrix.attr("eq")(0));
    return present.attr("where")(present.attr("isna")(), 1.0).attr("sort_index")();
}

nb::object component_matrices(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::handle batch = call.arg("batch");
    nb::dict matrices;
    for (nb::handle component_name : call.arg("component_names")) {
        nb::object matrix;
        try {
            if (batch.is_none()) {
                matrix = self.attr("_read_normal_factor_matrix")(component_name);
            } else {
                matrix = batch.attr("get")(component_name);
                if (!has_rows(matrix))
                    matrix = self.attr("_read_normal_factor_matrix")(component_name);
            }
        } catch (nb::python_error &error) {
            if (!is_network_error(call, error))
                throw;
            continue;  // an unreachable component is left out; the build decides
        }
        if (!has_rows(matrix))
            continue;
        matrices[component_name] = membership_matrix(call, matrix);
    }
    return matrices;
}

[[noreturn]] void raise_key_error(const std::string &message) {
    mf::raise(PyExc_KeyError, message);
}

nb::object format_benchmark_daily_return(mf::Call &call) {
    nb::handle df = call.arg("df");
    const std::string benchmark_name = nb::str(call.arg("benchmark_name")).c_str();
    nb::handle index_code = call.arg("index_code");
    nb::object pd = call.global("pd");
    if (!has_rows(df))
        raise_key_error("基准日频数据为空: " + benchmark_name + " (" + nb::str(index_code).c_str() + ")");

    nb::object frame = df.attr("copy")();
    if (mf::contains(frame.attr("columns"), nb::str("date"))) {
        nb::dict renamed;
        renamed["date"] = "DataDate";
        frame = frame.attr("rename")("columns"_a = renamed);
    }
    if (!mf::contains(frame.attr("columns"), nb::str("DataDate")))
        raise_key_error(benchmark_name + " 基准缺少 DataDate 列");

    frame["DataDate"] = call.global("series_to_yyyymmdd")(frame["DataDate"]);
    // A stable sort keeps rows of one date in their received order, so the
    // later of two rows for a date is the one that survives below.
    frame = frame.attr("dropna")("subset"_a = python_list({"DataDate"}))
                .attr("sort_values")("DataDate", "kind"_a = "stable");
    if (mf::contains(frame.attr("columns"), nb::str("ukey"))) {
        frame["ukey"] = frame["ukey"].attr("astype")(call.global("str"));
        frame = frame[frame["ukey"].attr("eq")(index_code)];
    }

    nb::object to_numeric = pd.attr("to_numeric");
    nb::object columns = df.attr("columns");
    if (!mf::contains(frame.attr("columns"), nb::str("daily_return"))) {
        nb::object return_column;
        for (const char *candidate : {"return", "returns", "pct_change", "change_rate"}) {
            if (mf::contains(columns, nb::str(candidate))) {
                return_column = nb::str(candidate);
                break;
            }
        }
        if (return_column.is_valid()) {
            frame["daily_return"] = to_numeric(frame[return_column], "errors"_a = "coerce");
        } else if (mf::contains(frame.attr("columns"), nb::str("close"))) {
            frame["daily_return"] = to_numeric(frame["close"], "errors"_a = "coerce").attr("pct_change")();
        } else {
            raise_key_error(benchmark_name + " 基准缺少 daily_return/close 列");
        }
    }
    frame["daily_return"] = to_numeric(frame["daily_return"], "errors"_a = "coerce");

    nb::list duplicate_subset;
    for (const char *column : {"ukey", "DataDate"}) {
        if (mf::contains(frame.attr("columns"), nb::str(column)))
            duplicate_subset.append(column);
    }
    if (nb::len(duplicate_subset) > 0)
        frame = frame.attr("drop_duplicates")("subset"_a = duplicate_subset, "keep"_a = "last");
    frame = frame.attr("drop_duplicates")("subset"_a = python_list({"DataDate"}), "keep"_a = "last");
    return frame.attr("set_index")("DataDate")["daily_return"]
        .attr("rename")("index_day_return")
        .attr("dropna")()
        .attr("sort_index")();
}

nb::object read_benchmark_dict(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::object index_codes = call.global("BENCHMARK_INDEX_CODES");
    nb::object service = call.global("get_instance")();
    nb::object answer = service.attr("get_index_day")(
        "ukeys"_a = call.global("list")(index_codes.attr("values")()),
        "start_date"_a = self.attr("default_start"), "end_date"_a = self.attr("end_date"));
    nb::dict benchmarks;
    for (nb::handle item : index_codes.attr("items")()) {
        nb::object pair[2];
        mf::unpack(item, pair);
        benchmarks[pair[0]] = self.attr("_format_benchmark_daily_return")(answer, pair[0], pair[1]);
    }
    return benchmarks;
}

nb::object read_source_data(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::object component_names = call.global("get_component_factor_names")();
    nb::object required = call.global("REQUIRED_FACTOR_NAMES");
    nb::object optional = call.global("OPTIONAL_FACTOR_NAMES");
    nb::dict source;
    nb::object component_matrices;
    if (mf::truthy(call.arg("incremental"))) {
        nb::object batch = self.attr("_read_normal_factor_batch")(
            call.global("list")(call.global("BUILD_INPUT_NAMES")) + component_names);
        nb::object reference = self.attr("_batch_or_read")(batch, "Close");
        source["Close"] = reference;
        component_matrices = self.attr("_component_matrices")(component_names, "batch"_a = batch);
        for (nb::handle name : required) {
            if (!nb::str(name).equal(nb::str("Close")))
                source[name] = self.attr("_batch_or_read")(batch, name);
        }
        for (nb::handle name : optional)
            source[name] = self.attr("_read_or_empty")(name, reference, "batch"_a = batch);
    } else {
        for (nb::handle name : required)
            source[name] = self.attr("_read_normal_factor_matrix")(name);
        nb::object reference = source["Close"];
        for (nb::handle name : optional)
            source[name] = self.attr("_read_or_empty")(name, reference);
        component_matrices = self.attr("_component_matrices")(component_names);
    }
    nb::object benchmark_dict = self.attr("_read_benchmark_dict")();
    return nb::make_tuple(source, component_matrices, benchmark_dict, component_names);
}

}  // namespace

const mf::FunctionDef component_matrices_def{
    .name = "_component_matrices",
    .impl = component_matrices,
    .params = {{.name = "self"},
               {.name = "component_names", .annotation = "list[str]", .convert = mf::Convert::List},
               optional_batch_param()},
    .returns = "dict[str, pd.DataFrame]",
    .doc = "读取成分股矩阵: 成分股为 1.0, 其余为 NaN, 按日期排序。\n"
           "\n"
           "原值为 0 或无穷的单元格视为不是成分股。读取时无法连接数据服务或没有数据的\n"
           "成分股不出现在结果中, 由调用方决定如何处理。\n"
           "\n"
           "Args:\n"
           "    component_names: 成分股因子名列表。\n"
           "    batch: 批量查询的结果; None 时逐个查询, 批量结果中为空的也单独查询。\n"
           "\n"
           "Returns:\n"
           "    dict[str, pd.DataFrame]: 成分股因子名 → 成分股矩阵。\n",
    .qualname = "GroupPreparedDataBuilder._component_matrices",
};

const mf::FunctionDef format_benchmark_daily_return_def{
    .name = "_format_benchmark_daily_return",
    .impl = format_benchmark_daily_return,
    .params = {{.name = "self"},
               {.name = "df", .annotation = "pd.DataFrame"},
               {.name = "benchmark_name", .annotation = "str", .convert = mf::Convert::Str},
               {.name = "index_code", .annotation = "str", .convert = mf::Convert::Str}},
    .returns = "pd.Series",
    .doc = "从指数日线结果中取出一个基准的日收益序列。\n"
           "\n"
           "优先使用 daily_return 列, 其次 return、returns、pct_change、change_rate,\n"
           "都没有时由 close 计算涨跌幅。同一日期多行时保留最后一行。\n"
           "\n"
           "Args:\n"
           "    df: 指数日线 DataFrame, 含 date/DataDate 列与可选的 ukey 列。\n"
           "    benchmark_name: 基准名, 如 \"000852\"。\n"
           "    index_code: 指数代码, 如 \"000852.XSHG\"; 有 ukey 列时只取这个指数的行。\n"
           "\n"
           "Returns:\n"
           "    pd.Series: 名为 index_day_return 的日收益 (比例), 以 \"YYYYMMDD\" 日期为\n"
           "    索引并升序排列, 没有缺失值。\n"
           "\n"
           "Raises:\n"
           "    KeyError: 数据为空, 或缺少日期列或收益/收盘价列。\n",
    .qualname = "GroupPreparedDataBuilder._format_benchmark_daily_return",
};

const mf::FunctionDef read_benchmark_dict_def{
    .name = "_read_benchmark_dict",
    .impl = read_benchmark_dict,
    .params = {{.name = "self"}},
    .returns = "dict[str, pd.Series]",
    .doc = "一次查询三个基准指数, 得到各自的日收益序列。\n"
           "\n"
           "Returns:\n"
           "    dict[str, pd.Series]: 基准名 → 日收益序列, 按 BENCHMARK_INDEX_CODES 的顺序。\n"
           "\n"
           "Raises:\n"
           "    NetworkError: 无法连接数据服务。\n"
           "    KeyError: 某个基准没有数据或缺少所需的列。\n",
    .qualname = "GroupPreparedDataBuilder._read_benchmark_dict",
};

const mf::FunctionDef read_source_data_def{
    .name = "_read_source_data",
    .impl = read_source_data,
    .params = {{.name = "self"}, {.name = "incremental", .annotation = "bool", .convert = mf::Convert::Bool}},
    .returns = "tuple[dict[str, pd.DataFrame], dict[str, pd.DataFrame], dict[str, pd.Series], list[str]]",
    .doc = "读取一次构建所需的全部数据。\n"
           "\n"
           "增量方式一次查询全部十五个因子 (失败或为空时逐个补查); 完整方式逐个查询。\n"
           "可选因子没有数据时为与收盘价同形状的 NaN 矩阵。基准指数最后查询。\n"
           "\n"
           "Args:\n"
           "    incremental: True 为批量查询, False 为逐个查询。\n"
           "\n"
           "Returns:\n"
           "    tuple: (因子名 → 矩阵, 成分股因子名 → 成分股矩阵, 基准名 → 日收益序列,\n"
           "    成分股因子名列表)。\n",
    .qualname = "GroupPreparedDataBuilder._read_source_data",
};

}  // namespace tolvane::prepare
