// tolvane._frame_probe: a small module that exercises every convention of the
// module frame, for the test suite. Not part of the public API.
#include <module_frame/frame.hpp>

namespace mf = module_frame;
namespace nb = nanobind;

namespace {

nb::object convert_all(mf::Call &call) {
    return nb::make_tuple(call.arg("count"), call.arg("ratio"), call.arg("flag"), call.arg("mapping"),
                          call.arg("items"), call.arg("label"));
}

const mf::FunctionDef convert_all_def{
    .name = "convert_all",
    .impl = convert_all,
    .params =
        {
            {.name = "count", .annotation = "int", .convert = mf::Convert::Int},
            {.name = "ratio", .annotation = "float", .convert = mf::Convert::Float},
            {.name = "flag",
             .annotation = "bool",
             .convert = mf::Convert::Bool,
             .default_value = mf::bool_default(false)},
            {.name = "mapping",
             .annotation = "dict | None",
             .convert = mf::Convert::Dict,
             .or_none = true,
             .default_value = mf::none_default},
            {.name = "items",
             .annotation = "list",
             .convert = mf::Convert::List,
             .keyword_only = true,
             .default_value = mf::none_default},
            {.name = "label",
             .annotation = "str",
             .convert = mf::Convert::Str,
             .keyword_only = true,
             .default_value = mf::str_default("x")},
        },
    .returns = "tuple",
    .doc = "返回转换后的全部参数。",
};

nb::object needs_keyword(mf::Call &call) {
    return nb::borrow(call.arg("key"));
}

const mf::FunctionDef needs_keyword_def{
    .name = "needs_keyword",
    .impl = needs_keyword,
    .params = {{.name = "value"}, {.name = "key", .keyword_only = true}},
    .doc = "必须以关键字给出 key。",
};

nb::object fail(mf::Call &call) {
    std::string kind = call.get<std::string>("kind");
    if (kind == "frame")
        mf::raise(PyExc_ValueError, "参数不合法");
    if (kind == "python")
        return call.global("int")(nb::str("not a number"));
    if (kind == "result")
        mf::expect_type(nb::list(), &PyDict_Type);
    if (kind == "global")
        return call.global("no_such_name");
    throw std::runtime_error("plain C++ failure");
}

const mf::FunctionDef fail_def{
    .name = "fail",
    .impl = fail,
    .params = {{.name = "kind", .annotation = "str", .convert = mf::Convert::Str}},
    .doc = "按 kind 以不同方式失败。",
};

nb::object read_global(mf::Call &call) {
    return call.global(call.get<std::string>("name").c_str());
}

const mf::FunctionDef read_global_def{
    .name = "read_global",
    .impl = read_global,
    .params = {{.name = "name", .convert = mf::Convert::Str}},
    .doc = "读取模块级名称。",
};

nb::object check_version(mf::Call &call) {
    if (mf::check_binary_version(static_cast<int>(call.as_long("major")),
                                 static_cast<int>(call.as_long("minor")), "tolvane._frame_probe") < 0)
        throw nb::python_error();
    return nb::none();
}

const mf::FunctionDef check_version_def{
    .name = "check_version",
    .impl = check_version,
    .params = {{.name = "major", .convert = mf::Convert::Int},
               {.name = "minor", .convert = mf::Convert::Int}},
    .doc = "以给定的编译期版本执行版本检查。",
};

nb::object describe(mf::Call &call) {
    return nb::make_tuple(call.arg("self"), call.arg("value"));
}

const mf::FunctionDef describe_def{
    .name = "describe",
    .impl = describe,
    .params = {{.name = "self"}, {.name = "value", .default_value = mf::int_default(1)}},
    .doc = "返回 (self, value)。",
    .qualname = "Probe.describe",
};

nb::object twice(mf::Call &call) {
    return call.arg("value") * nb::int_(2);
}

const mf::FunctionDef twice_def{
    .name = "twice",
    .impl = twice,
    .params = {{.name = "value"}},
    .doc = "返回 value * 2。",
    .qualname = "Probe.twice",
};

void populate(mf::ModuleBuilder &module) {
    module.import("threading");
    module.set("LIMIT", nb::int_(3));
    module.function(convert_all_def);
    module.function(needs_keyword_def);
    module.function(fail_def);
    module.function(read_global_def);
    module.function(check_version_def);
    module.add_class({.name = "Probe",
                      .doc = "方法与静态方法的载体。",
                      .methods = {&describe_def},
                      .static_methods = {&twice_def}});
    module.add_dataclass("Record", "数据类。", {{"name", "str"}, {"values", "list[float]"}});
}

mf::ModuleDef probe_module{
    .full_name = "tolvane._frame_probe",
    .source_path = "tests/native/frame_probe",
    .doc = "模块框架的自检模块(仅供测试)。",
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_frame_probe, probe_module)
