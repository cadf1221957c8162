"""回测准备数据。"""

import pickle as pickle
from collections.abc import Iterable
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa

from tolvane.exceptions import NetworkError as NetworkError
from tolvane.singleton import get_instance as get_instance

from ._store import BinaryPreparedDataStoreBase
from ._store import clean_matrix as clean_matrix
from ._store import component_dataset_key as component_dataset_key
from ._store import normalize_yyyymmdd as normalize_yyyymmdd

PathLike = str | Path

FLOAT_STORAGE_DTYPE: str
BOOL_STORAGE_DTYPE: str
TAIL_RELOAD_ROWS: int
PREPARED_DATA_VERSION: int
COMPONENT_FACTOR_NAMES: list[str]
BENCHMARK_INDEX_CODES: dict[str, str]
REQUIRED_FACTOR_NAMES: list[str]
OPTIONAL_FACTOR_NAMES: list[str]
BUILD_INPUT_NAMES: list[str]
BASE_MATRIX_DTYPE: dict[str, str]

def parse_name_list(raw_values: str | Iterable[object] | None) -> list[str]: ...
def get_component_factor_names() -> list[str]: ...
def build_matrix_dtype(component_names: list[str] | None = None) -> dict[str, str]: ...
def series_to_yyyymmdd(values: object) -> pd.Series: ...
def map_file_pieces(pieces: list[tuple[str, int, int]]) -> np.ndarray: ...
def factor_matrices_on_axes(
    df: pd.DataFrame | pa.Table | None, names: list[str], index: pd.Index, columns: pd.Index
) -> dict[str, pd.DataFrame]: ...

class BinaryPreparedDataStore(BinaryPreparedDataStoreBase):
    def __init__(self, store_dir: PathLike, component_names: list[str] | None = None) -> None: ...
    def load(
        self,
        start_date: object = None,
        end_date: object = None,
        keys: list[str] | None = None,
        mmap: bool = True,
    ) -> dict: ...
    def add_component_matrices(
        self, component_matrices: dict[str, pd.DataFrame], component_names: list[str]
    ) -> list[str]: ...

class GroupPreparedDataBuilder:
    # Instance attributes set by __init__, normalised to "YYYYMMDD". Type comments: an
    # annotated class attribute in these stubs stands for an annotation that the
    # runtime class carries, and this class carries none.
    default_start = ...  # type: str
    end_date = ...  # type: str
    def __init__(self, start_date: str, end_date: str) -> None: ...
    @staticmethod
    def _normalize_ddb_backtest_date(date_value: object) -> str | None: ...
    @staticmethod
    def _tolvane_factor_date(date_value: str | None) -> str | None: ...
    @staticmethod
    def _empty_like(reference: pd.DataFrame, fill_value: object = ...) -> pd.DataFrame: ...
    def _read_normal_factor_matrix(self, name: str) -> pd.DataFrame: ...
    def _tolvane_factors_to_matrices(
        self, df: pd.DataFrame | pa.Table | None, names: list[str]
    ) -> dict[str, pd.DataFrame]: ...
    def _read_normal_factor_batch(self, names: list[str]) -> dict[str, pd.DataFrame]: ...
    def _read_or_empty(
        self, name: str, reference: pd.DataFrame, batch: dict[str, pd.DataFrame] | None = None
    ) -> pd.DataFrame: ...
    def _batch_or_read(self, batch: dict[str, pd.DataFrame], name: str) -> pd.DataFrame: ...
    def _component_matrices(
        self, component_names: list[str], batch: dict[str, pd.DataFrame] | None = None
    ) -> dict[str, pd.DataFrame]: ...
    def _format_benchmark_daily_return(
        self, df: pd.DataFrame, benchmark_name: str, index_code: str
    ) -> pd.Series: ...
    def _read_benchmark_dict(self) -> dict[str, pd.Series]: ...
    def _read_source_data(
        self, incremental: bool
    ) -> tuple[dict[str, pd.DataFrame], dict[str, pd.DataFrame], dict[str, pd.Series], list[str]]: ...
    def build(self) -> dict: ...
    def build_incremental(self) -> dict: ...
    def _build_payload(self, incremental: bool, meta_time_key: str) -> dict: ...
    def _build_from_matrices(self, source: dict[str, pd.DataFrame]) -> dict[str, pd.DataFrame]: ...
    def _assemble_payload(
        self,
        data: dict[str, pd.DataFrame],
        component_matrices: dict[str, pd.DataFrame],
        benchmark_dict: dict[str, pd.Series],
        component_names: list[str],
        meta_time_key: str,
    ) -> dict: ...
