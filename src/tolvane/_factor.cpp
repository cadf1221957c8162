// tolvane._factor: factor values (streamed, narrow table) and the factor list.
#include <module_frame/frame.hpp>

#include <native_glue/service.hpp>

namespace mf = module_frame;
namespace nb = nanobind;
namespace service = tolvane::glue::service;
using namespace nb::literals;

namespace {

constexpr const char *module_doc =
    "因子查询。\n"
    "\n"
    "提供 ``FactorService.get_factors``: 一次性返回完整的 DataFrame。服务端的每个\n"
    "record batch 一到达就转换成 DataFrame, 数据只保存在内存中, SDK 从不落盘。\n"
    "结果为窄表, 固定四列: date、ukey、value、factor。``FactorService.get_factors_table``\n"
    "做同样的查询, 把整个流解码成一个 Arrow 表交给调用方。\n";

// The request body of a factor query from the call's four arguments.
nb::dict factor_query_body(mf::Call &call) {
    nb::object to_str_list = call.global("_to_str_list");
    nb::object ids_list = to_str_list(call.arg("ukeys"));
    nb::object factor_list = to_str_list(call.arg("factor"));
    return service::request_body(call, {{"factor", factor_list}, {"ukeys", ids_list}});
}

constexpr const char *factor_stream_endpoint = "/factors/stream";

nb::object get_factors(mf::Call &call) {
    nb::dict body = factor_query_body(call);
    service::StreamedAnswer answer = service::stream_query(call, factor_stream_endpoint, body);
    if (nb::len(answer.frames) == 0) {
        nb::list columns;
        for (const char *column : {"date", "ukey", "value", "factor"})
            columns.append(column);
        return call.global("pd").attr("DataFrame")("columns"_a = columns);
    }
    return service::concatenated(call, answer.frames);
}

const mf::FunctionDef get_factors_def{
    .name = "get_factors",
    .impl = get_factors,
    .params =
        {
            {.name = "self"},
            {.name = "ukeys", .annotation = "str | list[str] | None", .default_value = mf::none_default},
            {.name = "factor", .annotation = "str | list[str] | None", .default_value = mf::none_default},
            {.name = "start_date", .annotation = "DateLike | None", .default_value = mf::none_default},
            {.name = "end_date", .annotation = "DateLike | None", .default_value = mf::none_default},
        },
    .returns = "pd.DataFrame",
    .doc = "一次性返回完整因子数据(窄表)。\n"
           "\n"
           "以下规则由服务端校验, 客户端不做检查。\n"
           "\n"
           "Args:\n"
           "    ukeys: 股票代码, 单个字符串或列表, 每次最多 100 个; None 表示全市场。\n"
           "        可以是六位数字(\"000001\"), 也可以带交易所后缀(\"000001.SZ\"、\n"
           "        \"600036.SH\"、\"430047.BJ\"), 两种写法都接受。\n"
           "    factor: 因子名, 单个字符串或列表, 必填, 1 到 20 个(如 \"alpha1\"、\"vwap\");\n"
           "        省略时服务端拒绝请求。\n"
           "    start_date: 起始日期, 必填; 可以是 int YYYYMMDD、str、date、datetime 或 Timestamp。\n"
           "    end_date: 结束日期, 形式同 start_date; 省略表示服务端的当前日期。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 列为 date、ukey、value、factor 的窄表, 索引为 0..n-1;\n"
           "    没有数据时为列名正确的空 DataFrame。\n",
    .qualname = "FactorService.get_factors",
};

nb::object get_factors_table(mf::Call &call) {
    nb::dict body = factor_query_body(call);
    return call.global("stream_table")(call.arg("self").attr("_http"),
                                       service::endpoint_path(call, factor_stream_endpoint), body);
}

const mf::FunctionDef get_factors_table_def{
    .name = "get_factors_table",
    .impl = get_factors_table,
    .params = get_factors_def.params,
    .returns = "pa.Table | None",
    .doc = "同 get_factors 的查询, 答案是服务端发来的 Arrow 表本身, 不转换成 DataFrame。\n"
           "\n"
           "整个流解码成一个 pyarrow Table (每个 record batch 一个 chunk), 列与类型是服务端\n"
           "发送的: date (date32)、ukey、value、factor。只需要其中几列, 或要自己一次性转换\n"
           "整个答案时, 它省去 get_factors 逐批转换与拼接的客户端 CPU。参数与 get_factors 相同。\n"
           "\n"
           "Returns:\n"
           "    pa.Table | None: 没有数据时为列正确的空表; 出错而 HTTP 客户端吞掉了异常时为 None。\n",
    .qualname = "FactorService.get_factors_table",
};

nb::object list_factors(mf::Call &call) {
    nb::object raw =
        call.arg("self").attr("_http").attr("get")(call.global("API_PREFIX") + nb::str("/factors"));
    nb::object items = raw;
    if (!PyList_Check(raw.ptr())) {
        nb::object get = raw.attr("get");
        items = get("items", get("factors", nb::list()));
    }
    nb::object public_fields = call.global("_PUBLIC_FACTOR_META_FIELDS");
    nb::list factors;
    for (nb::handle item : items) {
        nb::dict described;
        for (nb::handle key : public_fields) {
            if (mf::contains(item, key))
                described[key] = item[key];
        }
        factors.append(described);
    }
    return factors;
}

const mf::FunctionDef list_factors_def{
    .name = "list_factors",
    .impl = list_factors,
    .params = {{.name = "self"}},
    .returns = "list[dict]",
    .doc = "获取可用因子元信息列表。\n"
           "\n"
           "每个元素只保留 factorname、startDate、endDate 三个字段(服务端没有给出的字段\n"
           "不出现), 服务端返回的其他字段一律丢弃, 不会暴露未知字段。\n"
           "\n"
           "Returns:\n"
           "    list[dict]: 每个因子一个 dict, 顺序与服务端一致, 取值原样保留。\n",
    .qualname = "FactorService.list_factors",
};

const mf::FunctionDef factor_service_init_def = service::service_init_def("FactorService.__init__");

void populate(mf::ModuleBuilder &module) {
    service::import_stream_client_names(module);
    module.import("pyarrow", "pa");
    module.import_from("._download", {"stream_table"});
    nb::list exported;
    exported.append("FactorService");
    module.set("__all__", exported);
    module.set("_PUBLIC_FACTOR_META_FIELDS", nb::make_tuple("factorname", "startDate", "endDate"));
    module.function(service::to_str_list_def);
    module.add_class(
        {.name = "FactorService",
         .doc = "因子数据查询服务。",
         .methods = {&factor_service_init_def, &get_factors_def, &get_factors_table_def, &list_factors_def}});
}

mf::ModuleDef factor_module{
    .full_name = "tolvane._factor",
    .source_path = "src/tolvane/_factor",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_factor, factor_module)
