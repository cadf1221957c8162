// tolvane.backtest._prepare: module set-up, in the module's order.
#include "prepare.hpp"

namespace tolvane::prepare {
namespace {

constexpr const char *module_doc =
    "回测准备数据。\n"
    "\n"
    "通过已初始化的 SDK 单例读取因子与基准指数数据, 转换成日期×股票矩阵, 派生回测读取的\n"
    "十二个矩阵与五个指数成分股矩阵, 组装成带版本的 payload, 供二进制准备数据存储写入;\n"
    "也可以向已有存储补充缺失的成分股矩阵。\n"
    "\n"
    "模块常量给出固定的词汇: 输入因子名、成分股因子名、基准指数代码、矩阵类型表与数据版本。\n";

void populate(mf::ModuleBuilder &module) {
    module.import("pickle");
    module.import_from("pathlib", {"Path"});
    module.import_from("typing", {"Union"});
    module.import("numpy", "np");
    module.import("pandas", "pd");
    module.import_from("tolvane.exceptions", {"NetworkError"});
    module.import_from("tolvane.singleton", {"get_instance"});
    module.import_from("._store", {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key",
                                   "normalize_yyyymmdd"});
    nb::module_ self = module.module();

    module.set(
        "PathLike",
        self.attr("Union")[nb::make_tuple(nb::module_::import_("builtins").attr("str"), self.attr("Path"))]);
    module.set("FLOAT_STORAGE_DTYPE", nb::str("float64"));
    module.set("BOOL_STORAGE_DTYPE", nb::str("bool"));
    module.set("TAIL_RELOAD_ROWS", nb::int_(2));
    module.set("PREPARED_DATA_VERSION", nb::int_(1));
    module.set("COMPONENT_FACTOR_NAMES",
               python_list({"rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
                            "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
                            "rq_index_components_new_932000.INDX"}));
    nb::dict benchmark_index_codes;
    benchmark_index_codes["000852"] = "000852.XSHG";
    benchmark_index_codes["000300"] = "000300.XSHG";
    benchmark_index_codes["000905"] = "000905.XSHG";
    module.set("BENCHMARK_INDEX_CODES", benchmark_index_codes);
    nb::list required = python_list({"rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
                                     "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"});
    nb::list optional = python_list({"split_coefficient_to", "rq_get_dividend", "rq_is_suspended"});
    module.set("REQUIRED_FACTOR_NAMES", required);
    module.set("OPTIONAL_FACTOR_NAMES", optional);
    module.set("BUILD_INPUT_NAMES", required + optional);

    nb::object float_dtype = self.attr("FLOAT_STORAGE_DTYPE");
    nb::object bool_dtype = self.attr("BOOL_STORAGE_DTYPE");
    nb::dict base_matrix_dtype;
    for (const char *key : {"industry_matrix", "close_price", "open_price", "close_price_valid", "prev_close",
                            "buy_price", "sell_price", "rq_get_split", "rq_get_dividend"})
        base_matrix_dtype[key] = float_dtype;
    base_matrix_dtype["can_buy_stock"] = bool_dtype;
    base_matrix_dtype["cant_sell_stock"] = bool_dtype;
    base_matrix_dtype["forward_return_rank_cache"] = float_dtype;
    module.set("BASE_MATRIX_DTYPE", base_matrix_dtype);

    module.function(parse_name_list_def);
    module.function(get_component_factor_names_def);
    module.function(build_matrix_dtype_def);
    module.function(series_to_yyyymmdd_def);
    module.function(factor_matrices_on_axes_def);
    module.function(map_file_pieces_def);

    module.add_class({.name = "BinaryPreparedDataStore",
                      .doc = binary_store_doc,
                      .bases = {self.attr("BinaryPreparedDataStoreBase")},
                      .methods = {&store_init_def, &store_load_def, &store_add_component_matrices_def}});
    module.add_class(
        {.name = "GroupPreparedDataBuilder",
         .doc = builder_doc,
         .methods = {&builder_init_def, &read_normal_factor_matrix_def, &tolvane_factors_to_matrices_def,
                     &read_normal_factor_batch_def, &read_or_empty_def, &batch_or_read_def,
                     &component_matrices_def, &format_benchmark_daily_return_def, &read_benchmark_dict_def,
                     &read_source_data_def, &build_def, &build_incremental_def, &build_payload_def,
                     &build_from_matrices_def, &assemble_payload_def},
         .static_methods = {&normalize_ddb_backtest_date_def, &tolvane_factor_date_def, &empty_like_def}});
}

mf::ModuleDef prepare_module{
    .full_name = "tolvane.backtest._prepare",
    .source_path = "src/tolvane/backtest/_prepare",
    .doc = module_doc,
    .populate = populate,
};

}  // namespace
}  // namespace tolvane::prepare

TOLVANE_MODULE(_prepare, tolvane::prepare::prepare_module)
