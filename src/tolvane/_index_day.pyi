"""指数日线行情查询。"""

import pandas as pd

from ._http import HttpClient
from .dates import DateLike

def _to_str_list(value: str | list[str] | None) -> list[str] | None: ...

class IndexDayService:
    _http: HttpClient
    def __init__(self, http: HttpClient) -> None: ...
    def get_index_day(
        self,
        ukeys: str | list[str],
        fields: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pd.DataFrame: ...
