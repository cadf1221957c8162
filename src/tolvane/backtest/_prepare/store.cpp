// BinaryPreparedDataStore: the base store extended by index-component matrices.
#include "prepare.hpp"

namespace tolvane::prepare {

using namespace nb::literals;

const char *const binary_store_doc =
    "带成分股扩展的二进制准备数据存储。\n\n"
    "    在基类基础上,按内置成分股因子名扩展 matrix dtype,并支持按需补充成分股矩阵。\n"
    "    ";

namespace {

nb::object store_init(mf::Call &call) {
    nb::object matrix_dtype = call.global("build_matrix_dtype")(call.arg("component_names"));
    call.global("BinaryPreparedDataStoreBase")
        .attr("__init__")(call.arg("self"), call.arg("store_dir"), matrix_dtype,
                          call.global("PREPARED_DATA_VERSION"), call.global("FLOAT_STORAGE_DTYPE"));
    return nb::none();
}

// metadata.setdefault(key, {})
nb::object dict_entry(nb::handle metadata, const char *key) {
    return metadata.attr("setdefault")(key, nb::dict());
}

nb::object store_load(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::object keys = nb::borrow(call.arg("keys"));
    if (keys.is_none()) {
        nb::object metadata = self.attr("load_metadata")();
        nb::object datasets = metadata.attr("get")("datasets", nb::dict());
        nb::list held;
        for (nb::handle key : self.attr("matrix_dtype")) {
            if (mf::contains(datasets, key))
                held.append(key);
        }
        keys = held;
    }
    nb::object loaded =
        call.global("BinaryPreparedDataStoreBase")
            .attr("load")(self, "start_date"_a = call.arg("start_date"), "end_date"_a = call.arg("end_date"),
                          "keys"_a = keys, "mmap"_a = call.arg("mmap"));
    mf::expect_type(loaded, &PyDict_Type, /*or_none=*/true);
    return loaded;
}

// The metadata file is replaced whole through a temporary file in the same
// folder, so a crash or a full disk never leaves a truncated metadata file.
void write_metadata(mf::Call &call, nb::handle self, nb::handle metadata) {
    nb::object pickle = call.global("pickle");
    nb::object data = pickle.attr("dumps")(metadata, "protocol"_a = pickle.attr("HIGHEST_PROTOCOL"));
    self.attr("_write_file_atomic")(self.attr("metadata_path"), data);
}

// The whole read, write and commit runs under the store's writer lock, so a
// concurrent update neither loses these matrices nor has its own lost.
nb::object add_component_matrices_locked(mf::Call &call) {
    nb::handle self = call.arg("self");
    nb::handle component_matrices = call.arg("component_matrices");
    nb::handle component_names = call.arg("component_names");
    nb::object component_dataset_key = call.global("component_dataset_key");
    nb::object parse_name_list = call.global("parse_name_list");

    nb::object metadata = self.attr("load_metadata")();
    nb::object datasets = dict_entry(metadata, "datasets");
    nb::list written_names;
    for (nb::handle component_name : parse_name_list(component_names)) {
        nb::object key = component_dataset_key(component_name);
        if (mf::contains(datasets, key))
            continue;
        nb::object matrix = component_matrices.attr("get")(component_name);
        if (!has_rows(matrix)) {
            mf::raise(PyExc_ValueError,
                      std::string("缺失成分股矩阵为空，无法补充: ") + nb::str(component_name).c_str());
        }
        // A store that has metadata but no build yet takes its axes from the
        // first matrix written into it.
        self.attr("_give_axes")(metadata, matrix);
        datasets[key] = self.attr("_write_matrix")(self.attr("store_dir"), key, matrix,
                                                   call.global("FLOAT_STORAGE_DTYPE"));
        written_names.append(component_name);
    }
    if (nb::len(written_names) == 0)
        return nb::list();

    nb::object meta = dict_entry(metadata, "meta");
    nb::object existing_names = parse_name_list(meta.attr("get")("component_names"));
    nb::object given_names = call.global("list")(component_names);
    nb::object merged_names = call.global("list")(
        call.global("dict").attr("fromkeys")(parse_name_list(existing_names + given_names)));
    meta["component_names"] = merged_names;

    nb::object component_keys = call.global("dict")(meta.attr("get")("component_dataset_keys", nb::dict()));
    for (nb::handle name : merged_names)
        component_keys[name] = component_dataset_key(name);
    meta["component_dataset_keys"] = component_keys;

    nb::object updated_at = call.global("pd").attr("Timestamp").attr("now")().attr("isoformat")();
    metadata["updated_at"] = updated_at;
    meta["updated_at"] = updated_at;
    meta["component_supplemented_at"] = updated_at;

    write_metadata(call, self, metadata);
    self.attr("_write_manifest")(self.attr("store_dir"), metadata);
    return written_names;
}

nb::object store_add_component_matrices(mf::Call &call) {
    nb::object written;
    mf::with_context(call.arg("self").attr("writing")(),
                     [&](nb::handle) { written = add_component_matrices_locked(call); });
    return written;
}

}  // namespace

const mf::FunctionDef store_init_def{
    .name = "__init__",
    .impl = store_init,
    .params = {{.name = "self"},
               {.name = "store_dir", .annotation = "PathLike"},
               {.name = "component_names",
                .annotation = "list[str] | None",
                .convert = mf::Convert::List,
                .or_none = true,
                .default_value = mf::none_default}},
    .returns = "None",
    .doc = "在目录上创建存储对象 (不读写任何文件)。\n"
           "\n"
           "Args:\n"
           "    store_dir: 存储目录。\n"
           "    component_names: 成分股因子名列表; None 表示默认的五个成分股因子。\n",
    .qualname = "BinaryPreparedDataStore.__init__",
};

const mf::FunctionDef store_load_def{
    .name = "load",
    .impl = store_load,
    .params = {{.name = "self"},
               {.name = "start_date", .default_value = mf::none_default},
               {.name = "end_date", .default_value = mf::none_default},
               {.name = "keys",
                .annotation = "list[str] | None",
                .convert = mf::Convert::List,
                .or_none = true,
                .default_value = mf::none_default},
               {.name = "mmap",
                .annotation = "bool",
                .convert = mf::Convert::Bool,
                .default_value = mf::bool_default(true)}},
    .returns = "dict",
    .doc = "读取存储中的矩阵。\n"
           "\n"
           "keys 为 None 时读取类型表中存储已有的全部数据集, 按类型表的顺序; 存储没有的\n"
           "跳过, 类型表之外的数据集不读取。给出的 keys 原样传给基类。\n"
           "\n"
           "Args:\n"
           "    start_date: 起始日期 (含); None 表示从头开始。\n"
           "    end_date: 结束日期 (含); None 表示到最后。\n"
           "    keys: 要读取的数据集键列表。\n"
           "    mmap: 是否以内存映射方式读取。\n"
           "\n"
           "Returns:\n"
           "    dict: 数据集键 → 日期×股票 DataFrame; 没有存储时为 None。\n",
    .qualname = "BinaryPreparedDataStore.load",
};

const mf::FunctionDef store_add_component_matrices_def{
    .name = "add_component_matrices",
    .impl = store_add_component_matrices,
    .params = {{.name = "self"},
               {.name = "component_matrices",
                .annotation = "dict[str, pd.DataFrame]",
                .convert = mf::Convert::Dict},
               {.name = "component_names", .annotation = "list[str]", .convert = mf::Convert::List}},
    .returns = "list[str]",
    .doc = "向已有存储补充缺失的成分股矩阵, 并更新元数据。\n"
           "\n"
           "已有的矩阵从不改写; 写入了新矩阵时, 元数据中的成分股名单、数据集键映射与更新\n"
           "时间随之更新, 元数据文件整体原子替换, 清单随后重写。整个过程持有存储的写锁。\n"
           "\n"
           "Args:\n"
           "    component_matrices: 成分股因子名 → 日期×股票矩阵。\n"
           "    component_names: 要补充的成分股因子名列表。\n"
           "\n"
           "Returns:\n"
           "    list[str]: 本次写入的成分股因子名, 按顺序。\n"
           "\n"
           "Raises:\n"
           "    ValueError: 存储缺少的某个成分股矩阵为空或没有给出。\n",
    .qualname = "BinaryPreparedDataStore.add_component_matrices",
};

}  // namespace tolvane::prepare
