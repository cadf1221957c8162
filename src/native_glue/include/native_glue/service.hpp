// Pieces the data service clients share: the names the streaming clients
// import, the code-list normaliser, the service initialiser that keeps the
// HTTP client, endpoint paths, request bodies and the streamed query itself.
#pragma once

#include <module_frame/frame.hpp>

#include <initializer_list>
#include <string>

namespace tolvane::glue::service {

namespace mf = module_frame;
namespace nb = nanobind;
using namespace nb::literals;

// The imports of a streaming query client, in its module's order.
inline void import_stream_client_names(mf::ModuleBuilder &module) {
    module.import_from("typing", {"Any"});
    module.import("pandas", "pd");
    module.import_from("._download", {"stream_decode"});
    module.import_from("._http", {"API_PREFIX", "HttpClient"});
    module.import_from(".dates", {"DateLike", "normalize_date"});
}

// _to_str_list(value): None stays None, one str becomes a one-element list,
// any other iterable becomes a new list in iteration order.
inline nb::object to_str_list(mf::Call &call) {
    nb::handle value = call.arg("value");
    if (value.is_none())
        return nb::none();
    if (PyUnicode_Check(value.ptr())) {
        nb::list single;
        single.append(value);
        return single;
    }
    return nb::list(value);
}

inline const mf::FunctionDef to_str_list_def{
    .name = "_to_str_list",
    .impl = to_str_list,
    .params = {{.name = "value", .annotation = "str | list[str] | None"}},
    .returns = "list[str] | None",
    .doc = "把 str、str 列表或 None 规范成 str 列表或 None。\n"
           "\n"
           "Args:\n"
           "    value: 单个代码字符串、可迭代的代码序列或 None。\n"
           "\n"
           "Returns:\n"
           "    list[str] | None: None 原样返回; 单个字符串变成单元素列表;\n"
           "    其他可迭代对象按迭代顺序转成新列表(元素不做转换或检查)。\n",
};

// __init__(self, http) of every service class.
inline nb::object store_http(mf::Call &call) {
    call.arg("self").attr("_http") = call.arg("http");
    return nb::none();
}

inline mf::FunctionDef service_init_def(const char *qualname) {
    return {
        .name = "__init__",
        .impl = store_http,
        .params = {{.name = "self"}, {.name = "http", .annotation = "HttpClient"}},
        .returns = "None",
        .doc = "初始化。\n"
               "\n"
               "Args:\n"
               "    http: 已签名的 HttpClient, 所有请求经由它发出。\n",
        .qualname = qualname,
    };
}

// f"{API_PREFIX}{endpoint}", reading API_PREFIX from the module at each call.
inline nb::object endpoint_path(mf::Call &call, const char *endpoint) {
    return nb::str("{}{}").attr("format")(call.global("API_PREFIX"), endpoint);
}

// One list of a request body: its key and the list from _to_str_list.
struct ListField {
    const char *key;
    nb::handle values;
};

// A request body: each list in the given order when it is non-empty (None and
// an empty list both mean "all" to the service), then "start_date" and
// "end_date", each only when given, normalised to the service's date form.
inline nb::dict request_body(mf::Call &call, std::initializer_list<ListField> lists) {
    nb::dict body;
    for (const ListField &list : lists) {
        if (mf::truthy(list.values))
            body[list.key] = list.values;
    }
    for (const char *key : {"start_date", "end_date"}) {
        if (!call.is_none(key))
            body[key] = call.global("normalize_date")(call.arg(key));
    }
    return body;
}

// What a streamed query received: the decoded frames and the stream schema
// (None when no schema arrived).
struct StreamedAnswer {
    nb::object frames, schema;
};

// Posts `body` to the endpoint through the service's client and decodes the
// Arrow stream batch by batch as it arrives.
inline StreamedAnswer stream_query(mf::Call &call, const char *endpoint, nb::handle body) {
    nb::object decoded =
        call.global("stream_decode")(call.arg("self").attr("_http"), endpoint_path(call, endpoint), body);
    return {decoded[0], decoded[1]};
}

// The frames of a streamed answer as one table with a fresh index 0..n-1.
inline nb::object concatenated(mf::Call &call, nb::handle frames) {
    return call.global("pd").attr("concat")(frames, "ignore_index"_a = true);
}

}  // namespace tolvane::glue::service
