// Display strings for ratios, percent points and plain numbers, with "--" for
// a missing value, and the one-line list of yearly excess returns.
#include <string>

#include "strategy_kernel.hpp"

namespace tolvane::strategy_kernel {
namespace {

nb::str missing_mark() {
    return nb::str("--");
}

bool is_missing(mf::Call &call, nb::handle value) {
    return value.is_none() || nb::bool_(call.global("pd").attr("isna")(value));
}

// format(float(value), format_spec): the interpreter's own formatting and errors.
nb::str format_float(nb::handle value, const std::string &format_spec) {
    nb::object number = nb::steal(PyNumber_Float(value.ptr()));
    if (!number.is_valid())
        throw nb::python_error();
    nb::object text = nb::steal(PyObject_Format(number.ptr(), nb::str(format_spec.c_str()).ptr()));
    if (!text.is_valid())
        throw nb::python_error();
    return nb::borrow<nb::str>(text);
}

std::string precision(mf::Call &call) {
    return "." + std::to_string(call.as_long("digits"));
}

nb::object format_pct(mf::Call &call) {
    nb::handle value = call.arg("value");
    if (is_missing(call, value))
        return missing_mark();
    return format_float(value, precision(call) + "%");
}

nb::object format_pct_points(mf::Call &call) {
    nb::handle value = call.arg("value");
    if (is_missing(call, value))
        return missing_mark();
    return format_float(value, precision(call) + "f") + nb::str("%");
}

nb::object format_num(mf::Call &call) {
    nb::handle value = call.arg("value");
    if (is_missing(call, value))
        return missing_mark();
    return format_float(value, precision(call) + "f");
}

nb::object format_annual_excess(mf::Call &call) {
    nb::handle annual_excess = call.arg("annual_excess");
    if (annual_excess.is_none() || nb::len(annual_excess) == 0)
        return missing_mark();
    nb::object format_pct_function = call.global("_format_pct");
    nb::list parts;
    for (nb::handle item : annual_excess.attr("items")()) {
        nb::object year = item[0];
        nb::object value = item[1];
        if (is_missing(call, value))
            continue;
        parts.append(nb::str(year) + nb::str(": ") + format_pct_function(value));
    }
    if (nb::len(parts) == 0)
        return missing_mark();
    return nb::str(" | ").attr("join")(parts);
}

mf::Param value_param() {
    return {.name = "value"};
}
mf::Param digits_param() {
    return {.name = "digits",
            .annotation = "int",
            .convert = mf::Convert::Int,
            .default_value = mf::int_default(2)};
}

}  // namespace

const mf::FunctionDef format_pct_def{
    .name = "_format_pct",
    .impl = format_pct,
    .params = {value_param(), digits_param()},
    .returns = "str",
    .doc = "把比例格式化为百分数字符串(0.05 → \"5.00%\")。\n"
           "\n"
           "Args:\n"
           "    value: 比例值(0.05 = 5%); 可以是能被 float() 转换的字符串。\n"
           "        None 或缺失值(NaN、pd.NA 等)返回 \"--\"。\n"
           "    digits: 小数位数, 默认 2。\n"
           "\n"
           "Returns:\n"
           "    str: 乘以 100 后保留 digits 位小数并加 \"%\" 的字符串, 或 \"--\"。\n",
};

const mf::FunctionDef format_pct_points_def{
    .name = "_format_pct_points",
    .impl = format_pct_points,
    .params = {value_param(), digits_param()},
    .returns = "str",
    .doc = "把百分点数值格式化为百分数字符串(5.0 → \"5.00%\")。\n"
           "\n"
           "注意: calc_strategy_stats 的大多数字段(annual_return、max_dd、win_rate、\n"
           "turnover 等)以百分点为单位, 必须用本函数格式化; 若误用 _format_pct,\n"
           "数值会被放大 100 倍。\n"
           "\n"
           "Args:\n"
           "    value: 百分点数值(5.0 = 5%); None 或缺失值返回 \"--\"。\n"
           "    digits: 小数位数, 默认 2。\n"
           "\n"
           "Returns:\n"
           "    str: 保留 digits 位小数并加 \"%\" 的字符串(不乘 100), 或 \"--\"。\n",
};

const mf::FunctionDef format_num_def{
    .name = "_format_num",
    .impl = format_num,
    .params = {value_param(), digits_param()},
    .returns = "str",
    .doc = "把数值格式化为定点小数字符串(1.234 → \"1.23\")。\n"
           "\n"
           "Args:\n"
           "    value: 数值; None 或缺失值返回 \"--\"。\n"
           "    digits: 小数位数, 默认 2。\n"
           "\n"
           "Returns:\n"
           "    str: 保留 digits 位小数的字符串, 或 \"--\"。\n",
};

const mf::FunctionDef format_annual_excess_def{
    .name = "_format_annual_excess",
    .impl = format_annual_excess,
    .params = {{.name = "annual_excess", .annotation = "pd.Series"}},
    .returns = "str",
    .doc = "把分年度超额收益排成一行文字(\"2021: 5.00% | 2023: -1.20%\")。\n"
           "\n"
           "Args:\n"
           "    annual_excess: 年份 → 超额收益(比例)的 Series 或 dict; 缺失值的年份被跳过。\n"
           "\n"
           "Returns:\n"
           "    str: 各年 \"年份: 百分数\" 以 \" | \" 连接; 为 None、为空或全部缺失时为 \"--\"。\n",
};

}  // namespace tolvane::strategy_kernel
