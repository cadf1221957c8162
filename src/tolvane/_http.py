"""数据服务的签名 HTTP 客户端。

每个请求都用 :func:`tolvane._signer.sign_request` 对实际发出的路径、查询串与请求体
字节签名, 并带上 "X-Api-Key" 请求头。传输错误映射为 :class:`NetworkError`
(``__cause__`` 为 httpx 的原始异常), 错误状态码映射为 :class:`ApiError` 及其子类,
异常信息取自服务端返回的 JSON "message"。
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import Any

import httpx

from ._api import API_PREFIX
from ._signer import sign_request
from .exceptions import ApiError, AuthenticationError, NetworkError, QuotaExceededError

__all__ = ["API_PREFIX", "HttpClient"]

_DEFAULT_TIMEOUT = 60.0
_DEFAULT_CONNECT_TIMEOUT = 10.0


def _service_message(response: httpx.Response) -> str:
    """从错误响应里取服务端的说明文字。"""
    try:
        payload = response.json()
    except ValueError:
        payload = None
    if isinstance(payload, dict):
        for key in ("message", "detail", "error"):
            if payload.get(key):
                return str(payload[key])
    text = response.text.strip()
    return text[:500] if text else response.reason_phrase or "未知错误"


def _raise_for_status(response: httpx.Response) -> None:
    """把非 2xx 响应转换成包内异常(调用前响应体必须已读入)。"""
    status = response.status_code
    if 200 <= status < 300:
        return
    message = _service_message(response)
    text = f"服务端返回错误 (HTTP {status}): {message}"
    if status in (401, 403):
        raise AuthenticationError(text, status)
    if status == 429:
        raise QuotaExceededError(text, status)
    raise ApiError(text, status)


_DRAIN_LIMIT = 64 * 1024
"""正常退出时最多再读这么多字节把响应读完, 以便连接放回连接池复用。"""


class _ChunkStream:
    """``stream_post_iter`` 返回的上下文管理器: 进入时发出请求, 退出时关闭响应。

    正常退出时先把调用方没有读完的少量剩余响应体(例如 Arrow 流结束标记之后的
    结束块)读完, 连接因此回到连接池; 剩余部分超过 ``_DRAIN_LIMIT``、读取出错
    或上下文因异常退出时直接关闭连接。
    """

    def __init__(self, client: HttpClient, request: httpx.Request) -> None:
        self._client = client
        self._request = request
        self._response: httpx.Response | None = None
        self._chunk_iter: Iterator[bytes] | None = None

    def __enter__(self) -> Iterator[bytes]:
        response = self._client._send(self._request, stream=True)
        if not 200 <= response.status_code < 300:
            try:
                response.read()
            except httpx.HTTPError as exc:
                response.close()
                raise NetworkError(f"读取错误响应失败: {self._request.url.path}") from exc
            response.close()
            _raise_for_status(response)
        self._response = response
        self._chunk_iter = self._chunks(response)
        return self._chunk_iter

    def _chunks(self, response: httpx.Response) -> Iterator[bytes]:
        try:
            yield from response.iter_bytes()
        except httpx.HTTPError as exc:
            raise NetworkError(f"数据传输中断: {self._request.url.path}") from exc

    def _drain(self) -> None:
        """读完剩余响应体, 至多 ``_DRAIN_LIMIT`` 字节; 读不完或出错时放弃。"""
        assert self._chunk_iter is not None, "drained only while the response is open"
        left = _DRAIN_LIMIT
        try:
            for chunk in self._chunk_iter:
                left -= len(chunk)
                if left < 0:
                    return
        except NetworkError:
            pass

    def __exit__(self, exc_type, exc, traceback) -> None:
        if self._response is not None:
            try:
                if exc_type is None:
                    self._drain()
            finally:
                self._response.close()
                self._response = None
                self._chunk_iter = None


class HttpClient:
    """数据服务客户端: 签名、鉴权头、超时与错误映射。

    Args:
        base_url: 服务地址, 例如 "http://127.0.0.1:8765"。
        api_key: 访问密钥, 放在 "X-Api-Key" 请求头中。
        api_secret: 签名密钥, 只用于本地计算签名, 不会发送。
        timeout: 读写超时(秒); 流式响应按相邻两个数据块的间隔计时。
        connect_timeout: 建立连接的超时(秒)。
        transport: 可选的 httpx 传输层(测试时可传入 ``httpx.MockTransport``)。
    """

    def __init__(
        self,
        base_url: str,
        api_key: str,
        api_secret: str,
        *,
        timeout: float = _DEFAULT_TIMEOUT,
        connect_timeout: float = _DEFAULT_CONNECT_TIMEOUT,
        transport: httpx.BaseTransport | None = None,
    ) -> None:
        if not isinstance(api_key, str) or not api_key:
            raise ValueError("api_key 必须是非空字符串")
        if not isinstance(api_secret, str) or not api_secret:
            raise ValueError("api_secret 必须是非空字符串")
        self.base_url = str(base_url).rstrip("/")
        self._api_key = api_key
        self._api_secret = api_secret
        self._client = httpx.Client(
            base_url=self.base_url,
            timeout=httpx.Timeout(timeout, connect=connect_timeout),
            transport=transport,
        )

    def __repr__(self) -> str:
        return f"HttpClient(base_url={self.base_url!r})"

    def _build(
        self, method: str, path: str, content: bytes | None = None, params: dict[str, Any] | None = None
    ) -> httpx.Request:
        headers = {"Accept-Encoding": "identity"}
        if content is not None:
            headers["Content-Type"] = "application/json"
        request = self._client.build_request(method, path, content=content, params=params, headers=headers)
        # Sign the path and query exactly as they go on the wire.
        signed = sign_request(self._api_secret, method, request.url.raw_path.decode("ascii"), content)
        request.headers.update(signed)
        request.headers["X-Api-Key"] = self._api_key
        return request

    def _send(self, request: httpx.Request, *, stream: bool = False) -> httpx.Response:
        try:
            return self._client.send(request, stream=stream)
        except httpx.HTTPError as exc:
            raise NetworkError(f"网络请求失败: {request.method} {request.url.path}") from exc

    def get(self, path: str, params: dict[str, Any] | None = None) -> Any:
        """发送签名的 GET 请求并返回解码后的 JSON。

        Args:
            path: 完整路径, 如 ``API_PREFIX + "/quota"``。
            params: 可选查询参数。

        Returns:
            JSON 解码后的 Python 值。

        Raises:
            NetworkError: 连接失败、超时或传输中断。
            AuthenticationError / QuotaExceededError / ApiError: 服务端返回错误状态码。
        """
        request = self._build("GET", path, params=params)
        response = self._send(request)
        _raise_for_status(response)
        try:
            return response.json()
        except ValueError as exc:
            raise ApiError(f"服务端返回的不是合法 JSON: {path}", response.status_code) from exc

    def stream_post_iter(self, path: str, body: dict[str, Any]) -> _ChunkStream:
        """发送签名的 JSON POST, 以上下文管理器的形式给出响应体的字节块迭代器。

        进入上下文时发出请求(错误状态码在此抛出), 迭代时逐块读取响应体,
        离开上下文时关闭响应。传输中断表现为迭代时抛出 :class:`NetworkError`,
        不会悄悄给出被截短的数据。

        Args:
            path: 完整路径, 如 ``API_PREFIX + "/factors/stream"``。
            body: 作为 JSON 请求体发送的 dict。
        """
        content = json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        return _ChunkStream(self, self._build("POST", path, content=content))

    def close(self) -> None:
        """关闭底层连接池。"""
        self._client.close()

    def __enter__(self) -> HttpClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
