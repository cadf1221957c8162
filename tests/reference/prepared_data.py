"""The data preparation written as plain pandas steps, one statement per step.

Slow and obvious on purpose: the native builder must give the same matrices,
payload entries and benchmark series. The store helpers (``clean_matrix``,
``normalize_yyyymmdd``, ``component_dataset_key``) are shared with the native
module, as both call the same storage module.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from tolvane.backtest._store import clean_matrix, component_dataset_key, normalize_yyyymmdd
from tolvane.exceptions import NetworkError

COMPONENT_FACTOR_NAMES = [
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
]
BENCHMARK_INDEX_CODES = {"000852": "000852.XSHG", "000300": "000300.XSHG", "000905": "000905.XSHG"}
REQUIRED_FACTOR_NAMES = [
    "rq_industry_exposure_new",
    "limit_down",
    "limit_up",
    "Close",
    "Open",
    "tick_vwap_price_935_1005",
    "tick_vwap_price_925_1000",
]
OPTIONAL_FACTOR_NAMES = ["split_coefficient_to", "rq_get_dividend", "rq_is_suspended"]


def series_to_yyyymmdd(values) -> pd.Series:
    parsed = pd.to_datetime(values, errors="coerce")
    if isinstance(parsed, pd.Series):
        return parsed.dt.strftime("%Y%m%d")
    return pd.Series(parsed).dt.strftime("%Y%m%d")


def has_rows(frame) -> bool:
    return frame is not None and len(frame) > 0


def factors_to_matrices(df, names):
    result = {name: pd.DataFrame() for name in names}
    if not has_rows(df):
        return result
    df = df.copy()
    renames = {"date": "DataDate", "value": "x", "factor": "factorname", "factor_name": "factorname"}
    df = df.rename(columns={old: new for old, new in renames.items() if old in df.columns})
    if "ukey" not in df.columns or "DataDate" not in df.columns:
        raise KeyError("因子查询返回结果缺少 ukey/date 列")
    df["ukey"] = df["ukey"].astype(str).str[:6]
    df["DataDate"] = series_to_yyyymmdd(df["DataDate"])

    def pivot(rows):
        rows = rows[["DataDate", "ukey", "x"]].dropna()
        rows = rows.drop_duplicates(subset=["ukey", "DataDate"], keep="last")
        return clean_matrix(rows.pivot(index="DataDate", columns="ukey", values="x"))

    if "x" in df.columns:
        df["x"] = pd.to_numeric(df["x"], errors="coerce")
        if "factorname" in df.columns:
            df["factorname"] = df["factorname"].astype(str)
            groups = list(df.groupby("factorname", sort=False, observed=True))
        elif len(names) == 1:
            groups = [(names[0], df)]
        else:
            return result
        for name, rows in groups:
            if name in result:
                result[name] = pivot(rows)
        return result
    for name in names:
        if name in df.columns:
            rows = df[["DataDate", "ukey", name]].rename(columns={name: "x"})
            rows["x"] = pd.to_numeric(rows["x"], errors="coerce")
            result[name] = pivot(rows)
    return result


class ReferenceBuilder:
    """The builder's steps over a service object (``get_factors``, ``get_index_day``)."""

    def __init__(self, service, start_date: str, end_date: str) -> None:
        self.service = service
        self.default_start = normalize_yyyymmdd(start_date)
        self.end_date = normalize_yyyymmdd(end_date)

    def factor_dates(self):
        def dashed(text):
            return pd.to_datetime(text, format="%Y%m%d").strftime("%Y-%m-%d")

        return dashed(self.default_start), dashed(self.end_date)

    def read_matrix(self, name):
        start, end = self.factor_dates()
        answer = self.service.get_factors(factor=name, start_date=start, end_date=end)
        matrix = factors_to_matrices(answer, [name]).get(name, pd.DataFrame())
        return matrix if has_rows(matrix) else pd.DataFrame()

    def read_batch(self, names):
        start, end = self.factor_dates()
        try:
            result = factors_to_matrices(
                self.service.get_factors(factor=names, start_date=start, end_date=end), names
            )
        except NetworkError:
            result = {name: pd.DataFrame() for name in names}
        for name in [n for n in names if not has_rows(result.get(n))]:
            result[name] = self.read_matrix(name)
        return result

    def read_or_empty(self, name, reference, batch=None):
        if batch is None:
            matrix = self.read_matrix(name)
        else:
            matrix = batch.get(name)
            if has_rows(matrix):
                return matrix.sort_index()
        if not has_rows(matrix):
            return pd.DataFrame(np.nan, index=reference.index, columns=reference.columns)
        return matrix

    def batch_or_read(self, batch, name):
        matrix = batch.get(name)
        return matrix.sort_index() if has_rows(matrix) else self.read_matrix(name)

    def component_matrices(self, names, batch=None):
        matrices = {}
        for name in names:
            try:
                matrix = self.read_matrix(name) if batch is None else batch.get(name)
                if batch is not None and not has_rows(matrix):
                    matrix = self.read_matrix(name)
            except NetworkError:
                continue
            if not has_rows(matrix):
                continue
            cleaned = matrix.replace([np.inf, -np.inf], np.nan).mask(matrix == 0)
            matrices[name] = pd.DataFrame(
                np.where(cleaned.notna(), 1.0, np.nan), index=cleaned.index, columns=cleaned.columns
            ).sort_index()
        return matrices

    def benchmark_series(self, df, name, code):
        if not has_rows(df):
            raise KeyError(f"基准日频数据为空: {name} ({code})")
        df = df.copy().rename(columns={"date": "DataDate"})
        if "DataDate" not in df.columns:
            raise KeyError(f"{name} 基准缺少 DataDate 列")
        df["DataDate"] = series_to_yyyymmdd(df["DataDate"])
        df = df.dropna(subset=["DataDate"]).sort_values("DataDate", kind="stable")
        if "ukey" in df.columns:
            df["ukey"] = df["ukey"].astype(str)
            df = df[df["ukey"] == code]
        if "daily_return" not in df.columns:
            present = [c for c in ("return", "returns", "pct_change", "change_rate") if c in df.columns]
            if present:
                df["daily_return"] = pd.to_numeric(df[present[0]], errors="coerce")
            elif "close" in df.columns:
                df["daily_return"] = pd.to_numeric(df["close"], errors="coerce").pct_change()
            else:
                raise KeyError(f"{name} 基准缺少 daily_return/close 列")
        df["daily_return"] = pd.to_numeric(df["daily_return"], errors="coerce")
        subset = [c for c in ("ukey", "DataDate") if c in df.columns]
        if subset:
            df = df.drop_duplicates(subset=subset, keep="last")
        df = df.drop_duplicates(subset=["DataDate"], keep="last")
        return df.set_index("DataDate")["daily_return"].rename("index_day_return").dropna().sort_index()

    def benchmarks(self):
        answer = self.service.get_index_day(
            ukeys=list(BENCHMARK_INDEX_CODES.values()), start_date=self.default_start, end_date=self.end_date
        )
        return {
            name: self.benchmark_series(answer, name, code) for name, code in BENCHMARK_INDEX_CODES.items()
        }

    def source_data(self, incremental):
        names = list(COMPONENT_FACTOR_NAMES)
        if incremental:
            batch = self.read_batch(REQUIRED_FACTOR_NAMES + OPTIONAL_FACTOR_NAMES + names)
            source = {name: self.batch_or_read(batch, name) for name in REQUIRED_FACTOR_NAMES}
            for name in OPTIONAL_FACTOR_NAMES:
                source[name] = self.read_or_empty(name, source["Close"], batch=batch)
            components = self.component_matrices(names, batch=batch)
        else:
            source = {name: self.read_matrix(name) for name in REQUIRED_FACTOR_NAMES}
            for name in OPTIONAL_FACTOR_NAMES:
                source[name] = self.read_or_empty(name, source["Close"])
            components = self.component_matrices(names)
        return source, components, self.benchmarks(), names

    @staticmethod
    def derive(source):
        """The twelve backtest matrices; a cell whose suspension flag is 1 is
        neither buyable nor sellable, every other cell follows the limits."""
        close = source["Close"]
        open_ = source["Open"]
        buy = source["tick_vwap_price_935_1005"]
        sell = source["tick_vwap_price_925_1000"]
        valid = close * 0 + 1
        split = source["split_coefficient_to"] / 10 * valid
        split = split.loc[split.index >= close.index.min()]
        dividend = source["rq_get_dividend"] / 10 * 0.9 + (valid - 1)
        dividend = dividend.loc[dividend.index <= close.index.max()]
        at_down = sell == source["limit_down"].reindex(index=sell.index, columns=sell.columns)
        at_up = buy == source["limit_up"].reindex(index=buy.index, columns=buy.columns)
        suspended = source["rq_is_suspended"]
        filter_stock = pd.DataFrame(
            np.where(suspended == 1, 1.0, np.nan), index=suspended.index, columns=suspended.columns
        )
        forward = (open_.shift(-2) / open_.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
        return {
            "industry_matrix": source["rq_industry_exposure_new"],
            "close_price": close,
            "open_price": open_,
            "close_price_valid": valid,
            "prev_close": close.shift(1),
            "buy_price": buy,
            "sell_price": sell,
            "rq_get_split": split,
            "rq_get_dividend": dividend,
            "can_buy_stock": at_up.add(filter_stock, fill_value=0.0).fillna(0.0) <= 0,
            "cant_sell_stock": at_down.add(filter_stock, fill_value=0.0) > 0,
            "forward_return_rank_cache": forward.rank(axis=1, method="average"),
        }

    def build_data(self, incremental=False):
        """The payload's "data" dict, or ValueError when a component is missing."""
        source, components, benchmarks, names = self.source_data(incremental)
        missing = [name for name in names if name not in components]
        if missing:
            raise ValueError("成分股矩阵缺失，无法精确生成二进制缓存: " + str(missing))
        data = self.derive(source)
        for name, matrix in components.items():
            data[component_dataset_key(name)] = matrix
        data["benchmark_dict"] = benchmarks
        return data


def assert_same_data(got: dict, want: dict) -> None:
    """Equal payload "data" dicts: same keys in order, equal matrices and benchmark series."""
    assert list(got) == list(want)
    for key, value in want.items():
        if key == "benchmark_dict":
            assert list(got[key]) == list(value)
            for name, series in value.items():
                pd.testing.assert_series_equal(got[key][name], series)
        elif len(value) or len(got[key]):
            pd.testing.assert_frame_equal(got[key], value, obj=key)
