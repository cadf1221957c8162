// tolvane._download: a file-like reader over HTTP byte chunks and the Arrow IPC
// stream decode shared by the streaming queries.
#include <module_frame/frame.hpp>

#include <algorithm>
#include <climits>
#include <string>

namespace mf = module_frame;
namespace nb = nanobind;

namespace {

using mf::truthy;

constexpr const char *module_doc =
    "流式下载公共骨架。\n"
    "\n"
    "为各查询服务抽出 \"边接收边解码\" 的 Arrow IPC 流处理: ``_StreamReader`` 把上游 HTTP\n"
    "字节块包装成只读文件对象, ``stream_decode`` 逐个 record batch 解码成 DataFrame,\n"
    "``stream_table`` 把整个流解码成一个 Arrow 表。\n"
    "数据只在内存中解码, SDK 不会向磁盘写入任何内容。\n";

// ---------------------------------------------------------------------------
// _StreamReader

// The reader's buffer of received but unread bytes.
nb::bytearray unread_buffer(nb::handle self) {
    nb::object buffer = self.attr("_buffer");
    mf::expect_type(buffer, &PyByteArray_Type);
    return nb::borrow<nb::bytearray>(buffer);
}

bool pull_more(nb::handle self) {
    return truthy(self.attr("_pull_one")());
}

nb::object reader_init(mf::Call &call) {
    nb::handle self = call.arg("self");
    call.global("io").attr("RawIOBase").attr("__init__")(self);
    self.attr("_chunks") = call.arg("chunks");
    self.attr("_buffer") = nb::bytearray();
    return nb::none();
}

const mf::FunctionDef reader_init_def{
    .name = "__init__",
    .impl = reader_init,
    .params = {{.name = "self"}, {.name = "chunks", .annotation = "Iterator[bytes]"}},
    .returns = "None",
    .doc = "初始化。\n"
           "\n"
           "Args:\n"
           "    chunks: Iterator[bytes], 上游 HTTP 响应体的字节块迭代器(必须已是迭代器)。\n",
    .qualname = "_StreamReader.__init__",
};

nb::object reader_pull_one(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::object chunks = self.attr("_chunks");
    if (!PyIter_Check(chunks.ptr()))
        mf::raise(PyExc_TypeError, mf::shown_type_name(chunks) + " object is not an iterator");
    nb::object chunk = nb::steal(PyIter_Next(chunks.ptr()));
    if (!chunk.is_valid()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::bool_(false);
    }
    // An empty chunk carries nothing, but the upstream is not finished yet.
    if (truthy(chunk))
        unread_buffer(self).attr("extend")(chunk);
    return nb::bool_(true);
}

const mf::FunctionDef reader_pull_one_def{
    .name = "_pull_one",
    .impl = reader_pull_one,
    .params = {{.name = "self"}},
    .returns = "bool",
    .doc = "从上游再拉一个 chunk 进缓冲区。返回是否拉到。",
    .qualname = "_StreamReader._pull_one",
};

// The requested size; one beyond 64 bits reads like its sign (everything).
long long requested_size(nb::handle n) {
    int overflow = 0;
    long long size = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (size == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? -1 : size;
}

nb::object reader_read(mf::Call &call) {
    nb::handle self = call.arg("self");
    long long wanted = requested_size(call.arg("n"));
    if (truthy(self.attr("closed")))
        mf::raise(PyExc_ValueError, "I/O operation on closed file.");
    // n < 0 drains the upstream; otherwise pull only until n bytes are buffered.
    while ((wanted < 0 || unread_buffer(self).size() < static_cast<size_t>(wanted)) && pull_more(self)) {}
    // One copy out of the buffer; deleting from the front of a bytearray only
    // moves its start, so the unread tail is not re-copied.
    nb::bytearray buffer = unread_buffer(self);
    size_t taken = wanted < 0 ? buffer.size() : std::min(buffer.size(), static_cast<size_t>(wanted));
    nb::bytes data(buffer.data(), taken);
    if (PySequence_DelSlice(buffer.ptr(), 0, static_cast<Py_ssize_t>(taken)) < 0)
        throw nb::python_error();
    return data;
}

const mf::FunctionDef reader_read_def{
    .name = "read",
    .impl = reader_read,
    .params = {{.name = "self"},
               {.name = "n",
                .annotation = "int",
                .convert = mf::Convert::Int,
                .default_value = mf::int_default(-1)}},
    .returns = "bytes",
    .doc = "读取至多 n 字节;n<0 表示读到 EOF。",
    .qualname = "_StreamReader.read",
};

nb::object reader_readall(mf::Call &call) {
    nb::object data = call.arg("self").attr("read")(-1);
    mf::expect_type(data, &PyBytes_Type, /*or_none=*/true);
    return data;
}

const mf::FunctionDef reader_readall_def{
    .name = "readall",
    .impl = reader_readall,
    .params = {{.name = "self"}},
    .returns = "bytes",
    .doc = "读取到 EOF。",
    .qualname = "_StreamReader.readall",
};

// Fails, with the message of a target that has no slice assignment, before
// anything is read for it.
void check_slice_assignment(nb::handle target) {
    PyMappingMethods *mapping = Py_TYPE(target.ptr())->tp_as_mapping;
    if (!mapping || !mapping->mp_ass_subscript)
        mf::raise(PyExc_TypeError,
                  "'" + mf::shown_type_name(target) + "' object does not support slice assignment");
}

// Bytes read for a copy that failed go back to the front of the buffer, so
// that the next read delivers them.
void unread(nb::handle self, nb::handle data) {
    if (PySequence_SetSlice(unread_buffer(self).ptr(), 0, 0, data.ptr()) < 0)
        throw nb::python_error();
}

nb::object reader_readinto(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::handle target = call.arg("b");
    check_slice_assignment(target);
    const std::size_t room = nb::len(target);
    nb::object data = self.attr("read")(room);
    const std::size_t count = nb::len(data);
    if (count > room) {
        mf::raise(PyExc_OSError, "read() returned " + std::to_string(count) + " bytes, more than the " +
                                     std::to_string(room) + " requested");
    }
    if (PySequence_SetSlice(target.ptr(), 0, static_cast<Py_ssize_t>(count), data.ptr()) < 0) {
        nb::python_error error;
        unread(self, data);
        throw error;
    }
    return nb::int_(count);
}

const mf::FunctionDef reader_readinto_def{
    .name = "readinto",
    .impl = reader_readinto,
    .params = {{.name = "self"}, {.name = "b"}},
    .returns = "int",
    .doc = "读入调用方预先分配的缓冲区。\n"
           "\n"
           "Args:\n"
           "    b: 支持切片赋值的可写缓冲区(如 bytearray、memoryview)。\n"
           "\n"
           "Returns:\n"
           "    int: 实际读入的字节数; 只写入 b 的前这么多字节, 上游结束时为 0。\n",
    .qualname = "_StreamReader.readinto",
};

nb::object reader_readable(mf::Call &) {
    return nb::bool_(true);
}
nb::object reader_not_supported(mf::Call &) {
    return nb::bool_(false);
}

const mf::FunctionDef reader_readable_def{
    .name = "readable",
    .impl = reader_readable,
    .params = {{.name = "self"}},
    .returns = "bool",
    .doc = "本读取器始终可读。",
    .qualname = "_StreamReader.readable",
};

const mf::FunctionDef reader_writable_def{
    .name = "writable",
    .impl = reader_not_supported,
    .params = {{.name = "self"}},
    .returns = "bool",
    .doc = "本读取器不可写。",
    .qualname = "_StreamReader.writable",
};

const mf::FunctionDef reader_seekable_def{
    .name = "seekable",
    .impl = reader_not_supported,
    .params = {{.name = "self"}},
    .returns = "bool",
    .doc = "本读取器不可 seek(纯前向流)。",
    .qualname = "_StreamReader.seekable",
};

constexpr const char *stream_reader_doc =
    "把上游字节块流包装成文件式读取接口, 供 ``pa.ipc.open_stream`` 使用。\n"
    "\n"
    "pyarrow 按需读取时才从上游 HTTP 字节块迭代器取数据, 因此解码与接收同时进行;\n"
    "已读出的字节立即从缓冲区移除。继承 ``io.RawIOBase`` 以提供 pyarrow 检查的\n"
    "``closed``、``close``、``seekable``、``writable`` 等属性与方法。\n";

// ---------------------------------------------------------------------------
// stream_decode

// The next record batch, or None at the end of the stream.
nb::object next_batch(nb::handle reader) {
    try {
        return reader.attr("read_next_batch")();
    } catch (nb::python_error &error) {
        if (error.matches(PyExc_StopIteration))
            return nb::none();
        throw;
    }
}

// Posts the call's body to its path through its client and hands `read` the
// Arrow stream reader over the answer's chunks, inside the response's context.
template <typename Read>
void read_stream(const mf::Call &call, Read &&read) {
    nb::object stream = call.arg("http").attr("stream_post_iter")(call.arg("api_path"), call.arg("body"));
    mf::with_context(stream, [&](nb::handle chunks) {
        read(call.global("ipc").attr("open_stream")(call.global("_StreamReader")(chunks)));
    });
}

nb::object stream_decode(mf::Call &call) {
    nb::list frames;
    nb::object schema = nb::none();
    read_stream(call, [&](nb::handle reader) {
        schema = reader.attr("schema");
        for (nb::object batch = next_batch(reader); !batch.is_none(); batch = next_batch(reader))
            frames.append(batch.attr("to_pandas")());
    });
    return nb::make_tuple(frames, schema);
}

const mf::FunctionDef stream_decode_def{
    .name = "stream_decode",
    .impl = stream_decode,
    .params = {{.name = "http", .annotation = "HttpClient"},
               {.name = "api_path", .annotation = "str", .convert = mf::Convert::Str},
               {.name = "body", .annotation = "dict[str, Any]", .convert = mf::Convert::Dict}},
    .returns = "tuple[list[pd.DataFrame], pa.Schema | None]",
    .doc = "拉取 Arrow IPC 流, 边接收边解码成 DataFrame 列表, 不落盘。\n"
           "\n"
           "Args:\n"
           "    http: 已签名的 HttpClient。\n"
           "    api_path: 流式端点的完整路径(含前缀), 如 \"/api/v1/index-day/stream\"。\n"
           "    body: 已组装好的 JSON 请求体。\n"
           "\n"
           "Returns:\n"
           "    tuple[list[pd.DataFrame], pa.Schema | None]: (frames, schema)。frames 按流中顺序\n"
           "    每个 record batch 一个 DataFrame; 零个 batch 时列表为空但仍给出 schema,\n"
           "    调用方可据此构造列正确的空表; 若连 schema 都没有读到, schema 为 None。\n",
};

nb::object stream_table(mf::Call &call) {
    nb::object table = nb::none();
    read_stream(call, [&](nb::handle reader) { table = reader.attr("read_all")(); });
    return table;
}

const mf::FunctionDef stream_table_def{
    .name = "stream_table",
    .impl = stream_table,
    .params = stream_decode_def.params,
    .returns = "pa.Table | None",
    .doc = "拉取 Arrow IPC 流, 边接收边解码成一个 pyarrow Table (不转换成 DataFrame), 不落盘。\n"
           "\n"
           "请求与 ``stream_decode`` 相同; 需要整个答案而不需要逐批的 DataFrame 时用它:\n"
           "整表一次转换或直接读取 Arrow 列, 比逐批转换再拼接省去大半客户端 CPU。\n"
           "\n"
           "Args:\n"
           "    http: 已签名的 HttpClient。\n"
           "    api_path: 流式端点的完整路径(含前缀)。\n"
           "    body: 已组装好的 JSON 请求体。\n"
           "\n"
           "Returns:\n"
           "    pa.Table | None: 流中全部 record batch 组成的表 (每个 batch 一个 chunk), 没有 batch\n"
           "    时是列正确的空表; 出错而 HTTP 客户端吞掉了异常时为 None。\n",
};

void populate(mf::ModuleBuilder &module) {
    nb::object io = module.import("io");
    module.import_from("collections.abc", {"Iterator"});
    module.import_from("typing", {"Any"});
    module.import("pandas", "pd");
    module.import("pyarrow", "pa");
    module.import_from("pyarrow", {"ipc"});
    module.import_from("._http", {"HttpClient"});
    nb::object raw_io_base = io.attr("RawIOBase");
    module.add_class({.name = "_StreamReader",
                      .doc = stream_reader_doc,
                      .bases = {raw_io_base},
                      .methods = {&reader_init_def, &reader_pull_one_def, &reader_read_def,
                                  &reader_readall_def, &reader_readinto_def, &reader_readable_def,
                                  &reader_writable_def, &reader_seekable_def}});
    module.function(stream_decode_def);
    module.function(stream_table_def);
}

mf::ModuleDef download_module{
    .full_name = "tolvane._download",
    .source_path = "src/tolvane/_download",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_download, download_module)
