"""配额查询服务。"""

from typing import TypedDict

from ._http import HttpClient

class Quota(TypedDict, total=False):
    daily_quota_bytes: int
    daily_used_bytes: int
    extra_quota_bytes: int
    available_bytes: int
    remaining_days: int | None
    license_type: str

_PUBLIC_INT_FIELDS: tuple[str, str, str, str]

class QuotaService:
    _http: HttpClient
    def __init__(self, http: HttpClient) -> None: ...
    def get_quota(self) -> Quota: ...
