"""The data preparation module against a fake service: names, conversion, fall-backs,
benchmarks, derived matrices and payloads, held to the pandas reference."""

from __future__ import annotations

import datetime
import threading

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from tolvane.backtest import _prepare
from tolvane.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from tolvane.backtest.prepared import prepare_store, update_store
from tolvane.exceptions import NetworkError

from reference.prepared_data import ReferenceBuilder, assert_same_data, factors_to_matrices

COMPONENTS = _prepare.COMPONENT_FACTOR_NAMES
INDEX_CODES = list(_prepare.BENCHMARK_INDEX_CODES.values())


def random_market(seed: int, n_days: int = 12, missing=()) -> dict[str, pd.DataFrame]:
    """Factor tables (date x code with exchange suffix) for every input and component;
    factors named in ``missing`` are left out."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-02", periods=n_days)
    codes = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "300750.XSHE", "688001.XSHG"]
    shape = (n_days, len(codes))
    close = np.round(10 * np.exp(np.cumsum(rng.normal(0, 0.03, shape), axis=0)), 2)
    close[rng.random(shape) < 0.1] = np.nan

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    up, down = np.round(close * 1.1, 2), np.round(close * 0.9, 2)
    buy = np.where(rng.random(shape) < 0.15, up, np.round(close * 1.001, 3))
    sell = np.where(rng.random(shape) < 0.15, down, np.round(close * 0.999, 3))
    tables = {
        "rq_industry_exposure_new": frame(np.tile(rng.integers(1, 5, len(codes)), (n_days, 1)).astype(float)),
        "limit_down": frame(down),
        "limit_up": frame(up),
        "Close": frame(close),
        "Open": frame(np.round(close * rng.uniform(0.98, 1.02, shape), 2)),
        "tick_vwap_price_935_1005": frame(buy),
        "tick_vwap_price_925_1000": frame(sell),
        "split_coefficient_to": frame(np.where(rng.random(shape) < 0.05, 13.0, np.nan)),
        "rq_get_dividend": frame(np.where(rng.random(shape) < 0.05, 2.5, np.nan)),
        "rq_is_suspended": frame(np.where(rng.random(shape) < 0.1, 1.0, 0.0)),
    }
    for name in COMPONENTS:
        tables[name] = frame(
            np.where(rng.random(shape) < 0.5, 1.0, np.where(rng.random(shape) < 0.3, 0.0, np.nan))
        )
    return {name: table for name, table in tables.items() if name not in missing}


def long_rows(name: str, table: pd.DataFrame) -> pd.DataFrame:
    stacked = table.stack().rename("value").reset_index()
    stacked.columns = ["date", "ukey", "value"]
    stacked["factor"] = name
    return stacked


class FakeService:
    """Answers like the data service: a long frame per factor query, a wide index frame."""

    def __init__(self, tables, fail_batch=False, index_frame=None):
        self.tables = tables
        self.fail_batch = fail_batch
        self.queries = []
        dates = next(iter(tables.values())).index
        self.index_frame = (
            index_frame
            if index_frame is not None
            else pd.concat(
                [
                    pd.DataFrame(
                        {"date": dates.date, "ukey": code, "close": 1000 + np.arange(len(dates)) * (k + 1.0)}
                    )
                    for k, code in enumerate(INDEX_CODES)
                ],
                ignore_index=True,
            )
        )

    def get_factors(self, factor, start_date, end_date):
        self.queries.append((factor, start_date, end_date))
        if isinstance(factor, list) and self.fail_batch:
            raise NetworkError("连接中断")
        names = factor if isinstance(factor, list) else [factor]
        span = slice(pd.Timestamp(start_date), pd.Timestamp(end_date))
        frames = [long_rows(name, self.tables[name].loc[span]) for name in names if name in self.tables]
        return (
            pd.concat(frames, ignore_index=True)
            if frames
            else pd.DataFrame(columns=["date", "ukey", "value", "factor"])
        )

    def get_index_day(self, ukeys, start_date, end_date):
        self.queries.append((tuple(ukeys), start_date, end_date))
        dates = pd.to_datetime(self.index_frame["date"])
        return self.index_frame[(dates >= pd.Timestamp(start_date)) & (dates <= pd.Timestamp(end_date))]


@pytest.fixture
def serve(monkeypatch):
    """Installs a fake service as the module's singleton; returns it."""

    def install(service):
        monkeypatch.setattr(_prepare, "get_instance", lambda: service)
        return service

    return install


# ---------------------------------------------------------------- vocabulary


def test_name_lists_and_the_matrix_table():
    assert _prepare.parse_name_list("a，b；c;d\n e,,f ") == ["a", "b", "c", "d", "e", "f"]
    assert _prepare.parse_name_list([" x ", 12, ""]) == ["x", "12"]
    assert _prepare.parse_name_list(n for n in ("a", "a")) == ["a", "a"]
    assert _prepare.parse_name_list("a\tb") == ["a\tb"]
    for empty in (None, "", " , ,"):
        assert _prepare.parse_name_list(empty) == []

    components = _prepare.get_component_factor_names()
    assert components == COMPONENTS and components is not _prepare.COMPONENT_FACTOR_NAMES
    assert _prepare.BUILD_INPUT_NAMES == _prepare.REQUIRED_FACTOR_NAMES + _prepare.OPTIONAL_FACTOR_NAMES
    table = _prepare.build_matrix_dtype()
    assert len(table) == 17 and list(table)[:12] == list(_prepare.BASE_MATRIX_DTYPE)
    assert set(list(table.values())[12:]) == {"float64"}
    assert _prepare.build_matrix_dtype([]) == _prepare.BASE_MATRIX_DTYPE
    assert len(_prepare.build_matrix_dtype(["x", "x"])) == 13
    with pytest.raises(
        TypeError, match=r"Argument 'component_names' has incorrect type \(expected list, got tuple\)"
    ):
        _prepare.build_matrix_dtype(("x",))


def test_dates_of_the_builder():
    converted = _prepare.series_to_yyyymmdd(pd.Series(["2024-01-05", "not a date"], index=[7, 9]))
    assert converted.index.tolist() == [7, 9] and converted[7] == "20240105" and pd.isna(converted[9])
    assert _prepare.series_to_yyyymmdd(["2024-01-05"]).tolist() == ["20240105"]

    builder = GroupPreparedDataBuilder("2024-01-05", "20240301")
    assert (builder.default_start, builder.end_date, builder._ddb_start, builder._ddb_end) == (
        "20240105",
        "20240301",
        "20240105",
        "20240301",
    )
    normalize = GroupPreparedDataBuilder._normalize_ddb_backtest_date
    assert normalize(20240105) == "20240105" and normalize("2024011") == "20240110"
    assert normalize("2024-01") == "2024-01" and normalize(None) is None
    assert builder._tolvane_factor_date("20240105") == "2024-01-05"
    assert builder._tolvane_factor_date(None) is None
    with pytest.raises(
        TypeError, match=r"Argument 'start_date' has incorrect type \(expected str, got int\)"
    ):
        GroupPreparedDataBuilder(20240105, "20240301")
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 3 positional arguments \(2 given\)"):
        GroupPreparedDataBuilder("20240105")


# ---------------------------------------------------------------- conversion


def messy_answer(seed: int, n_rows: int = 400) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    dates = np.array(["2024-01-05", "2024-01-08", "2024-01-09", "not a date", None], dtype=object)
    codes = np.array(["000001.XSHE", "000001.XSHG", "600000.XSHG", "300750", None], dtype=object)
    values = rng.normal(size=n_rows)
    values[rng.random(n_rows) < 0.1] = np.nan
    values[rng.random(n_rows) < 0.05] = np.inf
    values = values.astype(object)
    values[rng.random(n_rows) < 0.05] = "n/a"
    return pd.DataFrame(
        {
            "date": dates[rng.integers(0, len(dates), n_rows)],
            "ukey": codes[rng.integers(0, len(codes), n_rows)],
            "value": values,
            "factor": np.array(["a", "b", "other", None], dtype=object)[rng.integers(0, 4, n_rows)],
        }
    )


@pytest.mark.filterwarnings("ignore:Could not infer format")
@pytest.mark.parametrize("seed", range(5))
def test_conversion_matches_the_pandas_steps(seed):
    builder = GroupPreparedDataBuilder("20240101", "20240131")
    long = messy_answer(seed)
    cases = [
        (long, ["a", "b", "absent"]),  # factor column
        (long.drop(columns="factor"), ["a"]),  # one name, no factor column
        (long.drop(columns="factor"), ["a", "b"]),  # ambiguous: all empty
        (long.rename(columns={"value": "a", "date": "DataDate"}).drop(columns="factor"), ["a", "b"]),  # wide
    ]
    for answer, names in cases:
        got = builder._tolvane_factors_to_matrices(answer, names)
        want = factors_to_matrices(answer, names)
        assert_same_data(got, want)
    assert builder._tolvane_factors_to_matrices(None, ["a"])["a"].empty


def test_conversion_of_an_answer_in_runs():
    """A service lists the rows of a day and of a factor together, so dates and
    names come in long runs: of one object, of equal texts held by Arrow, or of
    a missing value; one value in several runs, held by different objects,
    still makes one label."""
    import datetime

    rng = np.random.default_rng(11)
    codes = [f"{600000 + j}.XSHG" for j in range(60)]
    days = [datetime.date(2024, 1, 5), datetime.date(2024, 1, 8), None, datetime.date(2024, 1, 9)]
    runs = [
        pd.DataFrame(
            {"date": [day] * len(codes), "ukey": codes, "value": rng.normal(size=len(codes)), "factor": name}
        )
        for name in ["a", "b"]
        for day in days
    ]
    # A few rows without a factor name (each its own run where Arrow holds the names).
    runs.append(pd.DataFrame({"date": days[0], "ukey": codes[:3], "value": 1.0, "factor": None}))
    # 2024-01-05 again, as other objects, for half the stocks.
    runs.append(
        pd.DataFrame(
            {
                "date": [datetime.date(2024, 1, 5) for _ in range(30)],
                "ukey": codes[::2],
                "value": rng.normal(size=30),
                "factor": "a",
            }
        )
    )
    answer = pd.concat(runs, ignore_index=True).astype({"date": object})
    builder = GroupPreparedDataBuilder("20240101", "20240131")
    for frame in (answer, answer.astype({"factor": "str", "ukey": "str"})):
        assert_same_data(
            builder._tolvane_factors_to_matrices(frame, ["a", "b"]), factors_to_matrices(frame, ["a", "b"])
        )


def arrow_answer(seed: int, n_rows: int = 600, batch_rows: int = 97) -> pa.Table:
    """A long answer as the service streams it (date32 days, text codes, float64
    values, factor names) in record batches, with missing values in every column,
    two exchange suffixes of one code and repeated cells."""
    rng = np.random.default_rng(seed)
    days = [datetime.date(2024, 1, day) for day in (5, 8, 9, 10)] + [None]
    codes = ["000001.XSHE", "000001.XSHG", "600000.XSHG", "300750", "", None]
    values = rng.normal(size=n_rows)
    values[rng.random(n_rows) < 0.05] = np.inf
    table = pa.table(
        {
            "date": pa.array([days[k] for k in rng.integers(0, len(days), n_rows)], pa.date32()),
            "ukey": pa.array([codes[k] for k in rng.integers(0, len(codes), n_rows)], pa.string()),
            "value": pa.array(values, mask=rng.random(n_rows) < 0.1),
            "factor": pa.array([["a", "b", None][k] for k in rng.integers(0, 3, n_rows)], pa.string()),
        }
    )
    return pa.Table.from_batches(table.to_batches(max_chunksize=batch_rows))


@pytest.mark.parametrize("seed", range(3))
def test_conversion_reads_an_arrow_answer_as_the_frame_it_gives(seed):
    """An answer in Arrow memory is read in place where its column types allow
    and converted to a frame where they do not: the matrices are the same."""
    builder = GroupPreparedDataBuilder("20240101", "20240131")
    table = arrow_answer(seed)
    sliced = pa.concat_tables([table.slice(0, 150), table.slice(0, 0), table.slice(151)])  # offset chunks
    large = table.set_column(1, "ukey", table.column("ukey").cast(pa.large_string()))
    single = table.drop_columns("factor")
    one_factor = table.set_column(3, "factor", pa.array(["b"] * table.num_rows))
    cases = [
        (table, ["a", "b", "absent"]),
        (one_factor, ["a", "b"]),
        (one_factor, ["a"]),
        (sliced, ["a", "b"]),
        (large, ["b"]),
        (single, ["a"]),
        (single, ["a", "b"]),  # several factors and no names: all empty
        (single.rename_columns(["DataDate", "ukey", "x"]), ["a"]),
        (table.set_column(2, "value", table.column("value").cast(pa.float32())), ["a"]),
        (table.set_column(0, "date", table.column("date").cast(pa.timestamp("ms"))), ["a"]),
        (table.rename_columns(["date", "ukey", "a", "b"]), ["a"]),  # wide
    ]
    index = pd.Index(["20240105", "20240109", "20240110", "20240111"])
    columns = pd.Index(["000001", "600000", "300750", "688001"])
    for answer, names in cases:
        frame = answer.to_pandas()
        assert_same_data(
            builder._tolvane_factors_to_matrices(answer, names), factors_to_matrices(frame, names)
        )
        assert_same_data(
            _prepare.factor_matrices_on_axes(answer, names, index, columns),
            _prepare.factor_matrices_on_axes(frame, names, index, columns),
        )


def test_one_builder_reuses_label_codes_only_for_the_same_rows():
    """A builder keeps the stock and date codes of the Arrow answer it read last;
    the next answer takes them only when its rows hold the same codes and days,
    missing where they were missing, whatever its values and record batches."""
    base = arrow_answer(7).drop_columns("factor")
    changed_row = base.num_rows - 2

    def with_cell(column: str, value) -> pa.Table:
        cells = base.column(column).to_pylist()
        cells[changed_row] = value
        return base.set_column(
            base.column_names.index(column), column, pa.array(cells, base.schema.field(column).type)
        )

    code = base.column("ukey")[changed_row].as_py()
    suffixed = "000001.XSHG" if code == "000001.XSHE" else "000001.XSHE"
    # Per variant: whether the stock codes and the day codes carry over.
    variants = {
        "other values, other batches": (
            pa.Table.from_batches(
                base.set_column(2, "value", pa.array(np.arange(base.num_rows, dtype=float))).to_batches(50)
            ),
            (True, True),
        ),
        "one code changed": (with_cell("ukey", suffixed), (False, True)),
        "one code missing": (with_cell("ukey", None), (code is None, True)),
        "one code given": (with_cell("ukey", "688001.XSHG"), (False, True)),
        "one day changed": (with_cell("date", datetime.date(2024, 2, 1)), (True, False)),
        "one day missing": (
            with_cell("date", None),
            (True, base.column("date")[changed_row].as_py() is None),
        ),
        "two rows swapped": (pa.concat_tables([base.slice(1, 1), base.slice(0, 1), base.slice(2)]), None),
        "one row less": (base.slice(0, base.num_rows - 1), (False, False)),
    }
    for label, (variant, reused) in variants.items():
        builder = GroupPreparedDataBuilder("20240101", "20240131")
        builder._tolvane_factors_to_matrices(base, ["a"])
        kept = {key: codes for key, (_, codes, *_) in builder._arrow_label_memo.items()}
        got = builder._tolvane_factors_to_matrices(variant, ["a"])
        assert_same_data(got, factors_to_matrices(variant.to_pandas(), ["a"]))
        if reused is not None:
            now = builder._arrow_label_memo
            assert (now["ukey"][1] is kept["ukey"], now["DataDate"][1] is kept["DataDate"]) == reused, label


def test_an_arrow_answer_with_offsets_out_of_order_is_refused():
    table = pa.table(
        {
            "date": pa.array([datetime.date(2024, 1, 5)] * 2, pa.date32()),
            "ukey": ["000001", "000002"],
            "value": [1.0, 2.0],
        }
    )
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    stream = bytearray(sink.getvalue().to_pybytes())
    offsets = np.array([0, 6, 12], np.int32).tobytes()
    at = stream.index(offsets)
    # The second code now ends before it starts, which a stream's own checks let through.
    stream[at : at + len(offsets)] = np.array([0, 12, 6], np.int32).tobytes()
    damaged = pa.ipc.open_stream(pa.py_buffer(bytes(stream))).read_all()
    with pytest.raises(ValueError, match="缓冲区与行数不符"):
        GroupPreparedDataBuilder("20240101", "20240131")._tolvane_factors_to_matrices(damaged, ["a"])


def test_conversion_keeps_the_last_row_of_a_cell():
    answer = pd.DataFrame(
        {
            "date": ["2024-01-05"] * 3,
            "ukey": ["000001.XSHE", "000001.XSHG", "600000.XSHG"],
            "value": [1.0, 2.0, 3.0],
            "factor": "a",
        }
    )
    matrix = GroupPreparedDataBuilder("20240101", "20240131")._tolvane_factors_to_matrices(answer, ["a"])["a"]
    assert matrix.columns.tolist() == ["000001", "600000"] and matrix.loc["20240105"].tolist() == [2.0, 3.0]
    # Codes as objects of mixed types are told apart as their text is.
    mixed = pd.DataFrame(
        {"date": ["2024-01-05"] * 3, "ukey": [1, 1.0, True], "value": [1.0, 2.0, 3.0], "factor": "a"}
    ).astype({"ukey": object})
    matrix = GroupPreparedDataBuilder("20240101", "20240131")._tolvane_factors_to_matrices(mixed, ["a"])["a"]
    assert matrix.columns.tolist() == ["1", "1.0", "True"] and matrix.iloc[0].tolist() == [1.0, 2.0, 3.0]
    with pytest.raises(KeyError, match="因子查询返回结果缺少 ukey/date 列"):
        GroupPreparedDataBuilder("20240101", "20240131")._tolvane_factors_to_matrices(
            answer.drop(columns="ukey"), ["a"]
        )


# ---------------------------------------------------------------- reading


def test_batch_read_falls_back_to_single_reads(serve):
    tables = random_market(1, missing=["rq_get_dividend"])
    builder = GroupPreparedDataBuilder("20240102", "20240117")
    service = serve(FakeService(tables, fail_batch=True))
    names = ["Close", "Open", "rq_get_dividend"]
    result = builder._read_normal_factor_batch(names)
    assert [q[0] for q in service.queries] == [names, "Close", "Open", "rq_get_dividend"]
    assert service.queries[0][1:] == ("2024-01-02", "2024-01-17")
    assert result["rq_get_dividend"].empty and not result["Close"].empty

    service = serve(FakeService(tables))
    builder._read_normal_factor_batch(names)
    assert [q[0] for q in service.queries] == [names, "rq_get_dividend"]  # only the empty one is re-read
    assert builder._read_normal_factor_batch([]) == {} and len(service.queries) == 2

    class Broken(FakeService):
        def get_factors(self, factor, start_date, end_date):
            raise RuntimeError("not a network failure")

    serve(Broken(tables))
    with pytest.raises(RuntimeError):
        builder._read_normal_factor_batch(names)


def test_component_membership_and_unreachable_components(serve):
    builder = GroupPreparedDataBuilder("20240102", "20240103")
    matrix = pd.DataFrame([[1.0, 0.0, np.nan, np.inf, 2.5]], index=["20240103"], columns=list("abcde"))
    batch = {"m": pd.concat([matrix, matrix.rename(index={"20240103": "20240102"})])}
    membership = builder._component_matrices(["m"], batch=batch)["m"]
    assert membership.index.tolist() == ["20240102", "20240103"]
    np.testing.assert_array_equal(membership.iloc[0], [1.0, np.nan, np.nan, np.nan, 1.0])

    class Unreachable(FakeService):
        def get_factors(self, factor, start_date, end_date):
            raise NetworkError("连接中断")

    serve(Unreachable(random_market(2)))
    assert builder._component_matrices(["m", "n"], batch={"m": batch["m"]}).keys() == {"m"}


def test_benchmark_daily_returns():
    builder = GroupPreparedDataBuilder("20240102", "20240105")
    fmt = builder._format_benchmark_daily_return
    dates = ["2024-01-02", "2024-01-03", "2024-01-04"]
    both = pd.DataFrame({"date": dates, "return": [0.1, 0.2, 0.3], "close": [1.0, 2.0, 3.0]})
    assert fmt(both, "000852", "000852.XSHG").tolist() == [0.1, 0.2, 0.3]  # no ukey: used whole
    closes = pd.DataFrame({"date": dates, "ukey": "000852.XSHG", "close": [100, 101, 99.99]})
    series = fmt(closes, "000852", "000852.XSHG")
    assert series.name == "index_day_return" and series.index.tolist() == ["20240103", "20240104"]
    np.testing.assert_allclose(series, [0.01, -0.01])
    assert fmt(closes, "000300", "000300.XSHG").empty
    repeated = pd.DataFrame(
        {"DataDate": ["2024-01-03", "2024-01-02", "2024-01-03"], "ukey": "X", "daily_return": [0.1, 0.2, 0.3]}
    )
    assert fmt(repeated, "x", "X").tolist() == [0.2, 0.3]
    with pytest.raises(KeyError, match=r"基准日频数据为空: 000852 \(000852.XSHG\)"):
        fmt(pd.DataFrame(), "000852", "000852.XSHG")
    with pytest.raises(KeyError, match="000852 基准缺少 DataDate 列"):
        fmt(both.drop(columns="date"), "000852", "000852.XSHG")
    with pytest.raises(KeyError, match="000852 基准缺少 daily_return/close 列"):
        fmt(both.drop(columns=["return", "close"]), "000852", "000852.XSHG")


# ---------------------------------------------------------------- derived matrices


def test_derived_matrices_and_the_suspension_rule():
    dates = ["20240102", "20240103", "20240104", "20240105"]

    def frame(*columns):
        return pd.DataFrame(dict(zip("abcd", columns)), index=dates)

    close = frame([10, np.nan, 11, 12], [5, 5, 5, 5], [8, 8, 8, 8], [3, 3, 3, 3])
    limit_up = close * 1.1
    limit_down = close * 0.9
    buy = frame([11.0, 1, 1, 1], [1, 1, 1, 1], [1, 1, 1, 1], [1, 1, 1, 1])
    sell = frame([1, 1, 1, 1], [4.5, 1, 1, 1], [1, 1, 1, 1], [1, 1, 1, 1])
    suspended = frame([0, 0, 0, 0], [0, 0, 0, 0], [1, 0, np.nan, 0], [0, 0, 0, 0]).drop(columns="d")
    suspended["e"] = [0, 1, 0, 0]  # a stock with flags but not a single price
    source = {
        "rq_industry_exposure_new": close * 0 + 3,
        "limit_down": limit_down,
        "limit_up": limit_up,
        "Close": close,
        "Open": frame([10, 11, 12.1, 13.31], [1, 1, 1, 1], [1, 1, 1, 1], [1, 0, 1, 1]),
        "tick_vwap_price_935_1005": buy,
        "tick_vwap_price_925_1000": sell,
        "split_coefficient_to": frame([12, np.nan, np.nan, np.nan], *[[np.nan] * 4] * 3),
        "rq_get_dividend": frame([5, 5, np.nan, np.nan], *[[np.nan] * 4] * 3),
        "rq_is_suspended": suspended,
    }
    data = GroupPreparedDataBuilder("20240102", "20240105")._build_from_matrices(source)
    assert list(data) == list(_prepare.BASE_MATRIX_DTYPE)
    assert data["close_price_valid"]["a"].tolist()[:3] == [1, pytest.approx(np.nan, nan_ok=True), 1]
    np.testing.assert_array_equal(data["prev_close"]["a"], [np.nan, 10, np.nan, 11])
    assert data["rq_get_split"].loc["20240102", "a"] == pytest.approx(1.2)
    assert data["rq_get_dividend"].loc["20240102", "a"] == pytest.approx(0.45)
    assert np.isnan(data["rq_get_dividend"].loc["20240103", "a"])  # no close that day
    # Forward returns 0.1, 0.1 in column a; column d divides by a zero open (inf -> unranked).
    ranks = data["forward_return_rank_cache"]
    assert ranks.iloc[2:].isna().all().all() and np.isnan(ranks.loc["20240102", "d"])
    assert ranks.loc["20240102", ["a", "b", "c"]].tolist() == [3.0, 1.5, 1.5]

    can_buy, cant_sell = data["can_buy_stock"], data["cant_sell_stock"]
    assert can_buy.dtypes.eq(bool).all() and cant_sell.dtypes.eq(bool).all()
    assert not can_buy.loc["20240102", "a"]  # bought at the limit-up price
    assert cant_sell.loc["20240102", "b"]  # sold at the limit-down price
    # Suspended (flag 1): neither buyable nor sellable although no price is at a limit.
    assert not can_buy.loc["20240102", "c"] and cant_sell.loc["20240102", "c"]
    # Flag 0, a missing flag and a stock absent from the flags follow the limits only.
    for day, stock in (("20240103", "c"), ("20240104", "c"), ("20240103", "d"), ("20240102", "e")):
        assert can_buy.loc[day, stock] and not cant_sell.loc[day, stock]
    assert not can_buy.loc["20240103", "e"] and cant_sell.loc["20240103", "e"]


@pytest.mark.parametrize("layout", ["pandas", "rows"])
def test_forward_return_ranks_equal_pandas_ranks_bit_for_bit(layout):
    # Opens from a few levels give many tied returns; zeros give infinite
    # returns (unranked), gaps NaN ones, and -0.0 ties with 0.0.
    rng = np.random.default_rng(9)
    shape = (40, 23)
    opens = rng.choice([1.0, 2.0, 4.0, 0.0, np.nan, -0.0], size=shape, p=[0.3, 0.3, 0.25, 0.05, 0.05, 0.05])
    opens[5] = np.nan  # a day without any return
    dates = [f"2024{k:04d}" for k in range(101, 101 + shape[0])]
    stocks = [f"{k:06d}" for k in range(shape[1])]
    if layout == "rows":
        open_price = pd.DataFrame(np.ascontiguousarray(opens), index=dates, columns=stocks, copy=False)
    else:
        open_price = pd.DataFrame(opens, index=dates, columns=stocks)
    close = open_price.abs() + 1.0
    source = {name: close for name in _prepare.BUILD_INPUT_NAMES}
    source["Open"] = open_price
    ranks = GroupPreparedDataBuilder("20240101", "20241231")._build_from_matrices(source)[
        "forward_return_rank_cache"
    ]
    forward = open_price.shift(-2) / open_price.shift(-1) - 1
    want = forward.replace([np.inf, -np.inf], np.nan).rank(axis=1, method="average")
    pd.testing.assert_frame_equal(ranks, want, check_exact=True)
    assert (ranks.to_numpy() % 0.5 == 0)[ranks.notna().to_numpy()].all() and ranks.notna().any().any()


# ---------------------------------------------------------------- builds


@pytest.mark.parametrize("seed", [3, 4])
def test_builds_match_the_reference(serve, seed):
    tables = random_market(seed, missing=["split_coefficient_to"])
    service = serve(FakeService(tables))
    builder = GroupPreparedDataBuilder("20240102", "20240117")
    full = builder.build()
    incremental = builder.build_incremental()
    want = ReferenceBuilder(service, "20240102", "20240117").build_data()
    assert_same_data(full["data"], want)
    assert_same_data(incremental["data"], want)
    assert len(full["data"]) == 12 + 5 + 1 and full["version"] == 1
    assert list(full["meta"])[:6] == [
        "start_date",
        "end_date",
        "ddb_start",
        "ddb_end",
        "component_names",
        "component_dataset_keys",
    ]
    assert "created_at" in full["meta"] and "updated_at" not in full["meta"]
    assert "updated_at" in incremental["meta"] and "created_at" not in incremental["meta"]
    index_queries = [q for q in service.queries if isinstance(q[0], tuple)]
    assert index_queries[0] == (tuple(INDEX_CODES), "20240102", "20240117")

    # The builder asks the module's get_instance anew for every query.
    other = serve(FakeService(tables))
    builder.build()
    assert len(other.queries) == 16


def test_a_missing_component_refuses_the_build(serve):
    serve(FakeService(random_market(5, missing=[COMPONENTS[1], COMPONENTS[3]])))
    message = "成分股矩阵缺失，无法精确生成二进制缓存: " + str([COMPONENTS[1], COMPONENTS[3]])
    with pytest.raises(ValueError) as raised:
        GroupPreparedDataBuilder("20240102", "20240117").build()
    assert str(raised.value) == message


def test_updates_keep_supplemented_components_current(serve, tmp_path):
    tables = random_market(6, n_days=20)
    tables["extra_index"] = (
        tables[COMPONENTS[0]].iloc[:, ::-1].set_axis(tables[COMPONENTS[0]].columns, axis=1)
    )
    serve(FakeService(tables))

    def supplemented(folder, end):
        store = prepare_store(folder, "20240102", end)
        membership = GroupPreparedDataBuilder("20240102", end)._component_matrices(["extra_index"])
        assert store.add_component_matrices(membership, ["extra_index"]) == ["extra_index"]
        return BinaryPreparedDataStore(folder, COMPONENTS + ["extra_index"])

    updated = supplemented(tmp_path / "updated", "20240115")
    update_store(tmp_path / "updated", "20240129")
    full = supplemented(tmp_path / "full", "20240129")
    got, want = updated.load(), full.load()
    assert "component_extra_index" in want and list(got) == list(want)
    for key, matrix in want.items():
        pd.testing.assert_frame_equal(got[key], matrix, obj=key)
    with pytest.raises(FileNotFoundError, match="prepare_store"):
        update_store(tmp_path / "nothing-here")


def test_prepare_store_downloads_ahead_in_the_order_of_a_build(serve, tmp_path):
    tables = random_market(7)
    built = serve(FakeService(tables))
    payload = GroupPreparedDataBuilder("20240102", "20240117").build()
    prepared = serve(FakeService(tables))
    store = prepare_store(tmp_path, "20240102", "20240117")

    # The same queries, the factors in the build's order; the small index query may go
    # earlier, while the build is busy, instead of after the last factor.
    def factor_queries(service):
        return [query for query in service.queries if isinstance(query[0], str)]

    assert factor_queries(prepared) == factor_queries(built)
    assert sorted(map(str, prepared.queries)) == sorted(map(str, built.queries))
    got = store.load()
    for key, matrix in payload["data"].items():
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(got[key].loc[matrix.index, matrix.columns], matrix, obj=key)


def test_prepare_store_stops_its_downloads_when_the_build_fails(serve, tmp_path):
    class CutAt(FakeService):
        def __init__(self, tables, failing):
            super().__init__(tables)
            self.failing = failing

        def get_factors(self, factor, start_date, end_date):
            if factor == self.failing:
                self.queries.append((factor, start_date, end_date))
                raise NetworkError("连接中断")
            return super().get_factors(factor, start_date, end_date)

    # A required factor: the build fails at once; past it at most the two answers that may
    # wait and the download under way.
    service = serve(CutAt(random_market(8), "limit_up"))
    with pytest.raises(NetworkError, match="连接中断"):
        prepare_store(tmp_path / "a", "20240102", "20240117")
    names = [query[0] for query in service.queries if isinstance(query[0], str)]
    assert names[:3] == ["rq_industry_exposure_new", "limit_down", "limit_up"] and len(names) <= 6
    assert not [thread for thread in threading.enumerate() if thread.name == "tolvane-prefetch"]
    assert not BinaryPreparedDataStore(tmp_path / "a").exists()
    assert [path.name for path in (tmp_path / "a").iterdir()] == [".writer.lock"]

    # An unreachable component is left out, as in a build, and then refuses the store.
    serve(CutAt(random_market(8), COMPONENTS[2]))
    with pytest.raises(ValueError, match=r"成分股矩阵缺失.*000852"):
        prepare_store(tmp_path / "b", "20240102", "20240117")
    assert [path.name for path in (tmp_path / "b").iterdir()] == [".writer.lock"]
