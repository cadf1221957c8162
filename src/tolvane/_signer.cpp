// tolvane._signer: HMAC-SHA256 request signatures for the data service.
#include <module_frame/frame.hpp>

namespace mf = module_frame;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *module_doc =
    "请求签名：HMAC-SHA256.\n"
    "\n"
    "签名串格式: {METHOD}\\n{PATH}\\n{QUERY}\\n{TIMESTAMP}\\n{NONCE}\\n{BODY_HASH}\n"
    "该格式与服务端及 Web 前端共用, 任何一个字节的改动都会导致验签失败。\n";

nb::object body_hash(mf::Call &call) {
    nb::handle body = call.arg("body");
    if (body.is_none() || PyBytes_GET_SIZE(body.ptr()) == 0)
        return nb::str("");
    return call.global("hashlib").attr("sha256")(body).attr("hexdigest")();
}

const mf::FunctionDef body_hash_def{
    .name = "_body_hash",
    .impl = body_hash,
    .params =
        {{.name = "body", .annotation = "bytes | None", .convert = mf::Convert::Bytes, .or_none = true}},
    .returns = "str",
    .doc = "计算请求体的 SHA-256 摘要。\n"
           "\n"
           "Args:\n"
           "    body: 请求体原始字节; None 或空字节串表示没有请求体。\n"
           "\n"
           "Returns:\n"
           "    str: 小写十六进制摘要(64 个字符); 没有请求体时为空字符串\n"
           "    (空请求体不参与摘要计算)。\n",
};

nb::object sign_request(mf::Call &call) {
    nb::handle sign_secret = call.arg("sign_secret");
    nb::handle method = call.arg("method");
    nb::handle params = call.arg("params");

    nb::object parsed = call.global("urlparse")(call.arg("path"));
    nb::object clean_path = parsed.attr("path");
    if (!nb::bool_(clean_path))
        clean_path = nb::str("/");
    nb::object query = parsed.attr("query");
    if (!nb::bool_(query))
        query = nb::str("");
    if (!params.is_none() && PyDict_GET_SIZE(params.ptr()) > 0) {
        nb::object sorted_items = nb::borrow(PyEval_GetBuiltins())["sorted"](params.attr("items")());
        query = call.global("urlencode")(sorted_items);
    }
    nb::object timestamp = nb::str(nb::int_(call.global("time").attr("time")()));
    nb::object nonce = call.global("secrets").attr("token_hex")(32);
    nb::object hashed_body = call.global("_body_hash")(call.arg("body"));

    nb::list fields;
    fields.append(method.attr("upper")());
    fields.append(clean_path);
    fields.append(query);
    fields.append(timestamp);
    fields.append(nonce);
    fields.append(hashed_body);
    nb::object sign_string = nb::str("\n").attr("join")(fields);

    nb::object key = sign_secret.attr("encode")("utf-8");
    nb::object message = sign_string.attr("encode")("utf-8");
    nb::object hashlib = call.global("hashlib");
    nb::object signature =
        call.global("hmac").attr("new")(key, message, hashlib.attr("sha256")).attr("hexdigest")();

    nb::dict headers;
    headers["X-Timestamp"] = timestamp;
    headers["X-Nonce"] = nonce;
    headers["X-Signature"] = signature;
    return headers;
}

const mf::FunctionDef sign_request_def{
    .name = "sign_request",
    .impl = sign_request,
    .params =
        {
            {.name = "sign_secret", .annotation = "str", .convert = mf::Convert::Str},
            {.name = "method", .annotation = "str", .convert = mf::Convert::Str},
            {.name = "path", .annotation = "str", .convert = mf::Convert::Str},
            {.name = "body",
             .annotation = "bytes | None",
             .convert = mf::Convert::Bytes,
             .or_none = true,
             .default_value = mf::none_default},
            {.name = "params",
             .annotation = "dict[str, str] | None",
             .convert = mf::Convert::Dict,
             .or_none = true,
             .keyword_only = true,
             .default_value = mf::none_default},
        },
    .returns = "dict[str, str]",
    .doc = "为请求生成签名头（HMAC-SHA256）.\n"
           "\n"
           "签名串由六个字段以换行符连接而成(首尾不加换行, 空字段照样占位):\n"
           "大写的 HTTP 方法、路径、查询串、时间戳、随机数、请求体摘要。\n"
           "\n"
           "Args:\n"
           "    sign_secret: 签名密钥, 以 UTF-8 编码后作为 HMAC 的密钥, 只在本进程内使用。\n"
           "    method: HTTP 方法, 仅在签名串里转为大写, 调用方的值不变。\n"
           "    path: 请求路径; 可以带查询串, 也可以是含协议与主机的完整 URL,\n"
           "        只有路径与查询部分参与签名, 空路径按 \"/\" 处理。\n"
           "    body: 将要发送的请求体原始字节; None 或空字节串表示没有请求体。\n"
           "    params: 查询参数(仅限关键字传入); 非空时按键排序后 urlencode,\n"
           "        替换 path 自带的查询串; 为空或 None 时沿用 path 的查询串。\n"
           "\n"
           "Returns:\n"
           "    dict[str, str]: 依次为 \"X-Timestamp\"(Unix 秒)、\"X-Nonce\"(64 位十六进制随机数)、\n"
           "    \"X-Signature\"(64 位十六进制签名) 三个请求头。\n"
           "    \"X-Api-Key\" 请求头不在其中, 由调用方自行添加。\n",
};

void populate(mf::ModuleBuilder &module) {
    module.import("hashlib");
    module.import("hmac");
    module.import("secrets");
    module.import("time");
    module.import_from("urllib.parse", {"urlencode", "urlparse"});
    module.function(body_hash_def);
    module.function(sign_request_def);
}

mf::ModuleDef signer_module{
    .full_name = "tolvane._signer",
    .source_path = "src/tolvane/_signer",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_signer, signer_module)
