// Name lists, the matrix type table and date formatting.
#include "prepare.hpp"

namespace tolvane::prepare {

using namespace nb::literals;

namespace {

nb::object parse_name_list(mf::Call &call) {
    nb::object raw_values = nb::borrow(call.arg("raw_values"));
    nb::list names;
    if (raw_values.is_none())
        return names;
    if (PyUnicode_Check(raw_values.ptr())) {
        nb::object text = raw_values;
        for (const char *separator : {"，", "；", ";", "\n"})
            text = text.attr("replace")(separator, ",");
        raw_values = text.attr("split")(",");
    }
    for (nb::handle item : raw_values) {
        nb::object text = PyUnicode_Check(item.ptr()) ? nb::borrow(item) : nb::str(item);
        nb::object stripped = text.attr("strip")();
        if (nb::len(stripped) > 0)
            names.append(stripped);
    }
    return names;
}

nb::object get_component_factor_names(mf::Call &call) {
    nb::object names = call.global("parse_name_list")(call.global("COMPONENT_FACTOR_NAMES"));
    mf::expect_type(names, &PyList_Type, /*or_none=*/true);
    return names;
}

nb::object build_matrix_dtype(mf::Call &call) {
    nb::object matrix_dtype = call.global("dict")(call.global("BASE_MATRIX_DTYPE"));
    nb::object names = call.is_none("component_names") ? call.global("get_component_factor_names")()
                                                       : nb::borrow(call.arg("component_names"));
    names = call.global("parse_name_list")(names);
    nb::object component_dataset_key = call.global("component_dataset_key");
    for (nb::handle component_name : names)
        matrix_dtype[component_dataset_key(component_name)] = call.global("FLOAT_STORAGE_DTYPE");
    return matrix_dtype;
}

nb::object series_to_yyyymmdd(mf::Call &call) {
    nb::object pd = call.global("pd");
    nb::object parsed = pd.attr("to_datetime")(call.arg("values"), "errors"_a = "coerce");
    if (!nb::isinstance(parsed, pd.attr("Series")))
        parsed = pd.attr("Series")(parsed);
    return parsed.attr("dt").attr("strftime")("%Y%m%d");
}

}  // namespace

const mf::FunctionDef parse_name_list_def{
    .name = "parse_name_list",
    .impl = parse_name_list,
    .params = {{.name = "raw_values"}},
    .returns = "list[str]",
    .doc = "把名字列表规范成去空白的文本列表。\n"
           "\n"
           "字符串按逗号、全角逗号、全角分号、分号与换行切分; 其他可迭代对象逐项取 str()。\n"
           "每一项去掉首尾空白, 空项丢弃; 保持输入顺序, 不去重也不排序。\n"
           "\n"
           "Args:\n"
           "    raw_values: None、一段文本或任意可迭代对象。\n"
           "\n"
           "Returns:\n"
           "    list[str]: 新的名字列表; raw_values 为 None 时为空列表。\n",
};

const mf::FunctionDef get_component_factor_names_def{
    .name = "get_component_factor_names",
    .impl = get_component_factor_names,
    .params = {},
    .returns = "list[str]",
    .doc = "默认的成分股因子名列表。\n"
           "\n"
           "Returns:\n"
           "    list[str]: COMPONENT_FACTOR_NAMES 中五个成分股因子名的新列表, 顺序不变。\n",
};

const mf::FunctionDef build_matrix_dtype_def{
    .name = "build_matrix_dtype",
    .impl = build_matrix_dtype,
    .params = {{.name = "component_names",
                .annotation = "list[str] | None",
                .convert = mf::Convert::List,
                .or_none = true,
                .default_value = mf::none_default}},
    .returns = "dict[str, str]",
    .doc = "存储的矩阵类型表: 基础矩阵加上每个成分股矩阵。\n"
           "\n"
           "从 BASE_MATRIX_DTYPE 的副本开始 (模块中的表不变), 为每个成分股因子名添加一项\n"
           "component_dataset_key(name) → \"float64\"; 重复的名字只得到一项。\n"
           "\n"
           "Args:\n"
           "    component_names: 成分股因子名列表; None 表示默认的五个成分股因子。\n"
           "\n"
           "Returns:\n"
           "    dict[str, str]: 数据集键 → 存储类型; 先是十二个基础矩阵, 再按顺序是成分股矩阵。\n",
};

const mf::FunctionDef series_to_yyyymmdd_def{
    .name = "series_to_yyyymmdd",
    .impl = series_to_yyyymmdd,
    .params = {{.name = "values"}},
    .returns = "pd.Series",
    .doc = "把日期值转换成八位 \"YYYYMMDD\" 文本。\n"
           "\n"
           "用 pd.to_datetime(errors=\"coerce\") 解析, 无法解析的值成为缺失值。\n"
           "\n"
           "Args:\n"
           "    values: Series、Index、数组或列表形式的日期值。\n"
           "\n"
           "Returns:\n"
           "    pd.Series: 日期文本; 输入为 Series 时保留其索引, 否则为从 0 开始的默认索引。\n",
};

}  // namespace tolvane::prepare
