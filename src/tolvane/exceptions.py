"""tolvane 的异常类型。

所有包内异常都派生自 :class:`TolvaneError`, 调用方可以按需捕获更具体的子类。
"""

from __future__ import annotations

__all__ = [
    "TolvaneError",
    "NetworkError",
    "ApiError",
    "AuthenticationError",
    "QuotaExceededError",
    "NotInitializedError",
    "StoreFormatError",
    "StoreLockedError",
]


class TolvaneError(Exception):
    """tolvane 异常基类; 字符串形式即中文错误信息。"""


class NetworkError(TolvaneError):
    """网络传输失败(连接、超时、传输中断); ``__cause__`` 为底层传输异常。"""


class ApiError(TolvaneError):
    """服务端返回了错误状态码。

    Attributes:
        status_code: HTTP 状态码。
        message: 服务端给出的错误信息(没有时为响应文本或状态说明)。
    """

    def __init__(self, message: str, status_code: int | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code


class AuthenticationError(ApiError):
    """鉴权失败(HTTP 401/403): 密钥错误、签名不符或请求已过期。"""


class QuotaExceededError(ApiError):
    """流量配额已用尽(HTTP 429)。"""


class NotInitializedError(TolvaneError):
    """在调用 ``tolvane.init(...)`` 之前就使用了数据服务。"""


class StoreFormatError(TolvaneError, ValueError):
    """回测准备数据存储的内容无法读取: 元数据损坏或含不允许的对象、文件缺失、
    类型或长度与元数据不符、校验和不符。信息中指明出问题的文件。"""


class StoreLockedError(TolvaneError):
    """另一个进程正在写入同一个存储, 在给定的时间内没有等到它结束。

    Attributes:
        store_dir: 存储目录。
        holder_pid: 持有写锁的进程号 (不知道时为 None)。
    """

    def __init__(self, message: str, store_dir=None, holder_pid: int | None = None) -> None:
        super().__init__(message)
        self.store_dir = store_dir
        self.holder_pid = holder_pid
