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
