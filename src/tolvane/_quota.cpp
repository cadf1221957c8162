// tolvane._quota: the user's data-traffic quota.
#include <module_frame/frame.hpp>

#include <native_glue/service.hpp>

namespace mf = module_frame;
namespace nb = nanobind;
namespace service = tolvane::glue::service;

namespace {

constexpr const char *module_doc =
    "配额查询服务。\n"
    "\n"
    "对外给出三层配额视图:\n"
    "\n"
    "- 当日基础额度: ``daily_quota_bytes`` / ``daily_used_bytes`` (次日重置);\n"
    "- 加油包余额: ``extra_quota_bytes`` (永不过期, 用完为止);\n"
    "- 合并后的精确可用量: ``available_bytes``;\n"
    "\n"
    "以及套餐信息: ``remaining_days`` / ``license_type``。\n";

constexpr const char *quota_doc =
    "配额信息字典。\n"
    "\n"
    "所有键都可能缺省(total=False); 运行时就是普通 dict。\n"
    "\n"
    "Attributes:\n"
    "    daily_quota_bytes: 今日基础流量额度(字节), 次日重置。\n"
    "    daily_used_bytes: 今日已用流量(字节), 次日重置。\n"
    "    extra_quota_bytes: 加油包剩余流量(字节), 永不过期, 用完为止, 默认 0。\n"
    "    available_bytes: 当前可用字节数: 三层合并并扣除已用与冻结部分后的精确值。\n"
    "    remaining_days: 套餐剩余天数; None 表示永久套餐(如免费版)。\n"
    "    license_type: 服务端给出的套餐类型(如 \"commercial\"、\"免费版\")。\n";

nb::object get_quota(mf::Call &call) {
    nb::object data = call.arg("self").attr("_http").attr("get")(service::endpoint_path(call, "/quota"));
    nb::dict quota;
    if (!PyDict_Check(data.ptr()))
        return quota;
    nb::object to_int = call.global("int");
    for (nb::handle key : call.global("_PUBLIC_INT_FIELDS")) {
        if (mf::contains(data, key))
            quota[key] = to_int(data[key]);
    }
    if (mf::contains(data, nb::str("remaining_days"))) {
        nb::object days = data["remaining_days"];
        quota["remaining_days"] = days.is_none() ? days : to_int(days);
    }
    if (mf::contains(data, nb::str("license_type")))
        quota["license_type"] = call.global("str")(data["license_type"]);
    return quota;
}

const mf::FunctionDef get_quota_def{
    .name = "get_quota",
    .impl = get_quota,
    .params = {{.name = "self"}},
    .returns = "Quota",
    .doc = "获取当前用户配额。\n"
           "\n"
           "Returns:\n"
           "    Quota: 含 daily_quota_bytes、daily_used_bytes、extra_quota_bytes、\n"
           "    available_bytes、remaining_days、license_type 六个字段; 服务端没有给出的字段\n"
           "    在结果中同样缺失。remaining_days 为 None 表示永久套餐。四个字节数字段转换为\n"
           "    int, license_type 转换为 str, 其余字段丢弃; 服务端返回的不是 JSON 对象时\n"
           "    结果为空 dict。\n",
    .qualname = "QuotaService.get_quota",
};

const mf::FunctionDef quota_service_init_def = service::service_init_def("QuotaService.__init__");

// The keys of Quota with their annotations as written.
nb::dict quota_annotations() {
    nb::dict annotations;
    annotations["daily_quota_bytes"] = "int";
    annotations["daily_used_bytes"] = "int";
    annotations["extra_quota_bytes"] = "int";
    annotations["available_bytes"] = "int";
    annotations["remaining_days"] = "int | None";
    annotations["license_type"] = "str";
    return annotations;
}

void populate(mf::ModuleBuilder &module) {
    module.import_from("typing", {"TypedDict"});
    module.import_from("._http", {"API_PREFIX", "HttpClient"});
    nb::object quota = module.add_class({.name = "Quota",
                                         .doc = quota_doc,
                                         .bases = {module.module().attr("TypedDict")},
                                         .attributes = {{"__annotations__", quota_annotations()}},
                                         .keywords = {{"total", nb::bool_(false)}}});
    // TypedDict turns the texts into ForwardRefs; keep them as written.
    quota.attr("__annotations__") = quota_annotations();
    module.set("_PUBLIC_INT_FIELDS", nb::make_tuple("daily_quota_bytes", "daily_used_bytes",
                                                    "extra_quota_bytes", "available_bytes"));
    module.add_class({.name = "QuotaService",
                      .doc = "用户配额查询服务。",
                      .methods = {&quota_service_init_def, &get_quota_def}});
}

mf::ModuleDef quota_module{
    .full_name = "tolvane._quota",
    .source_path = "src/tolvane/_quota",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_quota, quota_module)
