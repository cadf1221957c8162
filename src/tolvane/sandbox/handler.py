"""沙盒服务的一个连接: 读入请求 (有期限)、路由、请求体、鉴权、JSON 应答与断开连接。

错误应答为 JSON ``{"message": ...}``, 每个格式错误的请求都立即得到应答, 带状态行:
违反服务规则或无法解析的请求 (包括 HTTP/0.9 请求行与 2.0 以上的协议版本) 为 400,
鉴权失败为 401, 未知路径或方法为 404/405, 没有在期限内完整送达的请求为 408, 请求体
超过 :data:`MAX_BODY_BYTES` 为 413, 请求行过长为 414, 无法满足的下载范围为 416, 请求头
过大为 431, 流量配额用尽为 429, 同时连接数超过上限为 503 (带 ``Retry-After``)。请求读到
一半就出错 (408、413 与请求体格式错误) 时应答后断开连接。

一个连接是事件循环上的一个协程; 生成 record batch、准备市场与数据包这类耗时的工作
交给线程池, 事件循环只收发字节, 因此一个大的应答不会拖慢其他连接。
"""

from __future__ import annotations

import asyncio
import json
import logging
import re
import sys
import time
from concurrent.futures import Executor
from email.utils import formatdate
from http import HTTPStatus
from http.client import HTTPMessage
from typing import Any
from urllib.parse import urlsplit

from .._api import API_PREFIX
from .downloads import DOWNLOAD_PATH, DownloadServing
from .faults import ConnectionCut, Faults
from .parsing import RequestError, ascii_int, json_object
from .streams import ArrowStreaming

__all__ = ["MAX_BODY_BYTES", "Connection", "RequestDeadlinePassed"]

MAX_BODY_BYTES = 1 << 20

logger = logging.getLogger("tolvane.sandbox")

_PROTOCOL = "HTTP/1.1"
_SERVER = f"tolvane-sandbox/1.0 Python/{sys.version.split()[0]}"
_MAX_LINE = 65536
_MAX_HEAD_BYTES = 65536
_MAX_HEADERS = 100
_MAX_TRAILER_LINES = 100
_READ_SIZE = 65536
_SEND_TIMEOUT = 60.0  # per wait for the client to take more of an answer
_LINGER_SECONDS = 1.0
_RETRY_AFTER_SECONDS = 1
_CHUNK_SIZE_LINE = re.compile(rb"([0-9A-Fa-f]{1,16})[ \t]*(?:;[^\r\n]*)?\r?\n")
_VERSION = re.compile(r"HTTP/([0-9]{1,10})\.([0-9]{1,10})")
_FIELD_NAME = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")

_ROUTES = {
    API_PREFIX + "/factors/stream": "POST",
    API_PREFIX + "/index-day/stream": "POST",
    API_PREFIX + "/factors": "GET",
    API_PREFIX + "/quota": "GET",
    API_PREFIX + "/backtest-data/benchmark-data": "GET",
    DOWNLOAD_PATH: "GET",
}


class RequestDeadlinePassed(TimeoutError):
    """一个请求没有在期限内完整送达; 异常信息即 408 应答的说明。"""


class _RequestInput:
    """A connection's incoming bytes, read ahead into a buffer.

    While a request is awaited, no wait for more bytes lasts past its deadline: the
    whole request within ``request_timeout`` of the start of the wait, its line and
    headers within ``header_timeout`` of its first byte. A time-out per receive
    would let a client that sends a byte now and then hold its connection for ever.
    """

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self._reader = reader
        self._buffer = bytearray()
        self._eof = False
        self._deadline: float | None = None
        self._deadline_text = ""
        self._request_deadline = 0.0
        self._request_text = ""
        self._header_timeout: float | None = None
        self.received = 0

    def await_request(self, request_timeout: float, header_timeout: float) -> None:
        """Starts waiting for the next request (some of it may be buffered already)."""
        self._request_deadline = asyncio.get_running_loop().time() + request_timeout
        self._request_text = f"请求没有在 {request_timeout:g} 秒内完整送达"
        self._deadline, self._deadline_text = self._request_deadline, self._request_text
        self._header_timeout = header_timeout
        self.received = 0
        if self._buffer:
            self._first_bytes_in(len(self._buffer))

    def head_is_in(self) -> None:
        """The line and headers are in: the body has what is left of the request's time."""
        self._header_timeout = None
        self._deadline, self._deadline_text = self._request_deadline, self._request_text

    def request_is_in(self) -> None:
        """The whole request is in (or refused): no deadline until the next one."""
        self._header_timeout = None
        self._deadline = None

    def _first_bytes_in(self, n: int) -> None:
        if self.received == 0 and self._header_timeout is not None:
            header_deadline = asyncio.get_running_loop().time() + self._header_timeout
            if header_deadline < self._request_deadline:
                self._deadline = header_deadline
                self._deadline_text = f"请求头没有在 {self._header_timeout:g} 秒内完整送达"
        self.received += n

    async def _fill(self) -> bool:
        """Reads more into the buffer; False at the end of the input."""
        if self._eof:
            return False
        if self._deadline is None:
            data = await self._reader.read(_READ_SIZE)
        else:
            try:
                async with asyncio.timeout_at(self._deadline):
                    data = await self._reader.read(_READ_SIZE)
            except TimeoutError:
                raise RequestDeadlinePassed(self._deadline_text) from None
        if not data:
            self._eof = True
            return False
        self._buffer += data
        if self._deadline is not None:
            self._first_bytes_in(len(data))
        return True

    def _take(self, n: int) -> bytes:
        data = bytes(self._buffer[:n])
        del self._buffer[:n]
        return data

    async def read_line(self, limit: int) -> bytes:
        """Up to and including the next newline, or ``limit`` bytes, or what is left at the end."""
        scanned = 0
        while True:
            end = self._buffer.find(b"\n", scanned, limit)
            if end >= 0:
                return self._take(end + 1)
            if len(self._buffer) >= limit:
                return self._take(limit)
            scanned = len(self._buffer)
            if not await self._fill():
                return self._take(len(self._buffer))

    async def read(self, n: int) -> bytes:
        """``n`` bytes, or fewer at the end of the input."""
        while len(self._buffer) < n and await self._fill():
            pass
        return self._take(min(n, len(self._buffer)))

    async def discard(self) -> bool:
        """Drops what is buffered and what comes next; False at the end of the input."""
        self._buffer.clear()
        return await self._fill()


class Connection(ArrowStreaming, DownloadServing):
    """一个客户端连接: 依次读入请求并应答, 直到连接关闭。

    Args:
        sandbox: 提供数据的 :class:`~.server.SandboxServer`。
        reader, writer: 连接的 asyncio 流。
        pool: 执行耗时工作 (生成 record batch、市场与数据包) 的线程池。
    """

    def __init__(
        self, sandbox, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, pool: Executor
    ) -> None:
        self.sandbox = sandbox
        self._input = _RequestInput(reader)
        self._writer = writer
        self._pool = pool
        peer = writer.get_extra_info("peername")
        self.client_address = peer[0] if peer else "?"
        self.close_connection = False
        self._new_request()

    def _new_request(self) -> None:
        # What an answer given before the request line is parsed reads.
        self.command = self.path = ""
        self.request_version = _PROTOCOL
        self.headers = HTTPMessage()
        self._status = 0
        self._sent = 0
        self._headers_done = False

    def _off_loop(self, function, *args) -> asyncio.Future:
        """Runs ``function(*args)`` in the worker pool: work that would hold up every connection."""
        return asyncio.get_running_loop().run_in_executor(self._pool, function, *args)

    # ------------------------------------------------------------ requests
    async def serve(self) -> None:
        """应答这个连接上的请求, 直到它关闭; 最后关闭连接。"""
        try:
            while not self.close_connection:
                await self._serve_one()
            if self._status >= 400 and not self._writer.is_closing():
                await self._linger()  # the client may still be sending what was refused
        finally:
            self._writer.close()

    async def turn_away(self) -> None:
        """同时连接数已达上限: 以 503 应答 (带 ``Retry-After``) 并关闭连接。"""
        self.close_connection = True
        try:
            await self._send_json(
                503,
                {"message": "沙盒服务繁忙: 同时连接数已达上限, 请稍后重试"},
                {"Retry-After": str(_RETRY_AFTER_SECONDS)},
            )
            await self._linger()
        except OSError:
            pass
        finally:
            self._writer.close()

    async def _serve_one(self) -> None:
        """读入一个请求并应答。"""
        sandbox = self.sandbox
        self._new_request()
        self._input.await_request(sandbox.request_timeout, sandbox.header_timeout)
        try:
            if await self._read_head():
                await self._dispatch()
        except RequestDeadlinePassed as passed:
            self._input.request_is_in()
            self.close_connection = True
            if self._input.received:  # silence on an idle connection gets no answer
                await self._fail(408, str(passed))
        except (ConnectionError, TimeoutError) as err:  # a client going away is normal
            logger.debug("与 %s 的连接中断: %r", self.client_address, err)
            self.close_connection = True

    async def _read_head(self) -> bool:
        """Reads the request line and headers; False when there is nothing to serve
        (the connection ended, or the request was refused)."""
        line = await self._input.read_line(_MAX_LINE + 1)
        for _ in range(_MAX_HEADERS):  # empty lines before a request are ignored
            if line not in (b"\r\n", b"\n"):
                break
            line = await self._input.read_line(_MAX_LINE + 1)
        if not line:
            self.close_connection = True
            return False
        if len(line) > _MAX_LINE:
            return await self._refuse(414, "请求行过长")
        if not line.endswith(b"\n"):
            return await self._refuse(400, "请求不完整")
        request_line = line.decode("iso-8859-1").rstrip("\r\n")
        words = request_line.split()
        if len(words) == 2:
            return await self._refuse(400, "不支持 HTTP/0.9 请求")
        if len(words) != 3:
            return await self._refuse(400, f"请求行格式错误: {request_line[:200]!r}")
        method, target, version = words
        match = _VERSION.fullmatch(version)
        if match is None:
            return await self._refuse(400, f"协议版本无效: {version[:50]!r}")
        major, minor = int(match.group(1)), int(match.group(2))
        if major != 1:
            return await self._refuse(400, f"不支持的协议版本: {version[:50]}")
        lines = []
        head_bytes = len(line)
        while True:
            line = await self._input.read_line(_MAX_LINE + 1)
            if line in (b"\r\n", b"\n"):
                break
            if not line.endswith(b"\n"):
                if len(line) > _MAX_LINE:
                    return await self._refuse(431, "请求头中的一行过长")
                return await self._refuse(400, "请求不完整")
            head_bytes += len(line)
            lines.append(line)
            if len(lines) > _MAX_HEADERS:
                return await self._refuse(431, f"请求头字段超过 {_MAX_HEADERS} 个")
            if head_bytes > _MAX_HEAD_BYTES:
                return await self._refuse(431, f"请求头超过 {_MAX_HEAD_BYTES} 字节")
        self.command, self.path, self.request_version = method, target, version
        try:
            self.headers = _header_fields(lines)
        except RequestError as err:
            return await self._refuse(err.status, err.message)
        connection = self.headers.get("Connection", "").lower()
        self.close_connection = connection == "close" or (minor == 0 and connection != "keep-alive")
        self._input.head_is_in()
        return True

    async def _refuse(self, status: int, message: str) -> bool:
        """Answers a request that cannot be read any further, and ends the connection."""
        self._input.request_is_in()
        self.close_connection = True
        await self._fail(status, message)
        return False

    async def _dispatch(self) -> None:
        started = time.perf_counter()
        method, path = self.command, self.path
        sandbox = self.sandbox
        try:
            body = await self._receive_body()
            target = _split_target(self.path)
            path, query = target.path or "/", target.query
            want = _ROUTES.get(path)
            if want is None:
                raise RequestError(404, f"接口不存在: {path}")
            if method != want and not (method == "HEAD" and path == DOWNLOAD_PATH):
                raise RequestError(405, f"{path} 不支持 {method} 方法, 请使用 {want}")
            faults = sandbox._take_faults(path)
            if faults is not None and faults.status is not None:
                raise RequestError(faults.status, f"注入的故障 (HTTP {faults.status})")
            if path == DOWNLOAD_PATH:
                await self._serve_download(method, faults)
                return
            api_key = sandbox.auth.authenticate(method, path, query, self.headers, body)
            await self._route(path, api_key, body, faults)
        except RequestError as err:
            await self._fail(err.status, err.message)
        except ConnectionCut:
            await self._cut()
        except RequestDeadlinePassed as passed:
            self.close_connection = True
            await self._fail(408, str(passed))
        except (ConnectionError, TimeoutError) as err:
            logger.info("客户端在 %s %s 期间断开: %r", method, path, err)
            self.close_connection = True
        except Exception:  # defensive: report it, answer 500, keep serving
            logger.exception("处理 %s %s 时出错", method, path)
            await self._fail(500, "沙盒服务内部错误")
        finally:
            logger.info(
                "%s %s %s -> %s (%d bytes, %.1f ms)",
                self.client_address,
                method,
                self.path,
                self._status or "中断",
                self._sent,
                (time.perf_counter() - started) * 1000.0,
            )

    async def _receive_body(self) -> bytes:
        """The request body; with it the request is in and its deadline ends."""
        try:
            return await self._read_body()
        finally:
            self._input.request_is_in()

    async def _read_body(self) -> bytes:
        lengths = set(self.headers.get_all("Content-Length", ()))
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            if lengths:  # framed two ways: the chunks count, and the connection ends after
                self.close_connection = True
            await self._continue()
            return await self._read_chunked_body()
        if not lengths:
            return b""
        n = ascii_int(lengths.pop(), 19) if len(lengths) == 1 else None
        if n is None:
            raise self._body_error(400, "Content-Length 无效")
        if n > MAX_BODY_BYTES:
            raise self._body_error(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
        if n:
            await self._continue()
        data = await self._input.read(n)
        if len(data) != n:
            raise self._body_error(400, "请求体不完整")
        return data

    async def _continue(self) -> None:
        """A client that asked to be told before it sends the body is told now."""
        if self.headers.get("Expect", "").lower() == "100-continue" and self.request_version != "HTTP/1.0":
            self._writer.write(f"{_PROTOCOL} 100 Continue\r\n\r\n".encode())
            await self._drain()

    async def _read_chunked_body(self) -> bytes:
        out = bytearray()
        while True:
            size_line = _CHUNK_SIZE_LINE.fullmatch(await self._input.read_line(1024))
            if size_line is None:
                raise self._body_error(400, "分块请求体格式错误")
            size = int(size_line.group(1), 16)
            if size == 0:
                break
            if len(out) + size > MAX_BODY_BYTES:
                raise self._body_error(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
            data = await self._input.read(size)
            if len(data) != size:
                raise self._body_error(400, "请求体不完整")
            out += data
            if await self._input.read_line(3) not in (b"\r\n", b"\n"):
                raise self._body_error(400, "分块请求体格式错误")
        for _ in range(_MAX_TRAILER_LINES):  # trailers are read and ignored
            if (await self._input.read_line(_MAX_LINE)).strip() == b"":
                return bytes(out)
        raise self._body_error(400, "分块请求体的尾部字段过多")

    def _body_error(self, status: int, message: str) -> RequestError:
        """An error found part way through the body: the rest of the connection
        cannot be read as requests any more."""
        self.close_connection = True
        return RequestError(status, message)

    async def _route(self, path: str, api_key: str, body: bytes, faults: Faults | None) -> None:
        sandbox = self.sandbox
        if path == API_PREFIX + "/factors":
            await self._send_json(200, await self._off_loop(sandbox._factor_list))
        elif path == API_PREFIX + "/quota":
            await self._send_json(200, sandbox.quota(api_key))
        elif path == API_PREFIX + "/backtest-data/benchmark-data":
            await self._send_json(
                200,
                {
                    "download_url": sandbox.base_url + DOWNLOAD_PATH,
                    "content_type": sandbox.benchmark_content_type,
                },
            )
        else:
            request = json_object(body)
            if path == API_PREFIX + "/factors/stream":
                schema, batches = await self._off_loop(sandbox._factor_stream, request)
            else:
                schema, batches = await self._off_loop(sandbox._index_stream, request)
            if sandbox.quota(api_key)["available_bytes"] <= 0:
                raise RequestError(429, "流量配额已用尽")
            await self._send_stream(schema, batches, api_key, faults)

    # ------------------------------------------------------------- answers
    def _start_answer(self, status: int, headers: dict[str, str]) -> None:
        """Writes the status line and headers (sent with the body's first write)."""
        lines = [
            f"{_PROTOCOL} {status} {_reason(status)}",
            f"Server: {_SERVER}",
            f"Date: {formatdate(usegmt=True)}",
            *(f"{k}: {v}" for k, v in headers.items()),
        ]
        self._writer.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        self._headers_done = True
        self._status = status

    async def _write(self, data: bytes) -> None:
        self._writer.write(data)
        await self._drain()

    async def _write_pieces(self, pieces: list) -> None:
        """Writes the pieces (bytes or Arrow buffers) in order, unjoined: the
        socket reads each from its own memory, so a record batch is not copied
        once more. One write each: a transport's writelines does not notice a
        connection the client has dropped."""
        for piece in pieces:
            self._writer.write(memoryview(piece))
        await self._drain()

    async def _drain(self) -> None:
        """Waits while the client is behind; one that takes nothing for a long time is
        given up (``TimeoutError``)."""
        async with asyncio.timeout(_SEND_TIMEOUT):
            await self._writer.drain()

    async def _send_json(self, status: int, payload: Any, headers: dict[str, str] | None = None) -> None:
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        fields = {
            **(headers or {}),
            "Content-Type": "application/json; charset=utf-8",
            "Content-Length": str(len(data)),
        }
        if self.close_connection:
            fields["Connection"] = "close"
        self._start_answer(status, fields)
        if self.command != "HEAD":
            self._writer.write(data)
            self._sent += len(data)
        await self._drain()

    async def _fail(self, status: int, message: str) -> None:
        """以 JSON 错误应答; 响应头已发出时只能断开连接。"""
        if self._headers_done:
            await self._cut()
            return
        try:
            await self._send_json(status, {"message": message})
        except (ConnectionError, TimeoutError):
            self.close_connection = True

    async def _cut(self) -> None:
        """断开连接, 不完成响应体。"""
        self.close_connection = True
        try:
            await self._drain()
        except (ConnectionError, TimeoutError):
            pass
        self._writer.close()

    async def _linger(self) -> None:
        """Half-closes after a last answer and reads away what the client still sends,
        for a while: closing with unread input would reset the connection, and the
        client could lose the answer before reading it."""
        try:
            async with asyncio.timeout(_LINGER_SECONDS):
                await self._writer.drain()
                if self._writer.can_write_eof():
                    self._writer.write_eof()
                while await self._input.discard():
                    pass
        except OSError:  # e.g. the client is gone already (reset, not connected)
            pass


def _header_fields(lines: list[bytes]) -> HTTPMessage:
    """The header fields, read strictly: a line that is not ``name: value`` (a
    folded line, a space before the colon) is refused rather than guessed at."""
    headers = HTTPMessage()
    for raw in lines:
        text = raw.decode("iso-8859-1").rstrip("\r\n")
        name, colon, value = text.partition(":")
        if not colon or _FIELD_NAME.fullmatch(name) is None:
            raise RequestError(400, f"请求头格式错误: {text[:200]!r}")
        headers[name] = value.strip(" \t")
    return headers


def _reason(status: int) -> str:
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return ""


def _split_target(target: str):
    try:
        return urlsplit(target)
    except ValueError:  # e.g. an absolute-form target with a broken IPv6 host
        raise RequestError(400, f"请求目标无效: {target[:200]!r}") from None
