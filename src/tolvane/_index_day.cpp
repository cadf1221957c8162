// tolvane._index_day: daily bars of market indices (streamed, wide table).
#include <module_frame/frame.hpp>

#include <native_glue/service.hpp>

namespace mf = module_frame;
namespace nb = nanobind;
namespace service = tolvane::glue::service;

namespace {

constexpr const char *module_doc =
    "指数日线行情查询。\n"
    "\n"
    "提供 ``IndexDayService.get_index_day``: 一次性返回完整的宽表 DataFrame。服务端的\n"
    "每个 record batch 一到达就转换成 DataFrame, 数据只保存在内存中, SDK 从不落盘。\n"
    "列由服务端决定: date、ukey 以及所选的业务列。\n";

nb::object get_index_day(mf::Call &call) {
    nb::object to_str_list = call.global("_to_str_list");
    nb::object ids_list = to_str_list(call.arg("ukeys"));
    nb::object fields_list = to_str_list(call.arg("fields"));
    // No "fields" key means every column.
    nb::dict body = service::request_body(call, {{"ukeys", ids_list}, {"fields", fields_list}});

    service::StreamedAnswer answer = service::stream_query(call, "/index-day/stream", body);
    if (nb::len(answer.frames) > 0)
        return service::concatenated(call, answer.frames);
    // Only a client that swallowed a failure leaves no schema to shape the
    // empty table from.
    if (answer.schema.is_none())
        return call.global("pd").attr("DataFrame")();
    return answer.schema.attr("empty_table")().attr("to_pandas")();
}

const mf::FunctionDef get_index_day_def{
    .name = "get_index_day",
    .impl = get_index_day,
    .params =
        {
            {.name = "self"},
            {.name = "ukeys", .annotation = "str | list[str]"},
            {.name = "fields", .annotation = "str | list[str] | None", .default_value = mf::none_default},
            {.name = "start_date", .annotation = "DateLike | None", .default_value = mf::none_default},
            {.name = "end_date", .annotation = "DateLike | None", .default_value = mf::none_default},
        },
    .returns = "pd.DataFrame",
    .doc = "一次性返回完整指数日线行情(宽表)。\n"
           "\n"
           "Args:\n"
           "    ukeys: 带交易所后缀的完整指数代码, 单个字符串或列表,\n"
           "        如 \"000001.XSHG\"、\"399001.XSHE\"。\n"
           "    fields: 要返回的列名, 单个字符串或列表, 如 \"close\"、\"open\"、\"high\"、\"low\";\n"
           "        省略或为空表示全部列。\n"
           "    start_date: 起始日期; 可以是 int YYYYMMDD、str、date、datetime 或 Timestamp,\n"
           "        如 \"2024-01-01\"、20240101。\n"
           "    end_date: 结束日期, 形式同 start_date, 如 \"2024-12-31\";\n"
           "        省略表示服务端默认的上界。\n"
           "\n"
           "Returns:\n"
           "    pd.DataFrame: 列为 date、ukey 与所选字段的宽表, 索引为 0..n-1。没有数据时为\n"
           "    空 DataFrame, 列名与类型取自服务端的 schema; 若连 schema 都没有收到\n"
           "    (仅当 HTTP 客户端吞掉了传输错误时可能发生), 返回不带列的空 ``DataFrame()``。\n",
    .qualname = "IndexDayService.get_index_day",
};

const mf::FunctionDef index_day_service_init_def = service::service_init_def("IndexDayService.__init__");

void populate(mf::ModuleBuilder &module) {
    service::import_stream_client_names(module);
    module.function(service::to_str_list_def);
    module.add_class({.name = "IndexDayService",
                      .doc = "指数日线行情查询服务。",
                      .methods = {&index_day_service_init_def, &get_index_day_def}});
}

mf::ModuleDef index_day_module{
    .full_name = "tolvane._index_day",
    .source_path = "src/tolvane/_index_day",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_index_day, index_day_module)
