// tolvane.backtest._bundle: resumable download and safe extraction of the
// benchmark data package.
#include <module_frame/frame.hpp>

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace mf = module_frame;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *module_doc =
    "回测基准数据包的下载与铺开。\n"
    "\n"
    "云端接口给出数据包的下载地址; 数据包以流式下载写入数据根目录下 \"temp\" 目录中的\n"
    "临时文件(与解压目标目录同级), 再按内容类型解压到本地存储目录, 完成后删除临时文件。\n"
    "\n"
    "目前支持 zip(带路径穿越防护); 内容类型字段为今后支持 tar 或 parquet 留有余地。\n";

// ---------------------------------------------------------------------------
// Range headers

// A byte count as the range headers write it: ASCII digits only, short enough
// for a signed 64-bit integer.
std::optional<long long> parse_byte_count(std::string_view text) {
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    long long value = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        value = value * 10 + (digit - '0');
    }
    return value;
}

// The rest of a Content-Range value after its "bytes" unit (any case) and the
// space that follows it.
std::optional<std::string_view> after_bytes_unit(std::string_view range) {
    constexpr std::string_view unit = "bytes ";
    if (range.size() < unit.size())
        return std::nullopt;
    for (size_t i = 0; i < unit.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(range[i])) != unit[i])
            return std::nullopt;
    }
    return range.substr(unit.size());
}

// The Content-Range header of a response, empty when it has none.
std::string content_range(nb::handle response) {
    nb::object value = response.attr("headers").attr("get")("Content-Range");
    return value.is_none() ? std::string() : nb::cast<std::string>(value);
}

// START of a satisfied range "bytes START-END/LENGTH".
std::optional<long long> range_start(std::string_view range) {
    std::optional<std::string_view> spec = after_bytes_unit(range);
    if (!spec)
        return std::nullopt;
    size_t dash = spec->find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    return parse_byte_count(spec->substr(0, dash));
}

// LENGTH of an unsatisfied range "bytes */LENGTH".
std::optional<long long> unsatisfied_range_length(std::string_view range) {
    std::optional<std::string_view> spec = after_bytes_unit(range);
    if (!spec || !spec->starts_with("*/"))
        return std::nullopt;
    return parse_byte_count(spec->substr(2));
}

// ---------------------------------------------------------------------------
// download_benchmark_package

// `(meta or {}).get(key, default).strip()`
nb::object stripped_entry(nb::handle meta, const char *key, nb::handle default_value) {
    nb::object reply = mf::truthy(meta) ? nb::borrow(meta) : nb::object(nb::dict());
    return reply.attr("get")(key, default_value).attr("strip")();
}

constexpr const char *damaged_package_text = "回测基准数据包损坏,无法解压";

// Removes the part file and the validator beside it (defined with _stream_download).
void discard_part_file(nb::handle dest);

// The package is unpacked into a folder of its own beside the target, checked
// whole (every file against the checksums its manifest records) and only then
// switched in by the store, under the target's writer lock: a kill at any
// moment leaves the old store or the new one, and readers never see a half
// unpacked package.
void install_package(mf::Call &call, nb::handle part_file, nb::handle store_dir, nb::handle temp_dir) {
    nb::object store =
        nb::module_::import_("tolvane.backtest._prepare").attr("BinaryPreparedDataStore")(store_dir);
    nb::object remove_tree = call.global("shutil").attr("rmtree");
    mf::with_context(store.attr("writing")(), [&](nb::handle) {
        nb::object staging = temp_dir / (nb::str(store_dir.attr("name")) + nb::str(".extract"));
        remove_tree(staging, "ignore_errors"_a = true);
        staging.attr("mkdir")();
        try {
            call.global("_extract_zip")(part_file, staging);
            store.attr("install")(staging);
        } catch (...) {
            remove_tree(staging, "ignore_errors"_a = true);
            throw;
        }
        remove_tree(staging, "ignore_errors"_a = true);
    });
}

// Damage that a fresh download may cure: an archive that does not unpack, or a
// store whose files do not match its manifest (a part file resumed across two
// versions of the package, say). An illegal entry is the package's own fault.
bool damaged_part_file(mf::Call &call, const nb::python_error &error) {
    if (error.matches(nb::module_::import_("tolvane.exceptions").attr("StoreFormatError")))
        return true;
    return error.matches(call.global("TolvaneError")) &&
           nb::cast<std::string>(nb::str(error.value())) == damaged_package_text;
}

// Installs the downloaded package; a damaged part file is discarded and the
// package downloaded once more before the damage is reported.
void install_or_download_again(mf::Call &call, nb::handle download_url, nb::handle part_file,
                               nb::handle store_dir, nb::handle temp_dir) {
    try {
        install_package(call, part_file, store_dir, temp_dir);
        return;
    } catch (nb::python_error &error) {
        if (!damaged_part_file(call, error))
            throw;
    }
    discard_part_file(part_file);
    call.global("_stream_download")(download_url, part_file);
    try {
        install_package(call, part_file, store_dir, temp_dir);
    } catch (nb::python_error &error) {
        if (!damaged_part_file(call, error))
            throw;
        mf::raise_from(call.global("TolvaneError"), damaged_package_text, error,
                       "下载的数据包损坏, 删除后重新下载了一次, 仍然损坏: 服务端的数据包可能有问题, "
                       "请稍后再试; 原有的存储没有改动");
    }
}

nb::object download_benchmark_package(mf::Call &call) {
    nb::object meta = call.arg("http").attr("get")(call.global("_BENCHMARK_DATA_PATH"));
    nb::object download_url = stripped_entry(meta, "download_url", nb::str(""));
    if (!mf::truthy(download_url))
        mf::raise(call.global("TolvaneError").ptr(), "服务端未返回有效的回测基准数据下载地址");

    nb::object zip_type = call.global("_CONTENT_TYPE_ZIP");
    nb::object content_type = stripped_entry(meta, "content_type", zip_type);
    if (!mf::truthy(content_type))
        content_type = zip_type;
    if (!content_type.equal(zip_type))
        mf::raise(call.global("TolvaneError").ptr(),
                  "不支持的回测基准数据包格式: " + nb::cast<std::string>(nb::str(content_type)));

    nb::object store_dir = call.global("Path")(call.arg("store_dir")).attr("expanduser")();
    store_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    nb::object temp_dir = store_dir.attr("parent") / call.global("_TEMP_DIR_NAME");
    temp_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    nb::object part_file = temp_dir / call.global("_PART_FILE_NAME");

    nb::object logger = call.global("logger");
    logger.attr("info")("开始下载回测基准数据包");
    call.global("_stream_download")(download_url, part_file);
    install_or_download_again(call, download_url, part_file, store_dir, temp_dir);
    discard_part_file(part_file);
    logger.attr("info")("回测基准数据包下载完成");
    return store_dir;
}

const mf::FunctionDef download_benchmark_package_def{
    .name = "download_benchmark_package",
    .impl = download_benchmark_package,
    .params = {{.name = "http", .annotation = "HttpClient"}, {.name = "store_dir", .annotation = "Path"}},
    .returns = "Path",
    .doc = "下载回测基准数据包并铺开到本地目录,支持断点续传与进度显示。\n"
           "\n"
           "数据包先写入 store_dir 同级的 \"temp\" 目录中固定的临时文件 \"benchmark.part\";\n"
           "该文件已存在时用 HTTP Range 从它的大小处续传。下载时在终端显示进度条。数据包先\n"
           "解压到 \"temp\" 中单独的目录, 按清单的校验和逐个核对文件, 再在存储的写锁之内\n"
           "整体换入 store_dir: 任何时刻中断, store_dir 中都是原来的存储或新的存储。成功后\n"
           "删除临时文件; 下载或解压中断时保留它, 下次调用从断点继续。\n"
           "\n"
           "Args:\n"
           "    http: 已签名的 HttpClient, 用来向服务端查询数据包的下载地址。\n"
           "    store_dir: 数据包铺开到的本地目录(Path 或 Path() 接受的值, 支持 \"~\");\n"
           "        不存在时自动创建。\n"
           "\n"
           "Returns:\n"
           "    Path: 展开 \"~\" 之后的 store_dir。\n"
           "\n"
           "Raises:\n"
           "    TolvaneError: 服务端没有给出下载地址、数据包格式不受支持、数据包含非法路径\n"
           "        条目或已损坏 (StoreFormatError: 解压出的存储与它的清单不符)。\n"
           "    StoreLockedError: 另一个进程正在写入 store_dir, 在时限内没有等到它结束。\n"
           "    NetworkError: 下载失败(HTTP 错误状态或网络错误)。\n",
};

// ---------------------------------------------------------------------------
// _stream_download

// How one request for the package ended.
enum class Transfer {
    Written,          // the body went into the part file
    AlreadyComplete,  // the part file already holds the whole package
    StartOver,        // the part file cannot be continued: discard it and download anew
};

// Beside the part file: the validator (ETag) of the answer its first byte came
// from, sent back as If-Range when resuming, so that a package that changed in
// between is downloaded anew instead of appended to.
nb::object validator_file(nb::handle dest) {
    return dest.attr("with_name")(nb::str(dest.attr("name")) + nb::str(".etag"));
}

nb::object saved_validator(nb::handle dest) {
    nb::object path = validator_file(dest);
    if (!mf::truthy(path.attr("exists")()))
        return nb::none();
    nb::object text = path.attr("read_text")("encoding"_a = "ascii", "errors"_a = "replace").attr("strip")();
    return mf::truthy(text) ? text : nb::none();
}

// A strong ETag is the only validator If-Range accepts.
void save_validator(nb::handle response, nb::handle dest) {
    nb::object etag = response.attr("headers").attr("get")("ETag");
    nb::object path = validator_file(dest);
    if (etag.is_none() || mf::truthy(etag.attr("startswith")("W/"))) {
        path.attr("unlink")("missing_ok"_a = true);
        return;
    }
    path.attr("write_text")(etag, "encoding"_a = "ascii");
}

// Writes the response body to the part file under the progress bar.
void write_body(mf::Call &call, nb::handle response, nb::handle dest, bool resumed, long long resume_pos) {
    nb::object already = nb::int_(resumed ? resume_pos : 0);
    nb::object content_length = response.attr("headers").attr("get")("Content-Length");
    nb::object remaining =
        mf::truthy(content_length) ? call.global("int")(content_length) : nb::object(nb::int_(0));
    nb::object total = mf::truthy(remaining) ? nb::object(already + remaining) : nb::none();

    mf::with_context(dest.attr("open")(resumed ? "ab" : "wb"), [&](nb::handle file) {
        nb::object bar = call.global("tqdm")(
            "total"_a = total, "initial"_a = already, "unit"_a = "B", "unit_scale"_a = true,
            "unit_divisor"_a = 1024, "desc"_a = "下载基准数据",
            "bar_format"_a = "{desc} {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{rate_fmt}]",
            "mininterval"_a = 1.0);
        mf::with_context(bar, [&](nb::handle progress) {
            nb::object write = file.attr("write");
            nb::object advance = progress.attr("update");
            nb::object chunks = response.attr("iter_bytes")(call.global("_DOWNLOAD_CHUNK_SIZE"));
            for (nb::handle chunk : chunks) {
                write(chunk);
                advance(nb::len(chunk));
            }
        });
    });
}

Transfer request_package(mf::Call &call, nb::handle url, nb::handle dest, long long resume_pos) {
    nb::dict headers;
    if (resume_pos != 0) {
        headers["Range"] = "bytes=" + std::to_string(resume_pos) + "-";
        nb::object validator = saved_validator(dest);
        if (!validator.is_none())
            headers["If-Range"] = validator;
    }
    nb::object stream = call.global("httpx").attr("stream")("GET", url, "headers"_a = headers,
                                                            "timeout"_a = call.global("_DOWNLOAD_TIMEOUT"),
                                                            "follow_redirects"_a = true);
    Transfer outcome = Transfer::Written;
    mf::with_context(stream, [&](nb::handle response) {
        int status = nb::cast<int>(response.attr("status_code"));
        if (resume_pos != 0 && status == 416) {
            // "bytes */LENGTH" equal to the part file: an earlier download
            // finished but was never extracted. Any other length: the part
            // file is longer than the package and cannot be continued.
            std::optional<long long> length = unsatisfied_range_length(content_range(response));
            outcome = length == resume_pos ? Transfer::AlreadyComplete : Transfer::StartOver;
            return;
        }
        response.attr("raise_for_status")();
        bool resumed = status == 206;
        // Appending bytes that start anywhere but the end of the part file
        // would corrupt the package without a sign.
        if (resumed && resume_pos != 0 && range_start(content_range(response)) != resume_pos) {
            outcome = Transfer::StartOver;
            return;
        }
        if (!resumed)
            save_validator(response, dest);
        write_body(call, response, dest, resumed, resume_pos);
    });
    return outcome;
}

// Re-raises a failed transfer as NetworkError; other errors pass unchanged.
void raise_transfer_error(mf::Call &call, const nb::python_error &error, nb::handle dest) {
    nb::object httpx = call.global("httpx");
    nb::object network_error = call.global("NetworkError");
    std::string resume =
        "已下载的部分保存在 " + nb::cast<std::string>(nb::str(dest)) + ", 再次运行同一下载会从断点续传";
    if (error.matches(httpx.attr("HTTPStatusError"))) {
        nb::object status = nb::handle(error.value()).attr("response").attr("status_code");
        mf::raise_from(network_error, "下载回测基准数据失败: HTTP " + nb::cast<std::string>(nb::str(status)),
                       error, resume);
    }
    if (error.matches(httpx.attr("HTTPError")))
        mf::raise_from(network_error, "下载回测基准数据失败: 网络错误", error, resume);
}

void discard_part_file(nb::handle dest) {
    dest.attr("unlink")("missing_ok"_a = true);
    validator_file(dest).attr("unlink")("missing_ok"_a = true);
}

nb::object stream_download(mf::Call &call) {
    nb::handle url = call.arg("url");
    nb::handle dest = call.arg("dest");
    long long resume_pos =
        mf::truthy(dest.attr("exists")()) ? nb::cast<long long>(dest.attr("stat")().attr("st_size")) : 0;
    try {
        if (request_package(call, url, dest, resume_pos) == Transfer::StartOver) {
            discard_part_file(dest);
            request_package(call, url, dest, 0);
        }
    } catch (nb::python_error &error) {
        raise_transfer_error(call, error, dest);
        throw;
    }
    return nb::none();
}

const mf::FunctionDef stream_download_def{
    .name = "_stream_download",
    .impl = stream_download,
    .params = {{.name = "url", .annotation = "str", .convert = mf::Convert::Str},
               {.name = "dest", .annotation = "Path"}},
    .returns = "None",
    .doc = "流式下载 URL 内容到本地文件,支持断点续传与进度条(裸请求,不带签名)。\n"
           "\n"
           "dest 已存在时请求头带 \"Range: bytes=<dest 的大小>-\", 并以 If-Range 带上 dest 第一个\n"
           "字节所来自的应答的 ETag (记在 dest 旁的 \".etag\" 文件中)。服务器以 206 应答时追加\n"
           "写入; 以 200 应答(忽略 Range, 或数据包已经变了)时从头覆盖写入 dest。206 应答的\n"
           "Content-Range 起点与 dest 的大小不符, 或 416 应答给出的文件总长比 dest 短时, 丢弃\n"
           "dest 并在本次调用中从头下载; 416 应答给出的文件总长恰为 dest 的大小时, dest 已经\n"
           "完整, 直接返回。\n"
           "\n"
           "Args:\n"
           "    url: 数据包的直接下载地址(预签名或公开链接)。\n"
           "    dest: 临时文件路径。\n"
           "\n"
           "Returns:\n"
           "    None\n"
           "\n"
           "Raises:\n"
           "    NetworkError: HTTP 错误状态(信息以 \"HTTP <状态码>\" 结尾)或网络错误;\n"
           "        dest 保留, 供下次续传。\n",
};

// ---------------------------------------------------------------------------
// _extract_zip

// Every entry must land inside the target; checked before anything is written.
void check_entries(mf::Call &call, nb::handle archive, nb::handle store_dir) {
    nb::object resolved_root = store_dir.attr("resolve")();
    for (nb::handle name : archive.attr("namelist")()) {
        nb::object target = (store_dir / name).attr("resolve")();
        if (!target.equal(resolved_root) && !mf::contains(target.attr("parents"), resolved_root))
            mf::raise(call.global("TolvaneError").ptr(),
                      "回测基准数据包含非法路径条目: " + nb::cast<std::string>(name));
    }
}

// ZIP_STORED, ZIP_DEFLATED, ZIP_BZIP2 and ZIP_LZMA: what zipfile can unpack.
bool known_compression(int method) {
    return method == 0 || method == 8 || method == 12 || method == 14;
}

constexpr std::size_t longest_name_part = 255;  // bytes of one path component
constexpr std::size_t longest_member_path = 1024;

// What makes a member impossible to unpack faithfully, or an empty string.
std::string member_problem(nb::handle info, const std::string &path, bool is_folder,
                           const std::set<std::string> &files, const std::set<std::string> &folders) {
    if (nb::cast<int>(info.attr("flag_bits")) & 0x1)
        return "已加密";
    if (!known_compression(nb::cast<int>(info.attr("compress_type"))))
        return "压缩方法不受支持";
    if (path.size() > longest_member_path)
        return "名字过长";
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = std::min(path.find('/', start), path.size());
        if (end - start > longest_name_part)
            return "名字过长";
        start = end + 1;
    }
    if (files.contains(path))
        return "与另一个成员重名";
    if (!is_folder && folders.contains(path))
        return "既是文件又是目录";
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (files.contains(path.substr(0, slash)))
            return "所在的目录与一个文件同名";
    }
    return {};
}

// Refuses, before anything is written, an archive that cannot be unpacked
// faithfully (encrypted or unknown members, names too long, the same name
// twice, a name that is both a file and a folder) as a damaged package, and
// one whose declared size the disk cannot hold.
void check_members(mf::Call &call, nb::handle archive, nb::handle store_dir) {
    nb::object resolved_root = store_dir.attr("resolve")();
    std::set<std::string> files, folders;
    long long declared = 0;
    for (nb::handle info : archive.attr("infolist")()) {
        nb::object target = (store_dir / info.attr("filename")).attr("resolve")();
        std::string path =
            nb::cast<std::string>(target.attr("relative_to")(resolved_root).attr("as_posix")());
        bool is_folder = mf::truthy(info.attr("is_dir")());
        std::string problem = member_problem(info, path, is_folder, files, folders);
        if (!problem.empty()) {
            mf::raise(call.global("zipfile").attr("BadZipFile").ptr(),
                      "成员 " + nb::cast<std::string>(info.attr("filename")) + " " + problem);
        }
        (is_folder ? folders : files).insert(path);
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            folders.insert(path.substr(0, slash));
        declared += nb::cast<long long>(info.attr("file_size"));
    }
    long long free_bytes =
        nb::cast<long long>(call.global("shutil").attr("disk_usage")(store_dir).attr("free"));
    long long margin = std::max<long long>(declared / 20, 64LL << 20);
    if (declared + margin > free_bytes) {
        mf::raise(call.global("TolvaneError").ptr(), "回测基准数据包解压后有 " + std::to_string(declared) +
                                                         " 字节, 目标磁盘只剩 " + std::to_string(free_bytes) +
                                                         " 字节: 请先腾出空间");
    }
}

nb::object extract_zip(mf::Call &call) {
    nb::handle store_dir = call.arg("store_dir");
    nb::object zipfile = call.global("zipfile");
    try {
        mf::with_context(zipfile.attr("ZipFile")(call.arg("archive")), [&](nb::handle archive) {
            check_entries(call, archive, store_dir);
            check_members(call, archive, store_dir);
            archive.attr("extractall")(store_dir);
        });
    } catch (nb::python_error &error) {
        // A damaged deflate stream fails in zlib rather than in zipfile, a
        // truncated one with EOFError.
        if (error.matches(zipfile.attr("BadZipFile")) ||
            error.matches(nb::module_::import_("zlib").attr("error")) || error.matches(PyExc_EOFError))
            mf::raise_from(call.global("TolvaneError"), damaged_package_text, error);
        throw;
    }
    return nb::none();
}

const mf::FunctionDef extract_zip_def{
    .name = "_extract_zip",
    .impl = extract_zip,
    .params = {{.name = "archive", .annotation = "Path"}, {.name = "store_dir", .annotation = "Path"}},
    .returns = "None",
    .doc = "解压 zip 数据包到目标目录,带 Zip Slip 路径穿越防护。\n"
           "\n"
           "先检查全部条目: 任何条目解析后落在 store_dir 之外(如以 \"../\" 开头或是绝对路径)\n"
           "都使整个数据包被拒绝, 不写入任何文件。加密的、压缩方法不受支持的、名字过长的、\n"
           "重名的成员, 以及既是文件又是目录的名字, 都算数据包损坏; 成员声明的总大小\n"
           "超出磁盘剩余空间 (留有余量) 时也不解压。全部合法后才解压。\n"
           "\n"
           "Args:\n"
           "    archive: zip 文件路径。\n"
           "    store_dir: 已存在的目标目录。\n"
           "\n"
           "Returns:\n"
           "    None\n"
           "\n"
           "Raises:\n"
           "    TolvaneError: 数据包含非法路径条目, 或不是合法的 zip、成员已损坏, 或磁盘\n"
           "        空间不足。\n",
};

// ---------------------------------------------------------------------------
// flatten_single_subdir

nb::object flatten_single_subdir(mf::Call &call) {
    nb::handle store_dir = call.arg("store_dir");
    nb::list entries;
    for (nb::handle entry : store_dir.attr("iterdir")()) {
        if (!mf::truthy(entry.attr("name").attr("startswith")(".")))
            entries.append(entry);
    }
    if (entries.size() != 1 || !mf::truthy(entries[0].attr("is_dir")()) ||
        mf::truthy((store_dir / nb::str("metadata.pkl")).attr("exists")()))
        return nb::none();

    nb::object subdir = entries[0];
    nb::object move = call.global("shutil").attr("move");
    nb::object to_str = call.global("str");
    // Listed first: the directory is emptied while its children are moved.
    for (nb::handle child : nb::list(subdir.attr("iterdir")()))
        move(to_str(child), to_str(store_dir / child.attr("name")));
    subdir.attr("rmdir")();
    return nb::none();
}

const mf::FunctionDef flatten_single_subdir_def{
    .name = "flatten_single_subdir",
    .impl = flatten_single_subdir,
    .params = {{.name = "store_dir", .annotation = "Path"}},
    .returns = "None",
    .doc = "若 zip 解压后内容嵌在单一子目录里,把它上提到 store_dir。\n"
           "\n"
           "有些打包工具把所有文件放进一个子目录, 解压后 \"metadata.pkl\" 就落在 store_dir\n"
           "下一层。store_dir 中只有一个非隐藏条目、它是目录、且 store_dir 里没有\n"
           "\"metadata.pkl\" 时, 把该子目录的全部内容(含隐藏文件)移到 store_dir, 再删除空的\n"
           "子目录; 否则不做任何改动。\n"
           "\n"
           "Args:\n"
           "    store_dir: 已解压的数据包目录。\n"
           "\n"
           "Returns:\n"
           "    None\n",
};

void populate(mf::ModuleBuilder &module) {
    module.import("shutil");
    module.import("zipfile");
    module.import_from("pathlib", {"Path"});
    module.import_from("typing", {"TYPE_CHECKING"});
    nb::object httpx = module.import("httpx");
    module.import_from("tqdm", {"tqdm"});
    module.import_from(".._http", {"API_PREFIX"});
    module.import_from("..exceptions", {"NetworkError", "TolvaneError"});
    module.import_from("..logger", {"logger"});

    nb::object api_prefix = module.module().attr("API_PREFIX");
    module.set("_BENCHMARK_DATA_PATH", nb::str("{}/backtest-data/benchmark-data").attr("format")(api_prefix));
    module.set("_CONTENT_TYPE_ZIP", nb::str("application/zip"));
    module.set("_DOWNLOAD_TIMEOUT", httpx.attr("Timeout")(300.0, "connect"_a = 10.0));
    module.set("_DOWNLOAD_CHUNK_SIZE", nb::int_(1048576));
    module.set("_TEMP_DIR_NAME", nb::str("temp"));
    module.set("_PART_FILE_NAME", nb::str("benchmark.part"));

    module.function(download_benchmark_package_def);
    module.function(stream_download_def);
    module.function(extract_zip_def);
    module.function(flatten_single_subdir_def);
}

mf::ModuleDef bundle_module{
    .full_name = "tolvane.backtest._bundle",
    .source_path = "src/tolvane/backtest/_bundle",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace

TOLVANE_MODULE(_bundle, bundle_module)
