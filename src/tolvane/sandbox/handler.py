"""沙盒服务的 HTTP 请求处理: 路由、请求体、鉴权、JSON 应答与断开连接。

错误应答为 JSON ``{"message": ...}``, 每个格式错误的请求都立即得到应答, 带状态行:
违反服务规则或无法解析的请求 (包括 HTTP/0.9 请求行与 2.0 以上的协议版本) 为 400,
鉴权失败为 401, 未知路径或方法为 404/405, 没有在 ``request_timeout`` 秒内完整
送达的请求为 408, 请求体超过 :data:`MAX_BODY_BYTES` 为 413, 无法满足的下载范围为
416, 流量配额用尽为 429。请求读到一半就出错 (408、413 与请求体格式错误) 时应答后
断开连接。
"""

from __future__ import annotations

import io
import json
import logging
import re
import socket
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import urlsplit

from .._http import API_PREFIX
from .downloads import DOWNLOAD_PATH, DownloadServing
from .faults import ConnectionCut, Faults
from .parsing import RequestError, ascii_int, json_object
from .streams import ArrowStreaming

__all__ = ["MAX_BODY_BYTES", "RequestDeadlinePassed", "RequestHandler"]

MAX_BODY_BYTES = 1 << 20

logger = logging.getLogger("tolvane.sandbox")

_MAX_LINE = 65536
_MAX_TRAILER_LINES = 100
_CHUNK_SIZE_LINE = re.compile(rb"([0-9A-Fa-f]{1,16})[ \t]*(?:;[^\r\n]*)?\r?\n")

_ROUTES = {
    API_PREFIX + "/factors/stream": "POST",
    API_PREFIX + "/index-day/stream": "POST",
    API_PREFIX + "/factors": "GET",
    API_PREFIX + "/quota": "GET",
    API_PREFIX + "/backtest-data/benchmark-data": "GET",
    DOWNLOAD_PATH: "GET",
}


class RequestDeadlinePassed(TimeoutError):
    """一个请求没有在期限内完整送达。"""


class _DeadlineReader(io.RawIOBase):
    """Socket input whose receives never wait past the current request's deadline.

    A time-out per receive would let a client that sends a byte now and then hold
    its connection for ever; the deadline bounds the whole request instead.
    """

    def __init__(self, sock: socket.socket, send_timeout: float) -> None:
        self._sock = sock
        self._send_timeout = send_timeout
        self._deadline: float | None = None
        self.received = 0

    def readable(self) -> bool:
        return True

    def start(self, seconds: float) -> None:
        """Starts waiting for a request that must be in within ``seconds``."""
        self._deadline = time.monotonic() + seconds
        self.received = 0

    def stop(self) -> None:
        """The request is in (or refused): answers get the usual send time-out."""
        self._deadline = None
        self._sock.settimeout(self._send_timeout)

    def readinto(self, buffer) -> int:
        if self._deadline is not None:
            remaining = self._deadline - time.monotonic()
            if remaining <= 0:
                raise RequestDeadlinePassed()
            self._sock.settimeout(remaining)
        try:
            n = self._sock.recv_into(buffer)
        except TimeoutError:
            if self._deadline is None:
                raise
            raise RequestDeadlinePassed() from None
        self.received += n
        return n


class RequestHandler(ArrowStreaming, DownloadServing, BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tolvane-sandbox/1.0"
    timeout = 60  # per send; receiving a request is bounded by the sandbox's request_timeout
    # Chunks go out in single writes; do not let Nagle hold the last segment back.
    disable_nagle_algorithm = True
    server: ThreadingHTTPServer  # with a ``sandbox`` attribute
    _status = 0
    _sent = 0
    _headers_done = False

    def setup(self) -> None:
        super().setup()
        self.rfile.close()
        self._reader = _DeadlineReader(self.connection, self.timeout)
        self.rfile = io.BufferedReader(self._reader)

    # Quiet the base class; every request is logged once in _dispatch.
    def log_message(self, format: str, *args) -> None:
        logger.debug("%s " + format, self.address_string(), *args)

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # Errors raised by the base class (bad request line or headers) as JSON too.
        self._reader.stop()
        self.close_connection = True
        if code == HTTPStatus.HTTP_VERSION_NOT_SUPPORTED:
            code = HTTPStatus.BAD_REQUEST  # the request line is one this service cannot read
        if getattr(self, "request_version", "HTTP/0.9") == "HTTP/0.9":
            self.request_version = self.protocol_version  # answer garbage with a real status line
        try:
            self._send_json(code, {"message": message or self.responses.get(code, ("error",))[0]})
        except OSError:
            pass

    def handle_one_request(self) -> None:
        """读入一个请求 (须在 ``request_timeout`` 秒内完整送达) 并应答。"""
        # What an answer given before the request line is parsed reads.
        self.command = self.path = self.requestline = ""
        self.request_version = self.protocol_version
        self._reader.start(self.server.sandbox.request_timeout)
        try:
            self.raw_requestline = self.rfile.readline(_MAX_LINE + 1)
            if not self.raw_requestline:
                self.close_connection = True
                return
            if len(self.raw_requestline) > _MAX_LINE:
                self.send_error(HTTPStatus.REQUEST_URI_TOO_LONG)
                return
            if not self.parse_request():
                return
            if self.request_version == "HTTP/0.9":
                self.send_error(HTTPStatus.BAD_REQUEST, "不支持 HTTP/0.9 请求")
                return
            self._dispatch(self.command)
            self.wfile.flush()
        except RequestDeadlinePassed:
            self._reader.stop()
            if self._reader.received:  # silence on an idle connection gets no answer
                self.send_error(HTTPStatus.REQUEST_TIMEOUT, self._deadline_message())
            self.close_connection = True
        except (ConnectionError, TimeoutError) as err:  # a client going away is normal
            logger.debug("与 %s 的连接中断: %r", self.client_address[0], err)
            self.close_connection = True

    # -------------------------------------------------------------- core
    def _dispatch(self, method: str) -> None:
        started = time.perf_counter()
        self._status = 0
        self._sent = 0
        self._headers_done = False
        path = self.path
        sandbox = self.server.sandbox
        try:
            body = self._receive_body()
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
                self._serve_download(method, faults)
                return
            api_key = sandbox.auth.authenticate(method, path, query, self.headers, body)
            self._route(path, api_key, body, faults)
        except RequestError as err:
            self._fail(err.status, err.message)
        except ConnectionCut:
            self._cut()
        except RequestDeadlinePassed:
            self.close_connection = True
            self._fail(408, self._deadline_message())
        except (ConnectionError, TimeoutError) as err:
            logger.info("客户端在 %s %s 期间断开: %r", method, path, err)
            self.close_connection = True
        except Exception:  # defensive: report it, answer 500, keep serving
            logger.exception("处理 %s %s 时出错", method, path)
            self._fail(500, "沙盒服务内部错误")
        finally:
            logger.info("%s %s %s -> %s (%d bytes, %.1f ms)", self.client_address[0], method,
                        self.path, self._status or "中断", self._sent,
                        (time.perf_counter() - started) * 1000.0)

    def _deadline_message(self) -> str:
        return f"请求没有在 {self.server.sandbox.request_timeout:g} 秒内完整送达"

    def _fail(self, status: int, message: str) -> None:
        """以 JSON 错误应答; 响应头已发出时只能断开连接。"""
        if self._headers_done:
            self._cut()
            return
        try:
            self._send_json(status, {"message": message})
        except OSError:
            self.close_connection = True

    def _receive_body(self) -> bytes:
        """The request body; with it the request is in and its deadline ends."""
        try:
            return self._read_body()
        finally:
            self._reader.stop()

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            return self._read_chunked_body()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        n = ascii_int(length, 19)
        if n is None:
            raise self._body_error(400, "Content-Length 无效")
        if n > MAX_BODY_BYTES:
            raise self._body_error(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
        data = self.rfile.read(n)
        if len(data) != n:
            raise self._body_error(400, "请求体不完整")
        return data

    def _read_chunked_body(self) -> bytes:
        out = bytearray()
        while True:
            size_line = _CHUNK_SIZE_LINE.fullmatch(self.rfile.readline(1024))
            if size_line is None:
                raise self._body_error(400, "分块请求体格式错误")
            size = int(size_line.group(1), 16)
            if size == 0:
                break
            if len(out) + size > MAX_BODY_BYTES:
                raise self._body_error(413, f"请求体超过 {MAX_BODY_BYTES} 字节")
            data = self.rfile.read(size)
            if len(data) != size:
                raise self._body_error(400, "请求体不完整")
            out += data
            if self.rfile.readline(3) not in (b"\r\n", b"\n"):
                raise self._body_error(400, "分块请求体格式错误")
        for _ in range(_MAX_TRAILER_LINES):  # trailers are read and ignored
            if self.rfile.readline(_MAX_LINE).strip() == b"":
                return bytes(out)
        raise self._body_error(400, "分块请求体的尾部字段过多")

    def _body_error(self, status: int, message: str) -> RequestError:
        """An error found part way through the body: the rest of the connection
        cannot be read as requests any more."""
        self.close_connection = True
        return RequestError(status, message)

    def _route(self, path: str, api_key: str, body: bytes, faults: Faults | None) -> None:
        sandbox = self.server.sandbox
        if path == API_PREFIX + "/factors":
            self._send_json(200, sandbox._factor_list())
        elif path == API_PREFIX + "/quota":
            self._send_json(200, sandbox.quota(api_key))
        elif path == API_PREFIX + "/backtest-data/benchmark-data":
            self._send_json(200, {"download_url": sandbox.base_url + DOWNLOAD_PATH,
                                  "content_type": sandbox.benchmark_content_type})
        else:
            request = json_object(body)
            if path == API_PREFIX + "/factors/stream":
                schema, batches = sandbox._factor_stream(request)
            else:
                schema, batches = sandbox._index_stream(request)
            if sandbox.quota(api_key)["available_bytes"] <= 0:
                raise RequestError(429, "流量配额已用尽")
            self._send_stream(schema, batches, api_key, faults)

    # ------------------------------------------------------------ output
    def _send_json(self, status: int, payload: Any, headers: dict[str, str] | None = None) -> None:
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self._headers_done = True
        self._status = status
        if self.command != "HEAD":
            self.wfile.write(data)
            self._sent += len(data)

    def _cut(self) -> None:
        """断开连接, 不完成响应体。"""
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def _split_target(target: str):
    try:
        return urlsplit(target)
    except ValueError:  # e.g. an absolute-form target with a broken IPv6 host
        raise RequestError(400, f"请求目标无效: {target[:200]!r}") from None
