// tolvane.backtest._prepare: the vocabulary of prepared backtest data, the
// binary store with index-component matrices, and the builder that reads
// factors and benchmark indices through the service singleton and assembles
// the payload a store is written from. Each source file defines the functions
// of one topic; module.cpp binds them in the module's definition order.
#pragma once

#include <cmath>

#include <module_frame/frame.hpp>

#include <native_glue/pandas.hpp>

namespace tolvane::prepare {

namespace mf = module_frame;
namespace nb = nanobind;

// Name lists, matrix layout and date helpers.
extern const mf::FunctionDef parse_name_list_def;
extern const mf::FunctionDef get_component_factor_names_def;
extern const mf::FunctionDef build_matrix_dtype_def;
extern const mf::FunctionDef series_to_yyyymmdd_def;
extern const mf::FunctionDef map_file_pieces_def;

// BinaryPreparedDataStore.
extern const char *const binary_store_doc;
extern const mf::FunctionDef store_init_def;
extern const mf::FunctionDef store_load_def;
extern const mf::FunctionDef store_add_component_matrices_def;

// GroupPreparedDataBuilder: construction and factor reading.
extern const char *const builder_doc;
extern const mf::FunctionDef builder_init_def;
extern const mf::FunctionDef normalize_ddb_backtest_date_def;
extern const mf::FunctionDef tolvane_factor_date_def;
extern const mf::FunctionDef empty_like_def;
extern const mf::FunctionDef read_normal_factor_matrix_def;
extern const mf::FunctionDef tolvane_factors_to_matrices_def;
extern const mf::FunctionDef read_normal_factor_batch_def;
extern const mf::FunctionDef read_or_empty_def;
extern const mf::FunctionDef batch_or_read_def;
extern const mf::FunctionDef factor_matrices_on_axes_def;

// GroupPreparedDataBuilder: benchmarks and source data.
extern const mf::FunctionDef component_matrices_def;
extern const mf::FunctionDef format_benchmark_daily_return_def;
extern const mf::FunctionDef read_benchmark_dict_def;
extern const mf::FunctionDef read_source_data_def;

// GroupPreparedDataBuilder: payload assembly and builds.
extern const mf::FunctionDef build_def;
extern const mf::FunctionDef build_incremental_def;
extern const mf::FunctionDef build_payload_def;
extern const mf::FunctionDef build_from_matrices_def;
extern const mf::FunctionDef assemble_payload_def;

// Chosen axes for the matrices of a factor answer: the dates (as
// "YYYYMMDD" text) and the six-character stock codes, each unique.
struct TargetAxes {
    nb::object index;
    nb::object columns;
};

// The long-to-wide conversion of one factor answer, in native code: the
// matrices that pivoting each group of `frame` (columns "ukey", "DataDate",
// "x" and, when `group_column` is given, that column) would give, keyed by
// the names of `result` that occur as groups. Without a group column, every
// row belongs to `only_name`. With `onto`, each matrix lies on those axes
// (rows outside them dropped, cells without a row NaN) instead of the axes
// its own rows span.
void pivot_factor_answer(const mf::Call &call, nb::handle frame, const char *value_column,
                         const char *group_column, nb::handle only_name, nb::dict &result,
                         const TargetAxes *onto = nullptr);

// The same for a long answer held in a pyarrow Table (columns renamed as for
// a frame), read in place: false, with nothing converted, when a column is of
// a type only the frame's conversion reads. Without `only_name` the table has
// a "factorname" column. The matrices are those of the frame the table gives.
// `memo`, a dict (or None), keeps the codes of the stock and date columns
// for the next answer, which reuses them when its columns hold the same rows.
bool pivot_arrow_answer(const mf::Call &call, nb::handle table, nb::handle only_name, nb::dict &result,
                        const TargetAxes *onto, nb::handle memo);

// Whether factorize_arrow_column reads `column` (a pyarrow ChunkedArray): text
// (string, large_string) and whole-day dates (date32).
bool arrow_codes_readable(nb::handle column);

// The codes of such a column, natively: per row (int64) the code of its value
// in the order values first occur, -1 where it is missing, as pandas.factorize
// numbers them; and the distinct values in that order, in one pyarrow Array
// of the column's type. ValueError when the column's buffers do not hold the
// rows it claims.
void factorize_arrow_column(nb::handle column, nb::object &codes, nb::object &distinct);

// Whether every row of such a column holds the same value (none missing).
bool arrow_one_value_throughout(nb::handle column);

// Whether such a column holds the rows that factorize_arrow_column coded as
// `codes` and `distinct` (for another column): then its codes are the same.
bool arrow_rows_match_codes(nb::handle column, nb::handle codes, nb::handle distinct);

// `value is not None and len(value) > 0`: a matrix with at least one row.
bool has_rows(nb::handle value);

// Whether the pending Python exception of `error` is the package's NetworkError.
bool is_network_error(const mf::Call &call, const nb::python_error &error);

// The optional `batch` parameter of the readers: a dict of factor matrices
// by name (exactly a dict) or None, default None.
mf::Param optional_batch_param();

using glue::pandas::infinities_as_missing;
using glue::pandas::nan_value;
using glue::pandas::python_list;

}  // namespace tolvane::prepare
