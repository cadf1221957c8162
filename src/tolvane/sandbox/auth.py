"""请求签名: 客户端应发送的鉴权头, 以及服务端对它们的校验。

``API_PREFIX`` 下的每个请求都必须带 ``X-Api-Key`` 与签名头 ``X-Timestamp``、
``X-Nonce``、``X-Signature``: 以该访问密钥对应的 secret 为密钥, 对六行文本
``METHOD``、路径、原样的查询串、时间戳、nonce 与请求体的 SHA-256 十六进制摘要
(空请求体为空文本) 用 ``"\\n"`` 连接后做 HMAC-SHA256。时间戳与服务端时钟之差
不得超过 ``timestamp_window`` 秒, 同一个 nonce 只接受一次。

鉴权失败以 401 应答; 不是整数秒 (至多 12 位 ASCII 数字) 的 ``X-Timestamp`` 无法解析,
以 400 应答。
"""

from __future__ import annotations

import hashlib
import heapq
import hmac
import secrets
import threading
import time
from urllib.parse import urlsplit

from .parsing import RequestError, ascii_int

__all__ = ["RequestAuthenticator", "canonical_request", "sign_headers"]


def canonical_request(
    method: str, path: str, query: str, timestamp: str, nonce: str, body: bytes | None
) -> str:
    """请求签名所覆盖的规范文本。"""
    body_hash = hashlib.sha256(body).hexdigest() if body else ""
    return "\n".join((method.upper(), path, query, timestamp, nonce, body_hash))


def _signature(secret: str, text: str) -> str:
    return hmac.new(secret.encode("utf-8"), text.encode("utf-8"), hashlib.sha256).hexdigest()


def sign_headers(
    api_key: str,
    api_secret: str,
    method: str,
    target: str,
    body: bytes | None = None,
    *,
    timestamp: int | None = None,
    nonce: str | None = None,
) -> dict[str, str]:
    """为发往沙盒的一个请求生成鉴权头。

    ``target`` 是实际发送的请求目标 (路径与可选的查询串)。``timestamp`` 与
    ``nonce`` 默认取当前时间与新的随机 nonce; 测试可以自行指定, 以构造过期或
    重放的请求。
    """
    parts = urlsplit(target)
    ts = str(int(time.time()) if timestamp is None else int(timestamp))
    nonce = secrets.token_hex(32) if nonce is None else nonce
    text = canonical_request(method, parts.path or "/", parts.query, ts, nonce, body)
    return {
        "X-Api-Key": api_key,
        "X-Timestamp": ts,
        "X-Nonce": nonce,
        "X-Signature": _signature(api_secret, text),
    }


class RequestAuthenticator:
    """校验签名请求, 记住用过的 nonce 以拒绝重放。

    Args:
        keys: 访问密钥 → 签名密钥; 按引用保存, 之后加入的密钥同样生效。
        timestamp_window: 允许的时钟偏差, 秒。
    """

    def __init__(self, keys: dict[str, str], timestamp_window: int) -> None:
        self.keys = keys
        self.timestamp_window = int(timestamp_window)
        self._lock = threading.Lock()
        self._nonces: set[str] = set()
        # (expiry, nonce) pairs in a heap: client clocks differ, so expiries do not
        # arrive in order, yet the earliest is always at hand.
        self._expiries: list[tuple[int, str]] = []

    def forget_nonces(self) -> None:
        """清空已记录的 nonce。"""
        with self._lock:
            self._nonces.clear()
            self._expiries.clear()

    def authenticate(self, method: str, path: str, query: str, headers, body: bytes) -> str:
        """校验一个请求的鉴权头, 返回其访问密钥; 不通过时抛出 401 (``X-Timestamp``
        无法解析时为 400) 的 :class:`RequestError`。"""
        api_key = headers.get("X-Api-Key")
        if not api_key:
            raise RequestError(401, "缺少 X-Api-Key 请求头")
        secret = self.keys.get(api_key)
        if secret is None:
            raise RequestError(401, "访问密钥无效")
        ts, nonce, signature = (headers.get(h) for h in ("X-Timestamp", "X-Nonce", "X-Signature"))
        if not ts or not nonce or not signature:
            raise RequestError(401, "缺少签名请求头 (X-Timestamp, X-Nonce, X-Signature)")
        timestamp = ascii_int(ts, 12)
        if timestamp is None:
            raise RequestError(400, "X-Timestamp 必须是整数秒的 Unix 时间戳")
        now = time.time()
        if abs(now - timestamp) > self.timestamp_window:
            raise RequestError(401, "请求时间戳超出允许的时间窗口")
        if len(nonce) > 128:
            raise RequestError(401, "X-Nonce 过长")
        expected = _signature(secret, canonical_request(method, path, query, ts, nonce, body))
        if not hmac.compare_digest(expected.encode("ascii"), signature.encode("utf-8", "replace")):
            raise RequestError(401, "签名校验失败")
        with self._lock:
            self._forget_expired(now)
            if nonce in self._nonces:
                raise RequestError(401, "nonce 已被使用, 拒绝重放请求")
            self._nonces.add(nonce)
            heapq.heappush(self._expiries, (timestamp + self.timestamp_window, nonce))
        return api_key

    def _forget_expired(self, now: float) -> None:
        """Drops the nonces whose timestamp has left the window: a replay of them
        is refused by the timestamp check already."""
        while self._expiries and self._expiries[0][0] < now:
            self._nonces.discard(heapq.heappop(self._expiries)[1])
