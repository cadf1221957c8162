"""因子查询。"""

import pandas as pd
import pyarrow as pa

from ._http import HttpClient
from .dates import DateLike

__all__ = ["FactorService"]

_PUBLIC_FACTOR_META_FIELDS: tuple[str, str, str]

def _to_str_list(value: str | list[str] | None) -> list[str] | None: ...

class FactorService:
    _http: HttpClient
    def __init__(self, http: HttpClient) -> None: ...
    def get_factors(
        self,
        ukeys: str | list[str] | None = None,
        factor: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pd.DataFrame: ...
    def get_factors_table(
        self,
        ukeys: str | list[str] | None = None,
        factor: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pa.Table | None: ...
    def list_factors(self) -> list[dict]: ...
