"""SDK 的全局服务对象。

``init(...)`` 创建一个共享的服务对象(一个签名 HTTP 客户端之上的各项查询服务),
``get_instance()`` 返回它; 未初始化时给出明确的错误。
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING

from ._factor import FactorService
from ._http import HttpClient
from ._index_day import IndexDayService
from ._quota import QuotaService
from .exceptions import NotInitializedError

if TYPE_CHECKING:
    import pandas as pd

    from ._quota import Quota
    from .dates import DateLike

__all__ = ["DataService", "init", "get_instance", "reset"]

_lock = threading.Lock()
_instance: DataService | None = None


class DataService:
    """SDK 服务对象: 持有签名 HTTP 客户端, 提供数据查询入口。

    Attributes:
        http: 所有查询共用的 :class:`HttpClient`。
        factors: 因子查询服务。
        index_day: 指数日线行情查询服务。
        quota: 配额查询服务。
    """

    def __init__(self, http: HttpClient) -> None:
        self.http = http
        self.factors = FactorService(http)
        self.index_day = IndexDayService(http)
        self.quota = QuotaService(http)

    def get_factors(
        self,
        ukeys: str | list[str] | None = None,
        factor: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pd.DataFrame:
        """因子数据(窄表: date、ukey、value、factor), 见 :meth:`FactorService.get_factors`。"""
        return self.factors.get_factors(ukeys, factor, start_date, end_date)

    def list_factors(self) -> list[dict]:
        """可用因子的元信息(factorname、startDate、endDate), 见 :meth:`FactorService.list_factors`。"""
        return self.factors.list_factors()

    def get_index_day(
        self,
        ukeys: str | list[str],
        fields: str | list[str] | None = None,
        start_date: DateLike | None = None,
        end_date: DateLike | None = None,
    ) -> pd.DataFrame:
        """指数日线行情(宽表), 见 :meth:`IndexDayService.get_index_day`。"""
        return self.index_day.get_index_day(ukeys, fields, start_date, end_date)

    def get_quota(self) -> Quota:
        """当前用户的流量配额, 见 :meth:`QuotaService.get_quota`。"""
        return self.quota.get_quota()

    def __repr__(self) -> str:
        return f"DataService(http={self.http!r})"

    def close(self) -> None:
        """关闭底层 HTTP 连接。"""
        self.http.close()


def init(api_key: str, api_secret: str, *, base_url: str, timeout: float = 60.0) -> DataService:
    """初始化 SDK 并返回全局服务对象; 重复调用会替换(并关闭)之前的对象。

    Args:
        api_key: 访问密钥。
        api_secret: 签名密钥。
        base_url: 数据服务地址(本地沙盒服务启动时会打印它)。
        timeout: 读写超时(秒)。
    """
    global _instance
    service = DataService(HttpClient(base_url, api_key, api_secret, timeout=timeout))
    with _lock:
        previous, _instance = _instance, service
    if previous is not None:
        previous.close()
    return service


def get_instance() -> DataService:
    """返回 ``init`` 创建的全局服务对象。

    Raises:
        NotInitializedError: 尚未调用 ``tolvane.init(...)``。
    """
    service = _instance
    if service is None:
        raise NotInitializedError(
            "tolvane 尚未初始化: 请先调用 tolvane.init(api_key, api_secret, base_url=...)"
        )
    return service


def reset() -> None:
    """丢弃全局服务对象(关闭其连接); 之后需要重新 ``init``。"""
    global _instance
    with _lock:
        previous, _instance = _instance, None
    if previous is not None:
        previous.close()
