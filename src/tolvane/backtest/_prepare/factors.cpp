// GroupPreparedDataBuilder: construction, dates, and reading factors into
// date x stock matrices.
#include "prepare.hpp"

namespace tolvane::prepare {

using namespace nb::literals;

const char *const builder_doc =
    "回测准备数据增量构建器。\n\n"
    "    通过已初始化的 SDK 单例拉取因子/指数数据,pivot 成日期×股票宽表,派生回测所需矩阵,\n"
    "    并组装成可写入二进制存储的 payload。\n"
    "    ";

bool has_rows(nb::handle value) {
    return !value.is_none() && nb::len(value) > 0;
}

bool is_network_error(const mf::Call &call, const nb::python_error &error) {
    return error.matches(call.global("NetworkError"));
}

mf::Param optional_batch_param() {
    return {.name = "batch",
            .annotation = "dict[str, pd.DataFrame] | None",
            .convert = mf::Convert::Dict,
            .or_none = true,
            .default_value = mf::none_default};
}

namespace {

nb::object new_empty_frame(const mf::Call &call) {
    return call.global("pd").attr("DataFrame")();
}

nb::object builder_init(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::object normalize_yyyymmdd = call.global("normalize_yyyymmdd");
    self.attr("default_start") = normalize_yyyymmdd(call.arg("start_date"));
    self.attr("end_date") = normalize_yyyymmdd(call.arg("end_date"));
    self.attr("_ddb_start") = self.attr("_normalize_ddb_backtest_date")(self.attr("default_start"));
    self.attr("_ddb_end") = self.attr("_normalize_ddb_backtest_date")(self.attr("end_date"));
    return nb::none();
}

nb::object normalize_ddb_backtest_date(mf::Call &call) {
    nb::handle date_value = call.arg("date_value");
    if (date_value.is_none())
        return nb::none();
    nb::object text = PyUnicode_Check(date_value.ptr()) ? nb::borrow(date_value) : nb::str(date_value);
    if (nb::len(text) == 7 && mf::truthy(text.attr("isdigit")())) {
        // The "0" goes after the seventh digit, not before it: "2024011" -> "20240110".
        return text + nb::str("0");
    }
    return text;
}

nb::object tolvane_factor_date(mf::Call &call) {
    nb::object text = call.global("normalize_yyyymmdd")(call.arg("date_value"));
    mf::expect_type(text, &PyUnicode_Type, /*or_none=*/true);
    if (text.is_none())
        return nb::none();
    return call.global("pd").attr("to_datetime")(text, "format"_a = "%Y%m%d").attr("strftime")("%Y-%m-%d");
}

nb::object empty_like(mf::Call &call) {
    nb::handle reference = call.arg("reference");
    return call.global("pd").attr("DataFrame")(call.arg("fill_value"), "index"_a = reference.attr("index"),
                                               "columns"_a = reference.attr("columns"));
}

// get_instance().get_factors(factor=..., start_date=..., end_date=...) over
// the builder's range.
nb::object query_factors(const mf::Call &call, nb::handle self, nb::handle factor) {
    nb::object service = call.global("get_instance")();
    nb::object get_factors = service.attr("get_factors");
    return get_factors("factor"_a = factor,
                       "start_date"_a = self.attr("_tolvane_factor_date")(self.attr("default_start")),
                       "end_date"_a = self.attr("_tolvane_factor_date")(self.attr("end_date")));
}

nb::object read_normal_factor_matrix(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::handle name = call.arg("name");
    nb::object answer = query_factors(call, self, name);
    nb::list names;
    names.append(name);
    nb::object matrices = self.attr("_tolvane_factors_to_matrices")(answer, names);
    nb::object matrix = matrices.attr("get")(name, new_empty_frame(call));
    if (!has_rows(matrix))
        return new_empty_frame(call);
    return matrix;
}

// The names the conversion reads for the columns of a factor answer.
constexpr const char *column_renames[][2] = {
    {"date", "DataDate"}, {"value", "x"}, {"factor", "factorname"}, {"factor_name", "factorname"}};

// The columns of a factor answer under the names the conversion reads.
nb::object renamed_columns(const mf::Call &call, nb::handle df) {
    nb::object columns = df.attr("columns");
    nb::dict mapping;
    for (const auto &[old_name, new_name] : column_renames) {
        if (mf::contains(columns, nb::str(old_name)))
            mapping[old_name] = new_name;
    }
    return df.attr("rename")("columns"_a = mapping);
}

// The same for an answer in a pyarrow Table; None when two columns would then
// share a name.
nb::object renamed_arrow_columns(nb::handle table) {
    nb::list names;
    for (nb::handle name : table.attr("column_names")) {
        nb::object renamed = nb::borrow(name);
        for (const auto &[old_name, new_name] : column_renames) {
            if (nb::str(old_name).equal(name))
                renamed = nb::str(new_name);
        }
        names.append(renamed);
    }
    if (nb::len(nb::set(names)) != nb::len(names))
        return nb::none();
    return table.attr("rename_columns")(names);
}

// Fills `result` from a long answer held in a pyarrow Table, as from the
// frame the table gives; false, with nothing done, when the answer is wide,
// lacks a label column or has a column of a type only the frame's
// conversion reads.
bool convert_arrow_answer(const mf::Call &call, nb::handle answer, nb::handle names, nb::dict &result,
                          const TargetAxes *onto, nb::handle memo) {
    nb::object table = renamed_arrow_columns(answer);
    if (table.is_none())
        return false;
    nb::object columns = table.attr("column_names");
    if (!mf::contains(columns, nb::str("ukey")) || !mf::contains(columns, nb::str("DataDate")) ||
        !mf::contains(columns, nb::str("x")))
        return false;
    if (mf::contains(columns, nb::str("factorname")))
        return pivot_arrow_answer(call, table, nb::none(), result, onto, memo);
    if (nb::len(names) == 1)
        return pivot_arrow_answer(call, table, names[0], result, onto, memo);
    return true;  // several factors and no names to tell them apart: nothing to convert
}

bool is_arrow_table(nb::handle value) {
    return nb::isinstance(value, nb::module_::import_("pyarrow").attr("Table"));
}

// Fills `result` (one entry per wanted name, already there) with the
// matrices of a factor answer, long or wide, on `onto`'s axes when given.
// An answer held in a pyarrow Table is read in place where it can be (with
// `memo` as in pivot_arrow_answer), else converted to a frame first.
void convert_answer(const mf::Call &call, nb::handle df, nb::handle names, nb::dict &result,
                    const TargetAxes *onto, nb::handle memo = nb::none()) {
    if (!has_rows(df))
        return;
    nb::object answer = nb::borrow(df);
    if (is_arrow_table(df)) {
        if (convert_arrow_answer(call, df, names, result, onto, memo))
            return;
        answer = df.attr("to_pandas")();
    }
    nb::object frame = renamed_columns(call, answer);
    nb::object columns = frame.attr("columns");
    if (!mf::contains(columns, nb::str("ukey")) || !mf::contains(columns, nb::str("DataDate")))
        mf::raise(PyExc_KeyError, "因子查询返回结果缺少 ukey/date 列");

    if (mf::contains(columns, nb::str("x"))) {
        if (mf::contains(columns, nb::str("factorname"))) {
            pivot_factor_answer(call, frame, "x", "factorname", nb::none(), result, onto);
        } else if (nb::len(names) == 1) {
            pivot_factor_answer(call, frame, "x", nullptr, names[0], result, onto);
        }
        return;
    }
    // A wide answer: one value column per requested factor.
    for (nb::handle name : names) {
        if (mf::contains(columns, name))
            pivot_factor_answer(call, frame, nb::str(name).c_str(), nullptr, name, result, onto);
    }
}

// Where a builder remembers the label codes of the last Arrow answer it
// converted (a dict in its attributes, made on first use); None for an
// object without attributes of its own.
nb::object arrow_label_memo(nb::handle self) {
    nb::object attributes = nb::getattr(self, "__dict__", nb::none());
    if (!PyDict_Check(attributes.ptr()))
        return nb::none();
    nb::object memo = attributes.attr("get")("_arrow_label_memo");
    if (!PyDict_Check(memo.ptr())) {
        memo = nb::dict();
        attributes["_arrow_label_memo"] = memo;
    }
    return memo;
}

nb::object tolvane_factors_to_matrices(mf::Call &call) {
    nb::handle names = call.arg("names");
    nb::dict result;
    for (nb::handle name : names)
        result[name] = new_empty_frame(call);
    nb::handle df = call.arg("df");
    convert_answer(call, df, names, result, nullptr,
                   has_rows(df) && is_arrow_table(df) ? arrow_label_memo(call.arg("self")) : nb::none());
    return result;
}

nb::object factor_matrices_on_axes(mf::Call &call) {
    nb::handle names = call.arg("names");
    nb::object pd = call.global("pd");
    const TargetAxes onto{pd.attr("Index")(call.arg("index")), pd.attr("Index")(call.arg("columns"))};
    if (!mf::truthy(onto.index.attr("is_unique")) || !mf::truthy(onto.columns.attr("is_unique")))
        mf::raise(PyExc_ValueError, "目标日期与股票代码必须各不重复");
    nb::dict result;
    for (nb::handle name : names)
        result[name] = pd.attr("DataFrame")(nan_value(), "index"_a = onto.index, "columns"_a = onto.columns,
                                            "dtype"_a = "float64");
    convert_answer(call, call.arg("df"), names, result, &onto);
    return result;
}

nb::object read_normal_factor_batch(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::object names = call.global("parse_name_list")(call.arg("names"));
    if (nb::len(names) == 0)
        return nb::dict();

    nb::object result;
    try {
        nb::object answer = query_factors(call, self, names);
        result = self.attr("_tolvane_factors_to_matrices")(answer, names);
    } catch (nb::python_error &error) {
        if (!is_network_error(call, error))
            throw;
        // The service could not be reached: every factor is read alone below.
        nb::dict empty;
        for (nb::handle name : names)
            empty[name] = new_empty_frame(call);
        result = empty;
    }

    nb::list missing_names;
    for (nb::handle name : names) {
        if (!has_rows(result.attr("get")(name)))
            missing_names.append(name);
    }
    for (nb::handle name : missing_names)
        result[name] = self.attr("_read_normal_factor_matrix")(name);
    mf::expect_type(result, &PyDict_Type, /*or_none=*/true);
    return result;
}

nb::object read_or_empty(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::handle name = call.arg("name");
    nb::handle batch = call.arg("batch");
    nb::object matrix;
    if (batch.is_none()) {
        matrix = self.attr("_read_normal_factor_matrix")(name);
    } else {
        matrix = batch.attr("get")(name);
        if (has_rows(matrix))
            return matrix.attr("sort_index")();
    }
    if (!has_rows(matrix))
        return self.attr("_empty_like")(call.arg("reference"));
    return matrix;
}

nb::object batch_or_read(mf::Call &call) {
    nb::handle name = call.arg("name");
    nb::object matrix = call.arg("batch").attr("get")(name);
    if (has_rows(matrix))
        return matrix.attr("sort_index")();
    return call.arg("self").attr("_read_normal_factor_matrix")(name);
}

mf::Param str_param(const char *name) {
    return {.name = name, .annotation = "str", .convert = mf::Convert::Str};
}

}  // namespace

const mf::FunctionDef builder_init_def{
    .name = "__init__",
    .impl = builder_init,
    .params = {{.name = "self"}, str_param("start_date"), str_param("end_date")},
    .returns = "None",
    .doc = "为一个日期区间创建构建器 (不访问服务)。\n"
           "\n"
           "Args:\n"
           "    start_date: 起始日期, 如 \"20240101\" 或 \"2024-01-01\"。\n"
           "    end_date: 结束日期, 形式同 start_date。\n",
    .qualname = "GroupPreparedDataBuilder.__init__",
};

const mf::FunctionDef normalize_ddb_backtest_date_def{
    .name = "_normalize_ddb_backtest_date",
    .impl = normalize_ddb_backtest_date,
    .params = {{.name = "date_value"}},
    .returns = "str | None",
    .doc = "把日期规范成回测库使用的文本。\n"
           "\n"
           "七位纯数字文本在第七位之后补 \"0\" (\"2024011\" → \"20240110\"), 其他文本原样返回。\n"
           "\n"
           "Args:\n"
           "    date_value: 日期值; 非文本先取 str()。\n"
           "\n"
           "Returns:\n"
           "    str | None: 日期文本; date_value 为 None 时为 None。\n",
    .qualname = "GroupPreparedDataBuilder._normalize_ddb_backtest_date",
};

const mf::FunctionDef tolvane_factor_date_def{
    .name = "_tolvane_factor_date",
    .impl = tolvane_factor_date,
    .params =
        {{.name = "date_value", .annotation = "str | None", .convert = mf::Convert::Str, .or_none = true}},
    .returns = "str | None",
    .doc = "把日期转换成因子服务需要的 \"YYYY-MM-DD\" 文本。\n"
           "\n"
           "Args:\n"
           "    date_value: 日期文本, 如 \"20240105\"。\n"
           "\n"
           "Returns:\n"
           "    str | None: \"YYYY-MM-DD\"; date_value 为 None 时为 None。\n",
    .qualname = "GroupPreparedDataBuilder._tolvane_factor_date",
};

const mf::FunctionDef empty_like_def{
    .name = "_empty_like",
    .impl = empty_like,
    .params = {{.name = "reference", .annotation = "pd.DataFrame"},
               {.name = "fill_value", .default_value = mf::float_default(NAN)}},
    .returns = "pd.DataFrame",
    .doc = "与参考矩阵同索引同列、每格都是 fill_value 的新矩阵。\n"
           "\n"
           "Args:\n"
           "    reference: 参考矩阵。\n"
           "    fill_value: 填充值, 默认 NaN。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 新矩阵。\n",
    .qualname = "GroupPreparedDataBuilder._empty_like",
};

const mf::FunctionDef read_normal_factor_matrix_def{
    .name = "_read_normal_factor_matrix",
    .impl = read_normal_factor_matrix,
    .params = {{.name = "self"}, str_param("name")},
    .returns = "pd.DataFrame",
    .doc = "单独查询一个因子并转换成日期×股票矩阵。\n"
           "\n"
           "Args:\n"
           "    name: 因子名。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 因子矩阵; 没有数据时为空 DataFrame。\n"
           "\n"
           "Raises:\n"
           "    NetworkError: 无法连接数据服务。\n",
    .qualname = "GroupPreparedDataBuilder._read_normal_factor_matrix",
};

const mf::FunctionDef tolvane_factors_to_matrices_def{
    .name = "_tolvane_factors_to_matrices",
    .impl = tolvane_factors_to_matrices,
    .params = {{.name = "self"},
               {.name = "df", .annotation = "pd.DataFrame | pa.Table | None"},
               {.name = "names", .annotation = "list[str]", .convert = mf::Convert::List}},
    .returns = "dict[str, pd.DataFrame]",
    .doc = "把因子查询结果 (窄表或宽表) 转换成每个因子一个日期×股票矩阵。\n"
           "\n"
           "股票代码取前六位, 日期规范成 \"YYYYMMDD\"; 股票、日期或数值缺失的行丢弃,\n"
           "同一股票同一日期的多行保留最后一行; 透视后经 clean_matrix 整理。\n"
           "\n"
           "Args:\n"
           "    df: 服务返回的 DataFrame; 窄表含 ukey、date/DataDate、value/x 与可选的\n"
           "        factor/factor_name/factorname 列, 宽表每个因子一列。也可以是同样的列组成的\n"
           "        pyarrow Table (如 FactorService.get_factors_table 的答案), 结果与它 to_pandas()\n"
           "        得到的 DataFrame 相同; 文本代码、date32 日期与 float64 数值的窄表直接读取\n"
           "        Arrow 内存, 不先转换成 DataFrame。\n"
           "    names: 需要的因子名。\n"
           "\n"
           "Returns:\n"
           "    dict[str, pd.DataFrame]: names 中每个因子一项; 没有数据的为空 DataFrame。\n"
           "\n"
           "Raises:\n"
           "    KeyError: 结果缺少股票或日期列。\n",
    .qualname = "GroupPreparedDataBuilder._tolvane_factors_to_matrices",
};

const mf::FunctionDef read_normal_factor_batch_def{
    .name = "_read_normal_factor_batch",
    .impl = read_normal_factor_batch,
    .params = {{.name = "self"}, {.name = "names", .annotation = "list[str]", .convert = mf::Convert::List}},
    .returns = "dict[str, pd.DataFrame]",
    .doc = "一次查询多个因子; 批量查询失败或某个因子为空时逐个重新查询。\n"
           "\n"
           "Args:\n"
           "    names: 因子名列表。\n"
           "\n"
           "Returns:\n"
           "    dict[str, pd.DataFrame]: 因子名 → 矩阵; names 为空时为空 dict。\n"
           "\n"
           "Raises:\n"
           "    NetworkError: 逐个查询时仍无法连接数据服务。\n",
    .qualname = "GroupPreparedDataBuilder._read_normal_factor_batch",
};

const mf::FunctionDef read_or_empty_def{
    .name = "_read_or_empty",
    .impl = read_or_empty,
    .params = {{.name = "self"},
               str_param("name"),
               {.name = "reference", .annotation = "pd.DataFrame"},
               optional_batch_param()},
    .returns = "pd.DataFrame",
    .doc = "读取一个可选因子; 没有数据时返回与参考矩阵同形状的 NaN 矩阵。\n"
           "\n"
           "Args:\n"
           "    name: 因子名。\n"
           "    reference: 参考矩阵 (通常为收盘价)。\n"
           "    batch: 批量查询的结果; None 时单独查询。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 因子矩阵 (取自 batch 时按日期排序)。\n",
    .qualname = "GroupPreparedDataBuilder._read_or_empty",
};

const mf::FunctionDef batch_or_read_def{
    .name = "_batch_or_read",
    .impl = batch_or_read,
    .params = {{.name = "self"},
               {.name = "batch", .annotation = "dict[str, pd.DataFrame]", .convert = mf::Convert::Dict},
               str_param("name")},
    .returns = "pd.DataFrame",
    .doc = "优先取批量结果中的因子矩阵, 没有数据时单独查询。\n"
           "\n"
           "Args:\n"
           "    batch: 批量查询的结果。\n"
           "    name: 因子名。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 因子矩阵 (取自 batch 时按日期排序), 可能为空。\n",
    .qualname = "GroupPreparedDataBuilder._batch_or_read",
};

const mf::FunctionDef factor_matrices_on_axes_def{
    .name = "factor_matrices_on_axes",
    .impl = factor_matrices_on_axes,
    .params = {{.name = "df", .annotation = "pd.DataFrame | pa.Table | None"},
               {.name = "names", .annotation = "list[str]", .convert = mf::Convert::List},
               {.name = "index", .annotation = "pd.Index"},
               {.name = "columns", .annotation = "pd.Index"}},
    .returns = "dict[str, pd.DataFrame]",
    .doc = "把因子查询结果 (窄表或宽表) 直接转换到给定的日期与股票轴上。\n"
           "\n"
           "转换规则同 GroupPreparedDataBuilder._tolvane_factors_to_matrices (代码取前六位,\n"
           "日期规范成 \"YYYYMMDD\", 丢弃不完整的行, 同一格保留最后一行, 无穷视为缺失),\n"
           "只是每个矩阵的行与列正是 index 与 columns: 轴外的行丢弃, 没有行的格为 NaN。\n"
           "\n"
           "Args:\n"
           "    df: 服务返回的 DataFrame, 或同样的列组成的 pyarrow Table。\n"
           "    names: 需要的因子名。\n"
           "    index: 日期轴, \"YYYYMMDD\" 文本, 不重复。\n"
           "    columns: 股票轴, 六位代码, 不重复。\n"
           "\n"
           "Returns:\n"
           "    dict[str, pd.DataFrame]: names 中每个因子一个 (len(index), len(columns)) 的 float64\n"
           "    矩阵; 结果中没有的因子全为 NaN。\n"
           "\n"
           "Raises:\n"
           "    KeyError: 结果缺少股票或日期列。\n"
           "    ValueError: 轴上有重复的标签。\n",
};

}  // namespace tolvane::prepare
