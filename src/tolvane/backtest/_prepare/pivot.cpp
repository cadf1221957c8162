// The long-to-wide conversion of a factor answer. What pandas would do row by
// row (cut the stock codes, format the dates, drop incomplete rows, keep the
// last row of a cell, pivot) runs here on integer codes: each label column is
// factorised once, only its distinct values are converted, and a native
// kernel places the values without the GIL.
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <module_frame/arrays.hpp>
#include <nanobind/ndarray.h>

#include "long_pivot.hpp"
#include "prepare.hpp"

namespace tolvane::prepare {

using namespace nb::literals;

namespace {

using CodeArray = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ValueArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// One label column of the answer as integer codes: the raw column
// factorised, its distinct values converted to labels, equal labels merged.
struct CodedLabels {
    nb::object raw_codes;     // int64 per row, -1 where the value is missing
    nb::object label_of_raw;  // int64 per distinct raw value, -1 where its label is missing
    nb::object labels;        // the distinct labels (object array), by label code
    nb::object label_rank;    // int64 per label: its position in sorted order
};

nb::object as_int64(const mf::Call &call, nb::handle values) {
    return call.global("np").attr("ascontiguousarray")(values, "dtype"_a = "int64");
}

// A column is factorised one run at a time when its values change at most
// once in this many rows: an answer lists the rows of one day (and one
// factor) together, so its dates and factor names come in long runs.
constexpr std::size_t kRowsPerRun = 4;

// The runs of a label column: where each begins and, for a column held in
// Arrow, each run's value. No starts: the column is factorised as a whole.
struct ColumnRuns {
    std::vector<std::int64_t> starts;
    nb::object arrow_values;  // a ChunkedArray, one value per run
};

// Where each run of one object begins in an object array of `n_rows` rows (a
// run ends where the next row holds another object; equal objects in two runs
// are merged by the factorisation of the runs). Empty when the array is not
// such an array or has more runs than kRowsPerRun allows.
std::vector<std::int64_t> object_run_starts(nb::handle array, std::size_t n_rows) {
    const mf::ObjectArrayView objects(array);
    if (objects.size() != n_rows)
        return {};
    std::vector<std::int64_t> starts;
    for (std::size_t row = 0; row < n_rows && starts.size() * kRowsPerRun <= n_rows; ++row) {
        if (row == 0 || objects[row] != objects[row - 1])
            starts.push_back(static_cast<std::int64_t>(row));
    }
    if (starts.size() * kRowsPerRun > n_rows)
        starts.clear();
    return starts;
}

// Arrow's run-end encoding of `arrow_values` (a ChunkedArray: one encoded
// array per chunk, runs of missing values included) and its number of runs;
// None where Arrow cannot encode the values' type.
std::pair<nb::object, std::size_t> run_end_encoded(nb::handle arrow_values) {
    nb::object encoded;
    try {
        encoded = nb::module_::import_("pyarrow.compute").attr("run_end_encode")(arrow_values);
    } catch (const nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return {nb::none(), 0};  // a type Arrow cannot encode: factorised as a whole
    }
    std::size_t n_runs = 0;
    for (nb::handle chunk : encoded.attr("chunks"))
        n_runs += nb::len(nb::object(chunk.attr("run_ends")));
    return {encoded, n_runs};
}

// The runs of a column held in Arrow memory (a ChunkedArray of `n_rows`
// rows). A column whose first rows change too often is not encoded further.
ColumnRuns arrow_runs(nb::handle arrow_values, std::size_t n_rows) {
    if (!nb::hasattr(arrow_values, "chunks") || nb::len(arrow_values) != n_rows)
        return {};
    constexpr std::size_t kProbeRows = 4096;
    if (n_rows > kProbeRows) {
        const auto [probe, probe_runs] = run_end_encoded(arrow_values.attr("slice")(0, kProbeRows));
        if (probe.is_none() || probe_runs * kRowsPerRun > kProbeRows)
            return {};
    }
    const auto [encoded, n_runs] = run_end_encoded(arrow_values);
    if (encoded.is_none() || n_runs * kRowsPerRun > n_rows)
        return {};
    ColumnRuns runs;
    runs.starts.reserve(n_runs);
    nb::list values;
    std::int64_t chunk_start = 0;
    for (nb::handle chunk : encoded.attr("chunks")) {
        mf::KernelArrays arrays;
        const auto ends = arrays.add<std::int64_t, 1>(chunk.attr("run_ends").attr("to_numpy")(), "run_ends",
                                                      {mf::any_extent}, mf::Dtype::Convert);
        std::int64_t run_start = 0;
        for (std::size_t run = 0; run < ends.shape(0); ++run) {
            runs.starts.push_back(chunk_start + run_start);
            run_start = ends(run);
        }
        values.append(chunk.attr("values"));
        chunk_start += static_cast<std::int64_t>(nb::len(chunk));
    }
    runs.arrow_values =
        nb::module_::import_("pyarrow").attr("chunked_array")(values, "type"_a = arrow_values.attr("type"));
    return runs;
}

// pd.factorize(column): codes (int64, -1 for a missing value) and the
// distinct values in the order they first occur. A column held in Arrow
// memory as text or days is factorised natively in place. A column of long
// runs is factorised from one row per run, whose codes then repeat over the
// runs; each run holds one value, so the codes and distinct values are those
// of the whole column.
void factorize_column(const mf::Call &call, nb::handle column, nb::object (&codes_and_values)[2]) {
    nb::object pd = call.global("pd");
    nb::object np = call.global("np");
    nb::object array = column.attr("array");
    const std::size_t n_rows = nb::len(column);
    ColumnRuns runs;
    if (nb::hasattr(array, "__arrow_array__")) {
        nb::object arrow_values = array.attr("__arrow_array__")();
        if (nb::hasattr(arrow_values, "chunks") && nb::len(arrow_values) == n_rows &&
            arrow_codes_readable(arrow_values)) {
            nb::object distinct;
            factorize_arrow_column(arrow_values, codes_and_values[0], distinct);
            codes_and_values[1] = pd.attr("array")(distinct, "dtype"_a = column.attr("dtype"));
            return;
        }
        runs = arrow_runs(arrow_values, n_rows);
    } else if (nb::str(column.attr("dtype")).equal(nb::str("object")))
        runs.starts = object_run_starts(column.attr("to_numpy")(), n_rows);
    const std::vector<std::int64_t> &starts = runs.starts;
    if (starts.empty()) {
        mf::unpack(pd.attr("factorize")(column), codes_and_values);
        return;
    }
    std::int64_t *start_data, *length_data;
    nb::object run_start = mf::new_numpy_vector(starts.size(), start_data);
    nb::object run_length = mf::new_numpy_vector(starts.size(), length_data);
    for (std::size_t run = 0; run < starts.size(); ++run) {
        const std::int64_t end =
            run + 1 < starts.size() ? starts[run + 1] : static_cast<std::int64_t>(n_rows);
        start_data[run] = starts[run];
        length_data[run] = end - starts[run];
    }
    // Each run's value, of the column's dtype.
    nb::object run_values =
        runs.arrow_values.is_valid()
            ? pd.attr("Series")(pd.attr("array")(runs.arrow_values, "dtype"_a = column.attr("dtype")))
            : nb::object(column.attr("iloc")[run_start]);
    nb::object run_codes[2];
    mf::unpack(pd.attr("factorize")(run_values), run_codes);
    codes_and_values[0] = np.attr("repeat")(run_codes[0], run_length);
    codes_and_values[1] = run_codes[1];
}

// The coded labels of a column factorised into `raw_codes` and its distinct
// `raw_values`, each of which `convert` turns into its label.
template <typename Convert>
CodedLabels labels_of_codes(const mf::Call &call, nb::handle raw_codes, nb::handle raw_values,
                            Convert convert) {
    nb::object pd = call.global("pd");
    nb::object np = call.global("np");
    nb::object converted = convert(call, pd.attr("Series")(raw_values));
    nb::object relabelled[2];
    mf::unpack(pd.attr("factorize")(converted), relabelled);
    nb::object labels = np.attr("asarray")(relabelled[1], "dtype"_a = "object");
    const std::size_t n_labels = nb::len(labels);
    nb::object order = np.attr("argsort")(labels, "kind"_a = "stable");
    nb::object rank = np.attr("empty")(n_labels, "dtype"_a = "int64");
    rank[order] = np.attr("arange")(n_labels);
    return {as_int64(call, raw_codes), as_int64(call, relabelled[0]), labels, rank};
}

template <typename Convert>
CodedLabels coded_labels(const mf::Call &call, nb::handle column, Convert convert) {
    nb::object raw[2];
    factorize_column(call, column, raw);
    return labels_of_codes(call, raw[0], raw[1], convert);
}

// The same for a column of an Arrow answer that arrow_codes_readable
// accepts: the native factorisation reads the column in place, and its
// distinct values are converted as the pandas path converts those of the
// column the table would give. `memo` (a dict, or None for no memory) keeps
// under `key` the codes with the distinct values they stand for; the next
// column takes them when its rows are those values in that order: the
// answers of one build mostly list the same stocks on the same days in the
// same rows. The memo holds no buffer of the answer itself.
template <typename Convert>
CodedLabels coded_arrow_labels(const mf::Call &call, nb::handle column, Convert convert, nb::handle memo,
                               const char *key) {
    const bool remembers = PyDict_Check(memo.ptr());
    if (remembers) {
        nb::object kept = memo.attr("get")(key);
        if (PyTuple_Check(kept.ptr()) && nb::len(kept) == 5 &&
            arrow_rows_match_codes(column, kept[1], kept[0]))
            return {kept[1], kept[2], kept[3], kept[4]};
    }
    nb::object codes, distinct;
    factorize_arrow_column(column, codes, distinct);
    CodedLabels coded = labels_of_codes(call, codes, distinct.attr("to_pandas")(), convert);
    if (remembers)
        memo[key] =
            nb::make_tuple(distinct, coded.raw_codes, coded.label_of_raw, coded.labels, coded.label_rank);
    return coded;
}

template <typename Array>
Array checked_view(nb::handle array, std::size_t length, const char *what) {
    Array view;
    if (!nb::try_cast(array, view, false) || view.shape(0) != length)
        mf::raise(PyExc_ValueError, std::string("因子数据转换失败: ") + what + " 的长度或类型不符");
    return view;
}

// Checked zero-copy views of one coded column, alive as long as the kernel reads them.
struct LabelViews {
    CodeArray raw_codes, label_of_raw, label_rank;

    LabelViews(const CodedLabels &coded, std::size_t n_rows, const char *what)
        : raw_codes(checked_view<CodeArray>(coded.raw_codes, n_rows, what)),
          label_of_raw(checked_view<CodeArray>(coded.label_of_raw, nb::len(coded.label_of_raw), what)),
          label_rank(checked_view<CodeArray>(coded.label_rank, nb::len(coded.labels), what)) {}

    kernels::LabelColumn column() const {
        return {raw_codes.data(), label_of_raw.data(), label_of_raw.shape(0), label_rank.data(),
                label_rank.shape(0)};
    }
};

// labels[codes], as an index named `name`.
nb::object axis_labels(const mf::Call &call, const CodedLabels &coded, const std::vector<std::int64_t> &codes,
                       const char *name) {
    std::int64_t *position_data;
    nb::object positions = mf::new_numpy_vector(codes.size(), position_data);
    if (!codes.empty())
        std::memcpy(position_data, codes.data(), codes.size() * sizeof(std::int64_t));
    return call.global("pd").attr("Index")(coded.labels[positions], "name"_a = name);
}

// The row (or column) of each label code on a chosen axis, -1 for labels it lacks.
nb::object positions_on(const CodedLabels &coded, nb::handle axis) {
    return axis.attr("get_indexer")(coded.labels);
}

// The matrix of one group of rows (all rows when `groups` is null): the
// cleaned pivot, or the values on `onto`'s axes when given.
nb::object pivot_rows(const mf::Call &call, const CodedLabels &dates, const CodedLabels &stocks,
                      nb::handle values, const CodedLabels *groups, std::int64_t group,
                      const TargetAxes *onto) {
    const std::size_t n_rows = nb::len(values);
    LabelViews date_views(dates, n_rows, "DataDate");
    LabelViews stock_views(stocks, n_rows, "ukey");
    ValueArray value_view = checked_view<ValueArray>(values, n_rows, "x");
    std::optional<LabelViews> group_views;
    kernels::LabelColumn group_column{};
    if (groups) {
        group_views.emplace(*groups, n_rows, "factorname");
        group_column = group_views->column();
    }
    const kernels::LongTable table{date_views.column(),
                                   stock_views.column(),
                                   value_view.data(),
                                   groups ? &group_column : nullptr,
                                   group,
                                   n_rows};

    nb::object pd = call.global("pd");
    double *matrix_data;
    if (onto) {
        const std::size_t n_dates = nb::len(onto->index), n_stocks = nb::len(onto->columns);
        nb::object date_rows = as_int64(call, positions_on(dates, onto->index));
        nb::object stock_columns = as_int64(call, positions_on(stocks, onto->columns));
        const CodeArray date_row = checked_view<CodeArray>(date_rows, nb::len(dates.labels), "DataDate");
        const CodeArray stock_column = checked_view<CodeArray>(stock_columns, nb::len(stocks.labels), "ukey");
        nb::object matrix = mf::new_numpy_array<double, 2>({n_dates, n_stocks}, matrix_data);
        bool codes_valid;
        {
            nb::gil_scoped_release unlocked;
            codes_valid = kernels::pivot_onto(table, date_row.data(), n_dates, stock_column.data(), n_stocks,
                                              matrix_data);
        }
        if (!codes_valid)
            mf::raise(PyExc_ValueError, "因子数据转换失败: 标签编码越界");
        return pd.attr("DataFrame")(matrix, "index"_a = onto->index, "columns"_a = onto->columns,
                                    "copy"_a = false);
    }

    kernels::PivotAxes axes;
    bool codes_valid;
    {
        nb::gil_scoped_release unlocked;
        codes_valid = kernels::pivot_axes(table, axes);
    }
    if (!codes_valid)
        mf::raise(PyExc_ValueError, "因子数据转换失败: 标签编码越界");
    nb::object matrix =
        mf::new_numpy_array<double, 2>({axes.date_labels.size(), axes.stock_labels.size()}, matrix_data);
    {
        nb::gil_scoped_release unlocked;
        kernels::pivot_fill(table, axes, matrix_data);
    }
    // What clean_matrix would make of the pivot, without its copy: float64
    // values with infinities missing, both axes ascending and named.
    return pd.attr("DataFrame")(matrix, "index"_a = axis_labels(call, dates, axes.date_labels, "DataDate"),
                                "columns"_a = axis_labels(call, stocks, axes.stock_labels, "ukey"),
                                "copy"_a = false);
}

// pd.to_numeric(column, errors="coerce") as contiguous float64, NaN for missing.
nb::object numeric_values(const mf::Call &call, nb::handle column) {
    nb::object np = call.global("np");
    nb::object numbers = call.global("pd").attr("to_numeric")(column, "errors"_a = "coerce");
    return np.attr("ascontiguousarray")(
        numbers.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan")));
}

// The labels of the three label columns: stock codes cut to six characters,
// dates as "YYYYMMDD" text, factor names as text.
nb::object stock_labels(const mf::Call &call, nb::handle codes) {
    return codes.attr("astype")(call.global("str")).attr("str").attr("slice")(0, 6);
}

nb::object date_labels(const mf::Call &call, nb::handle dates) {
    return call.global("series_to_yyyymmdd")(dates);
}

nb::object group_labels(const mf::Call &call, nb::handle names) {
    return names.attr("astype")(call.global("str"));
}

// The matrices of a coded answer, keyed by the names of `result` that occur
// as groups, or of `only_name` when there are no groups.
void pivot_coded_answer(const mf::Call &call, const CodedLabels &dates, const CodedLabels &stocks,
                        nb::handle values, const CodedLabels *groups, nb::handle only_name, nb::dict &result,
                        const TargetAxes *onto) {
    if (!groups) {
        result[only_name] = pivot_rows(call, dates, stocks, values, nullptr, 0, onto);
        return;
    }
    const std::size_t n_groups = nb::len(groups->labels);
    for (std::size_t group = 0; group < n_groups; ++group) {
        nb::object name = groups->labels[nb::int_(group)];
        if (mf::contains(result, name))
            result[name] =
                pivot_rows(call, dates, stocks, values, groups, static_cast<std::int64_t>(group), onto);
    }
}

}  // namespace

void pivot_factor_answer(const mf::Call &call, nb::handle frame, const char *value_column,
                         const char *group_column, nb::handle only_name, nb::dict &result,
                         const TargetAxes *onto) {
    // Codes held as Python objects are made text before they are factorised:
    // 1, 1.0 and True are equal as values but three codes as text. Answers
    // carry text codes, whose factorisation this leaves as it is.
    nb::object ukey = frame["ukey"];
    if (nb::str(ukey.attr("dtype")).equal(nb::str("object")) &&
        !nb::str("string").equal(
            call.global("pd").attr("api").attr("types").attr("infer_dtype")(ukey, "skipna"_a = true)))
        ukey = ukey.attr("astype")(call.global("str"));
    CodedLabels stocks = coded_labels(call, ukey, stock_labels);
    CodedLabels dates = coded_labels(call, frame["DataDate"], date_labels);
    nb::object values = numeric_values(call, frame[value_column]);
    std::optional<CodedLabels> groups;
    if (group_column)
        groups = coded_labels(call, frame[group_column], group_labels);
    pivot_coded_answer(call, dates, stocks, values, groups ? &*groups : nullptr, only_name, result, onto);
}

bool pivot_arrow_answer(const mf::Call &call, nb::handle table, nb::handle only_name, nb::dict &result,
                        const TargetAxes *onto, nb::handle memo) {
    nb::object values = table.attr("column")("x");
    nb::object ukey = table.attr("column")("ukey");
    nb::object dates = table.attr("column")("DataDate");
    nb::object groups = only_name.is_none() ? table.attr("column")("factorname") : nb::none();
    nb::module_ pa = nb::module_::import_("pyarrow");
    if (!mf::truthy(values.attr("type").attr("equals")(pa.attr("float64")())) ||
        !arrow_codes_readable(ukey) || !arrow_codes_readable(dates) ||
        (!groups.is_none() && !arrow_codes_readable(groups)))
        return false;
    // An answer for one factor names it in every row: its rows are that
    // factor's, with no codes to tell them apart.
    nb::object one_group = nb::none();
    if (!groups.is_none() && arrow_one_value_throughout(groups)) {
        one_group = group_labels(call, groups.attr("slice")(0, 1).attr("to_pandas")())[nb::int_(0)];
        if (!mf::contains(result, one_group))
            return true;
    }
    CodedLabels coded_stocks = coded_arrow_labels(call, ukey, stock_labels, memo, "ukey");
    CodedLabels coded_dates = coded_arrow_labels(call, dates, date_labels, memo, "DataDate");
    // Missing values become NaN, as in the column the table would give.
    nb::object numbers = call.global("np").attr("ascontiguousarray")(values.attr("to_numpy")());
    if (!one_group.is_none()) {
        pivot_coded_answer(call, coded_dates, coded_stocks, numbers, nullptr, one_group, result, onto);
    } else {
        std::optional<CodedLabels> coded_groups;
        if (!groups.is_none())
            coded_groups = coded_arrow_labels(call, groups, group_labels, nb::none(), nullptr);
        pivot_coded_answer(call, coded_dates, coded_stocks, numbers, coded_groups ? &*coded_groups : nullptr,
                           only_name, result, onto);
    }
    return true;
}

}  // namespace tolvane::prepare
